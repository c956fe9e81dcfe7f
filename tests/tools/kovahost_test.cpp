// kovahost as its users run it: the built program plays scripts in a
// scratch directory, and its output is checked for what the clients must
// hear, in order.
#include <dirent.h>
#include <gtest/gtest.h>
#include <testfiles.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <algorithm>
#include <cctype>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {
using testfiles::readFile;

struct Session {
  int status = -1;  // the exit status; -1 when the program did not exit normally
  std::vector<std::string> lines;
  std::string err;
  std::string dir;
};


std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string scratchDir() {
  char pattern[] = "/tmp/kovahost_test.XXXXXX";
  return mkdtemp(pattern);
}

// Runs kovahost in dir (a fresh one when empty) on script, with options.
Session kovahost(const std::string& script, const std::string& options = "", std::string dir = "") {
  if (dir.empty()) dir = scratchDir();
  std::string command = "cd '" + dir + "' && '" KOVAHOST_PROGRAM "' '" + script + "' " + options + " >out.txt 2>err.txt";
  int raw = std::system(command.c_str());
  Session run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.lines = splitLines(readFile(dir + "/out.txt"));
  run.err = readFile(dir + "/err.txt");
  run.dir = dir;
  return run;
}

Session kovahostText(const std::string& text, const std::string& options = "", const std::string& dir = "") {
  std::string where = dir.empty() ? scratchDir() : dir;
  std::ofstream(where + "/bad.kvs") << text;
  return kovahost("bad.kvs", options, where);
}

// Each key is the start of a line, found after the line of the key before it.
void expectInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& keys) {
  size_t at = 0;
  for (const std::string& key : keys) {
    while (at < lines.size() && lines[at].compare(0, key.size(), key) != 0) ++at;
    ASSERT_LT(at, lines.size()) << "missing, or out of order: '" << key << "'";
    ++at;
  }
}

// ---- Every example script, and what its clients must hear ----

struct Example {
  const char* script;
  std::vector<std::string> inOrder;
  std::vector<std::string> absent;
};

