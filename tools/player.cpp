// The player.
#include "player.h"
#include <kvhost.h>
#include <kvtempfolder.h>
#include <cstring>
#include <filesystem>
#include <optional>
#include "json.h"
#include "statements.h"

namespace {
// The handle of a statement such as 'color HANDLE N', whose lines all
// concern that entity; empty for any other statement.
std::string handleNamed(const Words& words) {
  const Statement* s = findStatement(words[0]);
  const bool one = s && words.size() > 1 &&
                   (std::strcmp(s->arguments, "HANDLE") == 0 || std::strncmp(s->arguments, "HANDLE ", 7) == 0);
  return one ? words[1] : "";
}

// Thrown through the host out of a command body whose statement failed,
// so that the command fails; the error itself is rethrown afterwards.
struct BodyFailed {};
}  // namespace

// Prints the statement and makes it a slice of the timeline.
class Player::Played {
 public:
  // handle: of the entity the statement names, if it names one.
  Played(Player& player, size_t index, const std::string& text, const std::string& handle = "")
      : m_pTimeline(player.m_out.timeline()) {
    const std::string at = player.m_script.where(index);
    player.m_out.setLocation(at);
    player.m_out.setHandle(handle);
    player.m_out.line("> " + std::string(2 * player.m_blocks.size(), ' ') + text, "statement");
    if (m_pTimeline) m_pTimeline->begin(text, "statement", "\"at\":" + jsonString(at));
  }
  ~Played() {
    if (m_pTimeline) m_pTimeline->end();
  }
  Played(const Played&) = delete;
  Played& operator=(const Played&) = delete;

 private:
  Timeline* m_pTimeline;
};

void Player::run() {
  runLines(0, m_script.size());
  m_out.setLocation("");
}

void Player::removeTempDirs() {
  std::error_code ignored;
  for (const std::string& dir : m_tempDirs) std::filesystem::remove_all(std::filesystem::u8path(dir), ignored);
}

bool Player::isBusy(AcApDocument* doc) const {
  for (AcApDocument* busy : m_busyDocs)
    if (busy == doc) return true;
  return false;
}

AcApDocument* Player::current(size_t index) const {
  AcApDocument* doc = acDocManagerPtr()->curDocument();
  if (doc == nullptr) m_script.fail(index, "no drawing is open");
  return doc;
}

void Player::useTempDir(size_t index, bool keep) {
  const std::string folder = kvhost::makeTemporaryFolder("kovahost");
  if (folder.empty()) m_script.fail(index, "cannot make a temporary folder");
  if (!keep) m_tempDirs.push_back(folder);
  m_out.folderMade(folder);
  std::error_code error;
  std::filesystem::current_path(std::filesystem::u8path(folder), error);
  if (error) m_script.fail(index, "cannot enter the temporary folder " + folder);
  m_out.line("files go to the temporary folder " + folder + (keep ? ", kept after the session" : ""), "kovahost");
}

void Player::runLines(size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    const Words& w = m_script.words(i);
    if (w.empty()) continue;
    if (opensBlock(w[0])) {
      i = block(i, w);
    } else {
      Played played(*this, i, joined(w, 0), handleNamed(w));
      statement(i, w);
    }
  }
}

void Player::statement(size_t index, const Words& words) {
  if (words[0] == "end") m_script.fail(index, "'end' without 'command' or 'modeless'");
  const Statement* s = findStatement(words[0]);
  if (s == nullptr) m_script.fail(index, "unknown statement '" + words[0] + "' (kovahost --help lists them)");
  checkArguments(m_script, index, *s, words);
  s->play(*this, index, words);
}

// Plays the block opened at index, up to its 'end', whose line it returns.
size_t Player::block(size_t index, const Words& w) {
  checkArguments(m_script, index, *findStatement(w[0]), w);
  const size_t end = m_script.blockEnd(index);
  if (m_blocks.size() >= static_cast<size_t>(kvhost::kMaxCommandNesting))
    m_script.fail(index, "commands and modeless blocks nest at most " + std::to_string(kvhost::kMaxCommandNesting) +
                             " deep");
  const Block kind = w[0] == "command" ? Block::kCommand : Block::kModeless;
  AcApDocument* doc = kind == Block::kCommand ? current(index) : acDocManagerPtr()->curDocument();
  std::optional<ScriptError> error;
  std::string outcome;
  {
    Played played(*this, index, joined(w, 0));
    m_blocks.push_back(kind);
    m_busyDocs.push_back(doc);
    struct Leave {
      Player& p;
      ~Leave() {
        p.m_blocks.pop_back();
        p.m_busyDocs.pop_back();
      }
    } leave{*this};
    bool ran = false;
    auto body = [&] {
      ran = true;
      try {
        runLines(index + 1, end);
        // The command's end notifications run at its 'end'.
        m_out.setLocation(m_script.where(end));
      } catch (const ScriptError& e) {
        error = e;
        if (kind == Block::kCommand) throw BodyFailed{};
      }
    };
    outcome = runInHost(kind, w[1], body, ran);
  }
  if (error) throw *error;
  if (m_script.words(end).size() > 1) m_script.fail(end, "expected: end (words after it are not read)");
  Played played(*this, end, "end " + w[1] + outcome);
  return end;
}

// Runs the block's body as a command or a modeless operation; what the
// 'end' line says after the block's name.
std::string Player::runInHost(Block kind, const std::string& name, const kvhost::CommandBody& body, const bool& ran) {
  if (kind == Block::kModeless) {
    kvhost::modelessOperation(kvhost::fromUtf8(name), body);
    return "";
  }
  switch (kvhost::runCommand(kvhost::fromUtf8(name), body)) {
    case kvhost::CommandOutcome::kEnded: return ran ? ": ended" : ": refused, its body was not played";
    case kvhost::CommandOutcome::kCancelled: return ": cancelled";
    case kvhost::CommandOutcome::kFailed: return ": failed";
    default: return ": refused, its body was not played";
  }
}