const std::vector<Example> kExamples = {
    {"first-session.kvs",
     {"trace: documentCreated plan", "trace: commandWillStart DRAW", "trace: objectAppended AcDbLine 4",
      "trace: objectAppended AcDbCircle 5", "trace: commandEnded DRAW", "trace: objectModified AcDbLine 4",
      "trace: commandWillStart UNDO", "undo 1: 1 undone in plan", "hub: filter flag set",
      "trace: pickfirstModified 2 AcDbCurve", "hub: filter flag cleared", "state:   4 AcDbLine layer=0 color=256",
      "trace: documentToBeDestroyed plan"},
     {}},
    {"trace-client.kvs",
     {"trace: commandWillStart DRAW", "trace: commandWillStart 'ZOOM", "trace: commandEnded 'ZOOM",
      "trace: objectAppended AcDbCircle 5", "trace: commandEnded DRAW", "trace: objectErased AcDbCircle 5",
      "trace: commandCancelled ERASE", "trace: commandFailed MOVE", "trace: objectUnErased AcDbCircle 5",
      "trace: modelessOperationWillStart PALETTE", "trace: objectModified AcDbLine 4",
      "trace: modelessOperationEnded PALETTE", "trace: sysVarChanged CLAYER", "trace: beginSave plan.dwg",
      "saved plan to plan.dwg", "trace: endDwgOpen plan.dwg", "trace: documentCreated plan.dwg",
      "state: drawing plan.dwg", "state:   4 AcDbLine layer=0 color=3", "state:   5 AcDbCircle"},
     {}},
    {"property-panel.kvs",
     {"hub: filter flag set", "panel: 2 selected, class AcDbLine, layer 0, color 256", "redraw 4", "redraw 5",
      "hub: filter flag cleared", "panel: 2 selected, class AcDbCurve, layer 0, color *varies*", "redraw 4",
      "redraw 6", "panel: nothing selected", "state:   4 AcDbLine layer=0 color=256 (0,0)-(10,0) redrawn 2",
      "state:   5 AcDbLine layer=0 color=256 (0,5)-(10,5) redrawn 1"},
     {}},
    {"rule-checker.kvs",
     {"rules: AcDbCircle 7 has radius 150, above 100: rolling back DRAW", "posted _UNDO 1", "running _UNDO 1",
      "undo 1: 1 undone in site", "> end DRAW: ended", "rules: AcDbLine 5 is on layer forbidden: rolling back EDIT",
      "posted _UNDO 1", "undo 1: 1 undone in site", "> command EDIT", "> end EDIT: ended",
      "state:   4 AcDbCircle layer=0 color=256 center (0,0) radius 80", "state:   5 AcDbLine layer=0"},
     {"state:   6", "state:   7", "rules: AcDbCircle 4"}},
    {"document-guard.kvs",
     {"guard: busy with PUBLISH", "guard: vetoing the lock of plan for ZOOM", "lock of plan vetoed",
      "command ZOOM refused", ">   end ZOOM: refused", "guard: vetoing the lock of detail for SCRIPT",
      "lock of detail vetoed", "guard: PUBLISH over", "> end PUBLISH: ended", "> lock detail", "> unlock detail",
      "> command ZOOM", "> end ZOOM: ended", "state: drawing detail: not locked"},
     {}},
    {"minimal-client.kvs",
     {"minimal: 2 selected, class AcDbCurve", "redraw 4", "redraw 5", "minimal: ERASE erased an entity, rolling it back",
      "posted _UNDO 1", "undo 1: 1 undone in plan", "state:   4 AcDbLine layer=0"},
     {}},
    {"roll-back.kvs",
     {"posted _UNDO 1", "undo 1: 1 undone in plan", "> end ERASE: ended", "state:   4 AcDbLine layer=0 color=3",
      "state:   5 AcDbCircle"},
     {}},
    {"save-and-reopen.kvs",
     {"saved plan to plan.dwg", "saved plan to plan.dxf", "document plan closed", "document plan.dwg created",
      "document plan.dxf created", "state: drawing plan.dwg", "state:   2 AcDbLine layer=walls color=256 (0,0)-(10,0)",
      "state:   3 AcDbCircle layer=0 color=3 center (5,5) radius 2", "state:   4 AcDbText layer=0 color=256 at (1,1) \"door A\"",
      "state: drawing plan.dxf", "state:   2 AcDbLine layer=walls", "state:   3 AcDbCircle layer=0 color=3",
      "state:   4 AcDbText"},
     {}},
};

void PrintTo(const Example& e, std::ostream* os) { *os << e.script; }

class ExampleScript : public testing::TestWithParam<Example> {};

TEST_P(ExampleScript, RunsAndItsClientsHearWhatTheyMust) {
  const Example& example = GetParam();
  Session run = kovahost(std::string(KOVA_EXAMPLES_DIR) + "/" + example.script);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  expectInOrder(run.lines, example.inOrder);
  for (const std::string& line : run.lines) {
    for (const std::string& key : example.absent) EXPECT_NE(line.compare(0, key.size(), key), 0) << line;
    EXPECT_EQ(line.find("hub: fault caught"), std::string::npos) << line;
  }
  // The session ends as the host's does: the hub unloaded last, for real.
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.back(), "linker: KOVANotification10.arx unmapped");
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleScript, testing::ValuesIn(kExamples),
                         [](const testing::TestParamInfo<Example>& info) {
                           std::string name;
                           for (const char* c = info.param.script; *c && *c != '.'; ++c)
                             if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                           return name;
                         });

TEST(ExampleScripts, EveryScriptInTheExamplesIsChecked) {
  DIR* dir = opendir(KOVA_EXAMPLES_DIR);
  ASSERT_NE(dir, nullptr);
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".kvs") != 0) continue;
    bool known = false;
    for (const Example& example : kExamples) known = known || name == example.script;
    EXPECT_TRUE(known) << name << " has no expectations here";
  }
  closedir(dir);
}

// ---- Bad input: a message naming file and line, a failure status, no crash ----

// A module built beside kovahost.
std::string builtModule(const std::string& name) {
  const std::string program = KOVAHOST_PROGRAM;
  return program.substr(0, program.rfind('/')) + "/" + name;
}

// Script lines opening blocks, commands and modeless operations in turn,
// and the lines closing them.
std::string nestedBlocks(int depth, const std::string& inside) {
  std::string script;
  for (int i = 0; i < depth; ++i) script += i % 2 ? "modeless M\n" : "command C\n";
  script += inside;
  for (int i = 0; i < depth; ++i) script += "end\n";
  return script;
}

struct BadInput {
  const char* name;
  std::string script;
  const char* message;  // what follows "kovahost: bad.kvs:", or "kovahost: " for a wrong command line
  const char* options = "";
  int status = 1;  // 2: a wrong command line
};

const std::vector<BadInput> kBadInput = {
    {"UnknownStatement", "new a\nfrobnicate 1\n", "2: unknown statement 'frobnicate'"},
    {"TooFewArguments", "new a\nline 0 0 1\n", "2: expected: line X1 Y1 X2 Y2"},
    {"NotANumber", "new a\ncircle 0 zero 1\n", "2: not a number: zero"},
    {"HandleThatDoesNotExist", "new a\nline 0 0 1 1\ncolor 99 1\n", "3: no entity with handle 99 in drawing a"},
    {"HandleOfANonEntity", "new a\ncolor 1 1\n", "2: 1 is not an entity"},
    {"NoDrawingOpen", "line 0 0 1 1\n", "1: no drawing is open"},
    {"UnknownDrawing", "close nowhere\n", "1: no drawing named nowhere"},
    {"MissingModule", "load Missing.arx\n", "1: module file Missing.arx not found"},
    {"FileThatIsNotAModule", "load ./fake.arx\n", "1: cannot load ./fake.arx"},
    {"LibraryThatIsNotAModule", "load libkovainhouse.so\n", "1: libkovainhouse.so is not an application module"},
    {"MissingDrawing", "open nothere.dwg\n", "1: cannot open nothere.dwg: file not found"},
    {"NotADrawing", "open junk.dwg\n", "1: cannot open junk.dwg: not a drawing file"},
    {"TruncatedDrawing", "open cut.dwg\n", "1: cannot open cut.dwg: the file is truncated or damaged"},
    {"DirectoryAsDrawing", "open folder.dwg\n", "1: cannot open folder.dwg: it is a directory"},
    {"CommandWithoutEnd", "new a\ncommand X\n  line 0 0 1 1\n", "2: 'command' without 'end'"},
    {"EndWithoutBlock", "end\n", "1: 'end' without 'command' or 'modeless'"},
    {"CancelOutsideCommand", "new a\nmodeless M\n  cancel\nend\n", "3: 'cancel' outside a command"},
    {"ErrorInNestedCommand", "new a\ncommand X\n  command Y\n    bogus\n  end\nend\n", "4: unknown statement 'bogus'"},
    {"CloseTheBusyDrawing", "new a\ncommand X\n  close a\nend\n", "3: cannot close a while a command"},
    {"UnlockWithoutLock", "new a\nunlock a\n", "2: the script holds no lock on a"},
    {"SaveWhereNothingCanBeWritten", "new a\nsave a /nonexistent/x.dwg\n", "2: cannot save a to /nonexistent/x.dwg"},
    {"ByteOrderMarkIsSkipped", "\xEF\xBB\xBF" "bogus\n", "1: unknown statement 'bogus'"},
    {"NulByte", std::string("new a\nline 0 0 1 1\0\n", 20), "2: a NUL byte"},
    {"UnknownSystemVariable", "new a\nsetvar NOSUCHVAR 1\n", "2: unknown system variable NOSUCHVAR"},
    {"UnknownCommandLine", "new a\nexec FROBNICATE\n", "2: unknown command FROBNICATE"},
    {"RollbackOutsideCommand", "new a\nrollback\n", "2: 'rollback' outside a command"},
    {"ErrorAsJson", "new a\nbogus\n", "2: unknown statement 'bogus'", "--json"},
    {"TraceEventsWithoutFile", "new a\n", "--trace-events needs a file name", "--trace-events", 2},
    {"UnloadTheHubAClientNeeds", "load TraceClient.arx\nunload KOVANotification10.arx\nnew a\ncommand X\nend\n",
     "2: module KOVANotification10.arx is needed by TraceClient.arx and cannot be unloaded"},
    {"ModuleCutShort", "load cut.arx\n", "1: cannot load cut.arx: the file is truncated or damaged"},
    {"BlocksNestedTooDeep", "new a\n" + nestedBlocks(101, ""), "102: commands and modeless blocks nest at most 100 deep"},
};

void PrintTo(const BadInput& b, std::ostream* os) { *os << b.name; }

class BadScript : public testing::TestWithParam<BadInput> {};

TEST_P(BadScript, FailsWithFileAndLine) {
  std::string dir = scratchDir();
  std::ofstream(dir + "/fake.arx") << "not a module\n";
  std::ofstream(dir + "/junk.dwg") << "not a drawing\n";
  mkdir((dir + "/folder.dwg").c_str(), 0755);
  // A real drawing cut short, after its header.
  Session saved = kovahostText("new a\nline 0 0 1 1\ncircle 1 1 1\nsave a whole.dwg\n", "", dir);
  ASSERT_EQ(saved.status, 0) << saved.err;
  std::string whole = readFile(dir + "/whole.dwg");
  ASSERT_GT(whole.size(), 60u);
  std::ofstream(dir + "/cut.dwg", std::ios::binary) << whole.substr(0, whole.size() / 2);
  std::ofstream(dir + "/cut.arx", std::ios::binary) << readFile(builtModule("MinimalClient.arx")).substr(0, 3000);

  const BadInput& bad = GetParam();
  Session run = kovahostText(bad.script, bad.options, dir);
  EXPECT_EQ(run.status, bad.status) << run.err;
  const std::string message = std::string(bad.status == 1 ? "bad.kvs:" : "") + bad.message;
  EXPECT_NE(run.err.find("kovahost: " + message), std::string::npos) << run.err;
  bool jsonError = false;
  for (const std::string& line : run.lines)
    jsonError = jsonError || (line.find("\"kind\":\"error\"") != std::string::npos && line.find(message) != std::string::npos);
  EXPECT_EQ(jsonError, std::strstr(bad.options, "--json") != nullptr);
  if (bad.status != 1) return;
  // Even a failed session ends cleanly.
  ASSERT_FALSE(run.lines.empty());
  EXPECT_NE(run.lines.back().find("linker: KOVANotification10.arx unmapped"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(BadInput, BadScript, testing::ValuesIn(kBadInput),
                         [](const testing::TestParamInfo<BadInput>& info) { return info.param.name; });

TEST(CommandLine, HelpUnknownOptionsAndMissingScript) {
  EXPECT_EQ(kovahost("--help").status, 0);
  EXPECT_EQ(kovahost("x.kvs", "--frobnicate").status, 2);
  Session missing = kovahost("no-such-script.kvs");
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("cannot read no-such-script.kvs"), std::string::npos);
  Session folder = kovahost(KOVA_EXAMPLES_DIR);
  EXPECT_EQ(folder.status, 2);
  EXPECT_NE(folder.err.find("not a readable file"), std::string::npos);
}

TEST(Modules, ABareNameIsLookedForInTheCurrentDirectoryFirst) {
  std::string dir = scratchDir();
  std::ofstream(dir + "/Mine.arx", std::ios::binary) << readFile(builtModule("MinimalClient.arx"));
  Session run = kovahostText("load Mine.arx\nunload Mine.arx\n", "", dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(std::find(run.lines.begin(), run.lines.end(), "linker: Mine.arx kInitAppMsg"), run.lines.end());
}

// Matching a block's 'end' again at every level made deep scripts slow:
// a hundred levels deep, lines cost about what they cost at the top.
TEST(Nesting, EveryLevelCostsTheSame) {
  auto seconds = [](int depth) {
    std::string filler;
    for (int i = 0; i < 50000; ++i) filler += "# a comment\n";
    const auto start = std::chrono::steady_clock::now();
    Session run = kovahostText("new a\n" + nestedBlocks(depth, filler));
    EXPECT_EQ(run.status, 0) << run.err;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  const double flat = seconds(1), deep = seconds(100);
  EXPECT_LT(deep, 2 * flat + 0.2) << "flat " << flat << " s";
}

// ---- A saved drawing: read back whole, and never damaged by a failed session ----

TEST(SavedDrawing, ComesBackAndOutlivesAFailedSession) {
  std::string dir = scratchDir();
  Session save = kovahostText("new a\ncommand DRAW\n  line 0 0 4 0\n  circle 1 2 3\nend\nlayer 2 walls\n"
                          "save a a.dwg\n", "", dir);
  ASSERT_EQ(save.status, 0) << save.err;
  const std::string bytes = readFile(dir + "/a.dwg");

  // Opened, changed, then a save that fails and a statement that fails.
  Session failed = kovahostText("open a.dwg\ncolor 2 5\nsave a.dwg /nonexistent/a.dwg\nbogus\n", "", dir);
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(readFile(dir + "/a.dwg"), bytes);

  Session reopen = kovahostText("open a.dwg\n", "", dir);
  ASSERT_EQ(reopen.status, 0) << reopen.err;
  expectInOrder(reopen.lines, {"document a.dwg created", "state: drawing a.dwg: not locked, 2 entities",
                               "state:   2 AcDbLine layer=walls color=256 (0,0)-(4,0)",
                               "state:   3 AcDbCircle layer=0 color=256 center (1,2) radius 3"});
}

// ---- The JSON forms ----

// Just enough JSON to check what kovahost writes.
struct Json {
  enum Type { kNull, kBool, kNumber, kString, kArray, kObject } type = kNull;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::map<std::string, Json> fields;
  const Json& operator[](const std::string& key) const {
    static const Json none;
    auto it = fields.find(key);
    return it == fields.end() ? none : it->second;
  }
};

class JsonParser {
 public:
  explicit JsonParser(const std::string& s) : m_s(s) {}
  // Null when the whole text is not exactly one JSON value.
  std::unique_ptr<Json> parse() {
    auto value = std::make_unique<Json>();
    if (!parseValue(*value)) return nullptr;
    skip();
    return m_i == m_s.size() ? std::move(value) : nullptr;
  }

 private:
  void skip() {
    while (m_i < m_s.size() && std::isspace(static_cast<unsigned char>(m_s[m_i]))) ++m_i;
  }
  bool literal(const char* word) {
    size_t n = std::strlen(word);
    if (m_s.compare(m_i, n, word) != 0) return false;
    m_i += n;
    return true;
  }
  bool parseString(std::string& out) {
    if (m_s[m_i] != '"') return false;
    for (++m_i; m_i < m_s.size(); ++m_i) {
      char c = m_s[m_i];
      if (c == '"') return ++m_i, true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c == '\\') {
        if (++m_i >= m_s.size()) return false;
        char e = m_s[m_i];
        if (e == 'u') {
          if (m_i + 4 >= m_s.size()) return false;
          out += static_cast<char>(std::stoi(m_s.substr(m_i + 1, 4), nullptr, 16));
          m_i += 4;
        } else if (std::strchr("\"\\/bfnrt", e)) {
          out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
        } else {
          return false;
        }
      } else {
        out += c;
      }
    }
    return false;
  }
  bool parseValue(Json& v) {
    skip();
    if (m_i >= m_s.size()) return false;
    char c = m_s[m_i];
    if (c == '{') {
      v.type = Json::kObject;
      ++m_i;
      skip();
      if (m_i < m_s.size() && m_s[m_i] == '}') return ++m_i, true;
      for (;;) {
        std::string key;
        skip();
        if (m_i >= m_s.size() || !parseString(key)) return false;
        skip();
        if (m_i >= m_s.size() || m_s[m_i++] != ':' || !parseValue(v.fields[key])) return false;
        skip();
        if (m_i >= m_s.size()) return false;
        if (m_s[m_i] == '}') return ++m_i, true;
        if (m_s[m_i++] != ',') return false;
      }
    }
    if (c == '[') {
      v.type = Json::kArray;
      ++m_i;
      skip();
      if (m_i < m_s.size() && m_s[m_i] == ']') return ++m_i, true;
      for (;;) {
        v.items.emplace_back();
        if (!parseValue(v.items.back())) return false;
        skip();
        if (m_i >= m_s.size()) return false;
        if (m_s[m_i] == ']') return ++m_i, true;
        if (m_s[m_i++] != ',') return false;
      }
    }
    if (c == '"') return v.type = Json::kString, parseString(v.text);
    if (literal("true") || literal("false")) return v.type = Json::kBool, true;
    if (literal("null")) return true;
    char* end = nullptr;
    v.number = std::strtod(m_s.c_str() + m_i, &end);
    if (end == m_s.c_str() + m_i) return false;
    m_i = static_cast<size_t>(end - m_s.c_str());
    return v.type = Json::kNumber, true;
  }

  const std::string& m_s;
  size_t m_i = 0;
};

TEST(JsonLines, EachLineParsesAndTellsTheSameTraceAsText) {
  const std::string script = std::string(KOVA_EXAMPLES_DIR) + "/trace-client.kvs";
  Session text = kovahost(script);
  Session json = kovahost(script, "--json");
  ASSERT_EQ(json.status, 0) << json.err;
  ASSERT_EQ(json.lines.size(), text.lines.size());
  for (size_t i = 0; i < json.lines.size(); ++i) {
    std::unique_ptr<Json> line = JsonParser(json.lines[i]).parse();
    ASSERT_TRUE(line && line->type == Json::kObject) << json.lines[i];
    EXPECT_EQ((*line)["seq"].number, static_cast<double>(i));
    EXPECT_EQ((*line)["event"].text, text.lines[i]);
    EXPECT_EQ((*line)["kind"].type, Json::kString);
  }
}

bool isUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t extra = c < 0x80 ? 0 : c >= 0xC2 && c < 0xE0 ? 1 : c >= 0xE0 && c < 0xF0 ? 2 : c >= 0xF0 && c < 0xF5 ? 3 : 9;
    if (extra == 9 || i + extra >= s.size() + (extra == 0)) return false;
    for (size_t k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

TEST(JsonLines, AScriptThatIsNotUtf8StillGivesValidJson) {
  std::string dir = scratchDir();
  Session json = kovahostText("new pl\xff\xfe" "an\ntext 0 0 caf\xe9\n", "--json", dir);
  ASSERT_EQ(json.status, 0) << json.err;
  bool named = false;
  for (const std::string& line : json.lines) {
    EXPECT_TRUE(isUtf8(line)) << line;
    EXPECT_TRUE(JsonParser(line).parse()) << line;
    named = named || line.find("pl\xef\xbf\xbd\xef\xbf\xbd" "an") != std::string::npos;
  }
  EXPECT_TRUE(named);  // the name keeps what follows the bad bytes
}

// What the hub does around a fan-out (the redraws that end a pickfirst
// handling, the filter flag it raises and clears) lies inside the slice of
// the notification that made it do so.
TEST(TraceEvents, TheHubsOwnWorkLiesInsideTheNotificationThatCausedIt) {
  Session run = kovahost(std::string(KOVA_EXAMPLES_DIR) + "/property-panel.kvs", "--trace-events timeline.json");
  ASSERT_EQ(run.status, 0) << run.err;
  std::unique_ptr<Json> doc = JsonParser(readFile(run.dir + "/timeline.json")).parse();
  ASSERT_TRUE(doc && doc->type == Json::kObject);
  std::vector<std::string> open;
  int redraws = 0, flags = 0;
  for (const Json& e : (*doc)["traceEvents"].items) {
    const std::string& ph = e["ph"].text;
    const std::string& name = e["name"].text;
    if (ph == "B") open.push_back(name);
    if (ph == "E" && !open.empty()) open.pop_back();
    const bool redraw = ph == "i" && name.rfind("redraw ", 0) == 0;
    const bool flag = ph == "C" && name == "filter flag";
    if (!redraw && !flag) continue;
    redraws += redraw;
    flags += flag;
    EXPECT_TRUE(!open.empty() && open.back() == "pickfirstModified") << name << " outside the pickfirst handling";
  }
  EXPECT_GT(redraws, 0);
  EXPECT_GT(flags, 0);
}

TEST(TraceEvents, AreValidJsonWithProperlyNestedSlices) {
  Session run = kovahost(std::string(KOVA_EXAMPLES_DIR) + "/trace-client.kvs", "--trace-events timeline.json");
  ASSERT_EQ(run.status, 0) << run.err;
  std::unique_ptr<Json> doc = JsonParser(readFile(run.dir + "/timeline.json")).parse();
  ASSERT_TRUE(doc && doc->type == Json::kObject);
  const Json& events = (*doc)["traceEvents"];
  ASSERT_EQ(events.type, Json::kArray);

  std::vector<std::string> open;
  double lastTs = -1;
  bool clientInFanOutInCommand = false, transparentInCommand = false;
  for (const Json& e : events.items) {
    const std::string& ph = e["ph"].text;
    if (ph == "M") continue;
    ASSERT_EQ(e["ts"].type, Json::kNumber);
    EXPECT_GE(e["ts"].number, lastTs) << "events go back in time";
    lastTs = e["ts"].number;
    EXPECT_EQ(e["pid"].type, Json::kNumber);
    EXPECT_EQ(e["tid"].type, Json::kNumber);
    const std::string& name = e["name"].text;
    if (ph == "B") {
      auto within = [&](const std::string& outer) { return std::find(open.begin(), open.end(), outer) != open.end(); };
      if (name == "TraceEditorClient" && !open.empty() && open.back() == "commandWillStart" && within("command DRAW"))
        clientInFanOutInCommand = true;
      if (name == "command 'ZOOM" && within("command DRAW")) transparentInCommand = true;
      open.push_back(name);
    } else if (ph == "E") {
      ASSERT_FALSE(open.empty()) << "an end without a begin: " << name;
      EXPECT_EQ(open.back(), name) << "slices cross";
      open.pop_back();
    } else {
      EXPECT_TRUE(ph == "i" || ph == "C") << ph;
    }
  }
  EXPECT_TRUE(open.empty()) << open.size() << " slices never end";
  EXPECT_TRUE(clientInFanOutInCommand) << "no client call inside a command's fan-out";
  EXPECT_TRUE(transparentInCommand) << "the transparent command is not nested";
}

// A fault ends the session, yet what was played is out, the place is named
// and the timeline is a valid document.
TEST(Fault, WhatWasPlayedStaysAndTheTimelineIsClosed) {
  Session run = kovahostText("load FaultingClient.arx\nnew a\necho before\ncommand FAULT\nend\n",
                             "--trace-events timeline.json");
  EXPECT_EQ(run.status, 128 + SIGSEGV);  // how the shell tells that the fault's signal ended it
  expectInOrder(run.lines, {"> echo before", "before", "> command FAULT"});
  expectInOrder(splitLines(run.err), {"KOVA crash: signal 11 in KOVAEditorReactorDispathcer::commandWillStart",
                                      "kovahost: bad.kvs:4: the session faulted (signal 11)"});
  std::unique_ptr<Json> doc = JsonParser(readFile(run.dir + "/timeline.json")).parse();
  ASSERT_TRUE(doc && (*doc)["traceEvents"].type == Json::kArray);
}

}  // namespace
