// kovahost: plays a session script in the host with the hub loaded and
// prints, in order, what the host did, what the hub did and what every
// client heard, then the state of every drawing.
#include <KvTrace.h>
#include <cxxabi.h>
#include <dlfcn.h>
#include <kovareactormanager.h>
#include <kvhost.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using kvhost::fromUtf8;
using kvhost::toUtf8;

const char kUsage[] =
    "usage: kovahost [--json] [--trace-events FILE] SCRIPT\n"
    "\n"
    "Plays SCRIPT in the host stand-in with KOVANotification10.arx loaded and\n"
    "prints, in order, every statement played ('> ...'), every line of the\n"
    "host's journal (modules, reactors, documents, redraws, posted and run\n"
    "commands, undo steps), what the hub did (filter flag changes) and what the\n"
    "client modules heard (lines starting with their own names). At the end it\n"
    "prints the state of every drawing ('state: ...').\n"
    "\n"
    "  --json               one JSON object a line instead of text\n"
    "  --trace-events FILE  also write the session as a timeline in the Trace\n"
    "                       Event Format (open it in Perfetto or chrome://tracing)\n"
    "\n"
    "A script is UTF-8 text (a byte-order mark is skipped, a NUL byte is an\n"
    "error) with one statement a line; '#' starts a comment.\n"
    "  load FILE | unload FILE          load or unload a module (.arx)\n"
    "  new NAME | open FILE | close NAME | activate NAME\n"
    "  save NAME FILE                   save a drawing (DXF when FILE ends in .dxf);\n"
    "                                   an opened drawing is named by its FILE\n"
    "  line X1 Y1 X2 Y2 | circle X Y R | text X Y WORDS...   add to the current drawing\n"
    "  color HANDLE N | layer HANDLE NAME | radius HANDLE R\n"
    "  erase HANDLE | unerase HANDLE\n"
    "  command NAME ... end             run a command whose body is the lines up to\n"
    "                                   'end'; a command inside one is transparent\n"
    "  cancel | fail                    (in a command) cancel it, or make it fail\n"
    "  rollback                         (in a command) ask the hub to roll the drawing\n"
    "                                   back when the command ends, as a client does;\n"
    "                                   kovahost is then a client editor reactor of the\n"
    "                                   hub for the whole session, so commands are marked\n"
    "  exec TEXT                        type TEXT on the command line, e.g. exec _UNDO 1;\n"
    "                                   an unknown command is an error\n"
    "  modeless CONTEXT ... end         work done outside any command\n"
    "                                   (blocks nest at most 100 deep)\n"
    "  pick HANDLE...                   set the pickfirst selection (none: empty it)\n"
    "  lock NAME | unlock NAME          lock a drawing for write, or release that lock\n"
    "  setvar NAME VALUE                set a system variable of the current drawing\n"
    "                                   (one its header has, e.g. CLAYER)\n"
    "  tempdir                          files named without a directory are written and\n"
    "                                   read in a new temporary folder from here on; it\n"
    "                                   is removed when the session ends\n"
    "  echo TEXT                        print TEXT\n"
    "  state                            print every drawing and its entities\n"
    "Handles are the hexadecimal handles printed when an entity is added.\n"
    "\n"
    "Exit status: 0 when the script ran to its end, 1 when a statement failed\n"
    "(the message names the file and line), 2 for a wrong command line. Errors\n"
    "go to the standard error, and with --json also to the output as objects\n"
    "of the kind \"error\". A fault ends kovahost with its signal, after what\n"
    "was played and the timeline are written out and the statement that\n"
    "faulted is named.\n"
    "\n"
    "Example:\n"
    "  load TraceClient.arx\n"
    "  new plan\n"
    "  command DRAW\n"
    "    line 0 0 10 0\n"
    "  end\n"
    "  exec _UNDO 1\n"
    "  state\n";

static_assert(kvhost::kMaxCommandNesting == 100, "the usage names the host's nesting limit");

const wchar_t kHub[] = L"KOVANotification10.arx";

struct ScriptError {
  std::string message;
};
// Thrown through the host out of a command body whose statement failed,
// so that the command fails; the error itself is rethrown afterwards.
struct BodyFailed {};

// A script's text need not be UTF-8; what is written as JSON must be.
std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (char c : toUtf8(fromUtf8(s))) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string hex(AcDbHandle handle) {
  char text[32];
  std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(handle));
  return text;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string point(const AcGePoint3d& p) { return "(" + number(p.x) + "," + number(p.y) + ")"; }

std::string statusName(Acad::ErrorStatus es) {
  switch (es) {
    case Acad::eFileNotFound: return "file not found";
    case Acad::eFileAccessErr: return "file cannot be read or written";
    case Acad::eFileSharingViolation: return "the file is open in another drawing";
    case Acad::eBadDwgHeader: return "not a drawing file";
    case Acad::eInvalidFileVersion: return "unknown drawing file version";
    case Acad::eEndOfFile: return "the file is truncated";
    case Acad::eFilerError: return "the file is truncated or damaged";
    case Acad::eDwgNeedsRecovery: return "the file is truncated or damaged";
    case Acad::eInvalidDxfCode: return "not a valid DXF file";
    case Acad::eWasErased: return "the entity is erased";
    case Acad::eWasNotErased: return "the entity is not erased";
    case Acad::eVetoed: return "vetoed";
    case Acad::eLockViolation: return "the drawing is not locked for write";
    default: return "status " + std::to_string(static_cast<int>(es));
  }
}

// The client's class as a reader knows it, from the mangled type name.
std::string clientName(const char* mangled) {
  static std::map<const char*, std::string> known;
  auto it = known.find(mangled);
  if (it != known.end()) return it->second;
  int status = 0;
  char* plain = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && plain ? plain : mangled;
  std::free(plain);
  const std::string anonymous = "(anonymous namespace)::";
  for (size_t at; (at = name.find(anonymous)) != std::string::npos;) name.erase(at, anonymous.size());
  return known[mangled] = name;
}

// The session as a timeline in the Trace Event Format: the statements, the
// hub's fan-outs and its client calls are nested slices, journal lines are
// instants, and the filter flag is a counter. Events go to the file as they
// happen, so that a session that faults still leaves its timeline.
class Timeline {
 public:
  Timeline(const std::string& file, const std::string& script)
      : m_pFile(std::fopen(file.c_str(), "w")), m_start(std::chrono::steady_clock::now()) {
    if (m_pFile == nullptr) return;
    std::fputs("{\"displayTimeUnit\":\"ms\",\"traceEvents\":[", m_pFile);
    put(R"({"name":"process_name","ph":"M","pid":1,"tid":1,"args":{"name":)" + jsonString("kovahost " + script) + "}}");
    put(R"({"name":"thread_name","ph":"M","pid":1,"tid":1,"args":{"name":"host main thread"}})");
  }
  ~Timeline() {
    if (m_pFile) std::fclose(m_pFile);
  }
  Timeline(const Timeline&) = delete;
  Timeline& operator=(const Timeline&) = delete;

  bool isOpen() const { return m_pFile != nullptr; }
  void begin(const std::string& name, const char* category, const std::string& args) {
    m_open.push_back(jsonString(name));
    add("B", m_open.back(), category, args.empty() ? "" : ",\"args\":{" + args + "}");
  }
  void end() {
    if (m_open.empty()) return;
    add("E", m_open.back(), nullptr, "");
    m_open.pop_back();
  }
  void instant(const std::string& name, const char* category) { add("i", jsonString(name), category, ",\"s\":\"t\""); }
  void counter(const char* name, int value) {
    add("C", jsonString(name), nullptr, ",\"args\":{\"on\":" + std::to_string(value) + "}");
  }
  // Ends every slice still open and the document. It allocates nothing, so
  // that it also serves after a fault; false when the file could not be written.
  bool finish() {
    if (m_pFile == nullptr) return false;
    for (size_t i = m_open.size(); i-- > 0;) add("E", m_open[i], nullptr, "");
    std::fputs("\n]}\n", m_pFile);
    return std::fflush(m_pFile) == 0 && !std::ferror(m_pFile);
  }

 private:
  // Microseconds, strictly increasing, so that no two events tie.
  double now() {
    double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - m_start).count();
    m_last = std::max(us, m_last + 0.001);
    return m_last;
  }
  const char* separator() { return m_nEvents++ == 0 ? "\n" : ",\n"; }
  void put(const std::string& event) { std::fprintf(m_pFile, "%s%s", separator(), event.c_str()); }
  // name: already a JSON string.
  void add(const char* phase, const std::string& name, const char* category, const std::string& rest) {
    std::fprintf(m_pFile, "%s{\"name\":%s,\"ph\":\"%s\",\"ts\":%.3f,\"pid\":1,\"tid\":1", separator(), name.c_str(),
                 phase, now());
    if (category) std::fprintf(m_pFile, ",\"cat\":\"%s\"", category);
    std::fprintf(m_pFile, "%s}", rest.c_str());
  }

  std::FILE* m_pFile;
  std::chrono::steady_clock::time_point m_start;
  double m_last = 0;
  long m_nEvents = 0;
  std::vector<std::string> m_open;
};

// kovahost as a client of the hub, for 'rollback': an editor reactor that
// hears nothing, registered with the manager so that the hub marks commands,
// and the manager's roll-back request. kovahost does not link the hub (the
// hub must unmap when the host unloads it), so it looks the manager's member
// functions up in the mapped module by their linker names.
class HubClient : public AcEditorReactor {
 public:
  // Looks the functions up in the mapped hub; registers when wanted.
  void attach(void* hub, KOVAReactorManager* manager) {
    m_pManager = manager;
    m_add = reinterpret_cast<AddFn>(dlsym(hub, "_ZN18KOVAReactorManager12addEdReactorEP15AcEditorReactori"));
    m_remove = reinterpret_cast<RemoveFn>(dlsym(hub, "_ZN18KOVAReactorManager15removeEdReactorEP15AcEditorReactor"));
    m_request = reinterpret_cast<RequestFn>(dlsym(hub, "_ZN18KOVAReactorManager26setPostUndoOnCommandFinishERKb"));
    m_bRegistered = m_bWanted && m_pManager && m_add && m_remove && m_request;
    if (m_bRegistered) m_add(m_pManager, this, 0);
  }
  // Before the hub goes.
  void detach() {
    if (m_bRegistered) m_remove(m_pManager, this);
    m_bRegistered = false;
    m_pManager = nullptr;
  }
  void want() { m_bWanted = true; }
  bool requestRollback() {
    const bool on = true;
    return m_bRegistered && m_request(m_pManager, on);
  }

 private:
  typedef void (*AddFn)(KOVAReactorManager*, AcEditorReactor*, int);
  typedef void (*RemoveFn)(KOVAReactorManager*, AcEditorReactor*);
  typedef bool (*RequestFn)(KOVAReactorManager*, const bool&);
  KOVAReactorManager* m_pManager = nullptr;
  AddFn m_add = nullptr;
  RemoveFn m_remove = nullptr;
  RequestFn m_request = nullptr;
  bool m_bWanted = false;
  bool m_bRegistered = false;
};

// Everything the session prints goes through here, in order.
class Output {
 public:
  Output(bool json, Timeline* timeline) : m_bJson(json), m_pTimeline(timeline) {}

  // kind: "script" (a statement played), "journal" (a host journal line,
  // including what clients wrote), "hub", "kovahost" or "state".
  void line(const std::string& text, const char* kind) {
    if (m_bJson) {
      std::string json = "{\"seq\":" + std::to_string(m_nSeq++) + ",\"kind\":\"" + kind + "\",\"event\":" + jsonString(text);
      if (!m_at.empty()) json += ",\"at\":" + jsonString(m_at);
      if (!m_clients.empty() && !m_clients.back().empty()) json += ",\"client\":" + jsonString(m_clients.back());
      std::printf("%s}\n", json.c_str());
    } else {
      std::printf("%s\n", text.c_str());
    }
    if (m_pTimeline && std::strcmp(kind, "script") != 0) m_pTimeline->instant(text, kind);
  }

  void journal(const std::wstring& wide) {
    std::string text = toUtf8(wide);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const std::string hub = "linker: " + toUtf8(kHub);
    // The hub's manager is read only while the hub is mapped.
    if (text == hub + " kUnloadAppMsg") {
      m_client.detach();
      m_pManager = nullptr;
    }
    sampleFilter();
    line(text, "journal");
    if (text == hub + " mapped") findManager();
  }

  // The hub does not report its filter flag: it is read at every step the
  // session can see, and a change is printed before what follows it.
  void sampleFilter() {
    if (m_pManager == nullptr || m_pManager->filterReactors() == m_bFilter) return;
    m_bFilter = !m_bFilter;
    line(m_bFilter ? "hub: filter flag set (database notifications held back)" : "hub: filter flag cleared", "hub");
    if (m_pTimeline) m_pTimeline->counter("filter flag", m_bFilter ? 1 : 0);
  }

  void sliceBegin(const char* kind, const char* name, const char* who) {
    sampleFilter();
    bool client = std::strcmp(kind, "client") == 0;
    m_clients.push_back(client && who ? clientName(who) : std::string());
    if (m_pTimeline) {
      if (client)
        m_pTimeline->begin(m_clients.back(), "client", "\"notification\":" + jsonString(name));
      else
        m_pTimeline->begin(name, kind, "");
    }
  }
  void sliceEnd() {
    // A flag the slice's own work changed is shown inside it.
    sampleFilter();
    if (!m_clients.empty()) m_clients.pop_back();
    if (m_pTimeline) m_pTimeline->end();
  }

  // Errors go to the standard error; with --json also here, as objects.
  void error(const std::string& message) {
    if (m_bJson) line(message, "error");
  }

  void setLocation(const std::string& at) { m_at = at; }
  // The statement being played, as FILE:LINE (empty between statements).
  const char* location() const { return m_at.c_str(); }
  Timeline* timeline() { return m_pTimeline; }
  HubClient& client() { return m_client; }

 private:
  void findManager() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return;
    exe[n] = 0;
    std::string path = exe;
    path = path.substr(0, path.rfind('/') + 1) + toUtf8(kHub);
    // No reference of ours may keep the hub mapped when the host unloads it.
    if (void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
      m_pManager = static_cast<KOVAReactorManager*>(dlsym(handle, "g_ReactorManager"));
      m_client.attach(handle, m_pManager);
      dlclose(handle);
    }
    m_bFilter = false;
  }

  bool m_bJson;
  Timeline* m_pTimeline;
  long m_nSeq = 0;
  std::string m_at;
  std::vector<std::string> m_clients;
  KOVAReactorManager* m_pManager = nullptr;
  bool m_bFilter = false;
  HubClient m_client;
};

Output* g_pOutput = nullptr;
void onSliceBegin(const char* kind, const char* name, const char* who) { g_pOutput->sliceBegin(kind, name, who); }
void onSliceEnd() { g_pOutput->sliceEnd(); }

// A fault ends the session, but not before what was played is out, the
// fault's place is reported and the timeline is closed as a valid document;
// then the process ends with the fault's own signal.
Timeline* g_pTimeline = nullptr;
const int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

void onFault(int sig) {
  std::fflush(stdout);
  char report[512];
  const char* at = g_pOutput ? g_pOutput->location() : "";
  int n = std::snprintf(report, sizeof report, "kovahost: %s%sthe session faulted (signal %d)\n", at, *at ? ": " : "", sig);
  if (n > 0) {
    ssize_t written = write(STDERR_FILENO, report, std::min(static_cast<size_t>(n), sizeof report - 1));
    (void)written;  // nothing is left to tell a failed write to
  }
  if (g_pTimeline) g_pTimeline->finish();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void reportFaults() {
  // From a stack of its own, so that a stack overflow is reported too,
  // unless the process already has one.
  static char stack[64 * 1024];
  stack_t current;
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
    stack_t own{};
    own.ss_sp = stack;
    own.ss_size = sizeof stack;
    sigaltstack(&own, nullptr);
  }
  struct sigaction action {};
  action.sa_handler = onFault;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_ONSTACK;
  for (int sig : kFaultSignals) sigaction(sig, &action, nullptr);
}

const char* lockModeName(AcAp::DocLockMode mode) {
  switch (mode) {
    case AcAp::kNotLocked: return "not locked";
    case AcAp::kAutoWrite: return "locked (auto-write)";
    case AcAp::kWrite: return "locked for write";
    case AcAp::kProtectedAutoWrite: return "locked (protected auto-write)";
    case AcAp::kRead: return "locked for read";
    case AcAp::kXWrite: return "locked exclusively";
    default: return "not locked";
  }
}

void printState(Output& out) {
  std::vector<AcApDocument*> docs = kvhost::documents();
  AcApDocument* current = acDocManagerPtr()->curDocument();
  out.line("state: " + std::to_string(docs.size()) + (docs.size() == 1 ? " drawing" : " drawings") +
               (current ? ", current " + toUtf8(current->fileName()) : std::string()),
           "state");
  for (AcApDocument* doc : docs) {
    AcDbObjectIdArray ids = kvhost::entities(doc);
    std::string head = "state: drawing " + toUtf8(doc->fileName()) + ": " + lockModeName(doc->myLockMode()) + ", " +
                       std::to_string(ids.length()) + (ids.length() == 1 ? " entity, " : " entities, ") +
                       std::to_string(kvhost::undoGroupCount(doc)) + " undo groups";
    if (doc == current) head += ", " + std::to_string(kvhost::pickfirst().length()) + " selected";
    out.line(head, "state");
    for (const AcDbObjectId& id : ids) {
      AcDbEntityPointer ent(id, AcDb::kForRead);
      if (!ent) continue;
      std::string text = "state:   " + hex(id.handle()) + " " + toUtf8(ent->isA()->name()) +
                         " layer=" + toUtf8(ent->layer()) + " color=" + std::to_string(ent->colorIndex());
      if (auto* line = AcDbLine::cast(ent.object()))
        text += " " + point(line->startPoint()) + "-" + point(line->endPoint());
      else if (auto* circle = AcDbCircle::cast(ent.object()))
        text += " center " + point(circle->center()) + " radius " + number(circle->radius());
      else if (auto* t = AcDbText::cast(ent.object()))
        text += " at " + point(t->position()) + " \"" + toUtf8(t->textString()) + "\"";
      if (int redrawn = kvhost::redrawCount(id)) text += " redrawn " + std::to_string(redrawn);
      out.line(text, "state");
    }
  }
}

class Player {
 public:
  Player(std::string file, std::vector<std::string> lines, Output& out)
      : m_file(std::move(file)), m_lines(std::move(lines)), m_out(out), m_blockEnds(matchBlockEnds(m_lines)) {}

  // A NUL byte would cut a statement short unseen.
  void check() const {
    for (size_t i = 0; i < m_lines.size(); ++i)
      if (m_lines[i].find('\0') != std::string::npos) fail(i, "a NUL byte: a script is text");
  }
  bool asksForRollback() const {
    for (const std::string& line : m_lines)
      if (words(line) == std::vector<std::string>{"rollback"}) return true;
    return false;
  }
  void run() {
    runBlock(0, m_lines.size());
    m_out.setLocation("");
  }
  // Called once the session has ended and its files are closed.
  void removeTempDirs() {
    std::error_code ignored;
    for (const std::string& dir : m_tempDirs) std::filesystem::remove_all(dir, ignored);
  }

 private:
  enum class Block { kCommand, kModeless };

  [[noreturn]] void fail(size_t index, const std::string& what) const {
    throw ScriptError{where(index) + ": " + what};
  }
  std::string where(size_t index) const { return m_file + ":" + std::to_string(index + 1); }

  static std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line.substr(0, line.find('#')));
    for (std::string w; in >> w;) out.push_back(w);
    return out;
  }

  static std::string joined(const std::vector<std::string>& w, size_t from) {
    std::string text;
    for (size_t k = from; k < w.size(); ++k) text += (k > from ? " " : "") + w[k];
    return text;
  }

  static bool opensBlock(const std::vector<std::string>& w) { return !w.empty() && (w[0] == "command" || w[0] == "modeless"); }

  // For every line that opens a block, the line of the 'end' that closes it
  // (none: npos), found in one pass, so that a block costs the same at any depth.
  static std::vector<size_t> matchBlockEnds(const std::vector<std::string>& lines) {
    std::vector<size_t> ends(lines.size(), std::string::npos);
    std::vector<size_t> open;
    for (size_t i = 0; i < lines.size(); ++i) {
      std::vector<std::string> w = words(lines[i]);
      if (opensBlock(w)) {
        open.push_back(i);
      } else if (!w.empty() && w[0] == "end" && !open.empty()) {
        ends[open.back()] = i;
        open.pop_back();
      }
    }
    return ends;
  }

  // The line of the 'end' that closes the block opened at index.
  size_t blockEnd(size_t index) const {
    if (m_blockEnds[index] == std::string::npos) fail(index, "'" + words(m_lines[index])[0] + "' without 'end'");
    return m_blockEnds[index];
  }

  // Prints the statement and makes it a slice of the timeline.
  class Played {
   public:
    Played(Player& player, size_t index, const std::string& text) : m_timeline(player.m_out.timeline()) {
      player.m_out.setLocation(player.where(index));
      player.m_out.line("> " + std::string(2 * player.m_blocks.size(), ' ') + text, "script");
      if (m_timeline) m_timeline->begin(text, "script", "\"at\":" + jsonString(player.where(index)));
    }
    ~Played() {
      if (m_timeline) m_timeline->end();
    }
    Played(const Played&) = delete;
    Played& operator=(const Played&) = delete;

   private:
    Timeline* m_timeline;
  };

  void runBlock(size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      std::vector<std::string> w = words(m_lines[i]);
      if (w.empty()) continue;
      if (opensBlock(w)) {
        i = block(i, w);
      } else {
        {
          Played played(*this, i, joined(w, 0));
          statement(i, w);
        }
        m_out.sampleFilter();
      }
    }
  }

  size_t block(size_t i, const std::vector<std::string>& w) {
    if (w.size() != 2) fail(i, "expected: " + w[0] + (w[0] == "command" ? " NAME" : " CONTEXT"));
    size_t end = blockEnd(i);
    if (m_blocks.size() >= static_cast<size_t>(kvhost::kMaxCommandNesting))
      fail(i, "commands and modeless blocks nest at most " + std::to_string(kvhost::kMaxCommandNesting) + " deep");
    const bool isCommand = w[0] == "command";
    AcApDocument* doc = isCommand ? current(i) : acDocManagerPtr()->curDocument();
    std::optional<ScriptError> error;
    std::string outcome = "ended";
    {
      Played played(*this, i, joined(w, 0));
      m_blocks.push_back(isCommand ? Block::kCommand : Block::kModeless);
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
          runBlock(i + 1, end);
        } catch (const ScriptError& e) {
          error = e;
          if (isCommand) throw BodyFailed{};
        }
      };
      if (isCommand) {
        switch (kvhost::runCommand(fromUtf8(w[1]), body)) {
          case kvhost::CommandOutcome::kEnded: break;
          case kvhost::CommandOutcome::kCancelled: outcome = "cancelled"; break;
          case kvhost::CommandOutcome::kFailed: outcome = "failed"; break;
          default: outcome = "refused, its body was not played"; break;
        }
        if (!ran && outcome == "ended") outcome = "refused, its body was not played";
      } else {
        kvhost::modelessOperation(fromUtf8(w[1]), body);
      }
    }
    if (error) throw *error;
    Played played(*this, end, "end " + w[1] + (isCommand ? ": " + outcome : std::string()));
    return end;
  }

  AcApDocument* current(size_t i) const {
    AcApDocument* doc = acDocManagerPtr()->curDocument();
    if (doc == nullptr) fail(i, "no drawing is open");
    return doc;
  }

  AcApDocument* drawing(size_t i, const std::string& name) const {
    AcApDocument* doc = kvhost::findDocument(fromUtf8(name));
    if (doc == nullptr) fail(i, "no drawing named " + name);
    return doc;
  }

  double number(size_t i, const std::string& text) const {
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != 0 || !std::isfinite(value)) fail(i, "not a number: " + text);
    return value;
  }

  // An object of the current drawing by its handle; erased ones only when asked.
  AcDbObjectId object(size_t i, const std::string& handleText, bool erasedToo) const {
    char* end = nullptr;
    unsigned long long handle = std::strtoull(handleText.c_str(), &end, 16);
    if (end == handleText.c_str() || *end != 0 || handleText[0] == '-') fail(i, "not a handle: " + handleText);
    AcApDocument* doc = current(i);
    for (const AcDbObjectId& id : doc->database()->objectIds(true)) {
      if (id.handle() != handle) continue;
      if (!erasedToo && id.isErased()) fail(i, "the entity " + handleText + " is erased");
      return id;
    }
    fail(i, "no entity with handle " + handleText + " in drawing " + toUtf8(doc->fileName()));
  }

  AcDbObjectId entity(size_t i, const std::string& handleText) const {
    AcDbObjectId id = object(i, handleText, false);
    AcDbEntityPointer ent(id, AcDb::kForRead);
    if (!ent) fail(i, handleText + " is not an entity");
    return id;
  }

  void expect(size_t i, const std::vector<std::string>& w, size_t n, const char* shape) const {
    if (w.size() != n) fail(i, std::string("expected: ") + shape);
  }

  void add(size_t i, AcDbEntity* entity) {
    AcApDocument* doc = current(i);
    const std::string cls = toUtf8(entity->isA()->name());
    AcDbObjectId id = kvhost::addEntity(doc, entity);
    if (id.isNull()) fail(i, "the " + cls + " could not be added");
    m_out.line("added " + cls + " " + hex(id.handle()) + " to " + toUtf8(doc->fileName()), "kovahost");
  }

  void change(size_t i, const std::string& handle, const std::function<void(AcDbEntity*)>& how) {
    Acad::ErrorStatus es = kvhost::modifyObject(entity(i, handle), [&](AcDbObject* obj) {
      if (AcDbEntity* ent = AcDbEntity::cast(obj)) how(ent);
    });
    if (es != Acad::eOk) fail(i, "cannot change " + handle + ": " + statusName(es));
  }

  bool insideBlock() const { return !m_blocks.empty(); }

  void statement(size_t i, const std::vector<std::string>& w) {
    const std::string& op = w[0];
    if (op == "load" || op == "unload") {
      expect(i, w, 2, "load|unload FILE");
      if (op == "unload" && insideBlock()) fail(i, "'unload' inside a command or modeless block");
      bool ok = op == "load" ? kvhost::loadModule(fromUtf8(w[1])) : kvhost::unloadModule(fromUtf8(w[1]));
      if (!ok) fail(i, toUtf8(kvhost::lastModuleError()));
    } else if (op == "new") {
      expect(i, w, 2, "new NAME");
      if (kvhost::findDocument(fromUtf8(w[1]))) fail(i, "a drawing named " + w[1] + " is already open");
      kvhost::newDocument(fromUtf8(w[1]));
    } else if (op == "open") {
      expect(i, w, 2, "open FILE");
      if (kvhost::findDocument(fromUtf8(w[1]))) fail(i, "the drawing " + w[1] + " is already open");
      std::error_code ignored;
      if (std::filesystem::is_directory(w[1], ignored)) fail(i, "cannot open " + w[1] + ": it is a directory");
      Acad::ErrorStatus es = Acad::eOk;
      if (kvhost::openDocument(fromUtf8(w[1]), &es) == nullptr) fail(i, "cannot open " + w[1] + ": " + statusName(es));
    } else if (op == "close") {
      expect(i, w, 2, "close NAME");
      AcApDocument* doc = drawing(i, w[1]);
      for (AcApDocument* busy : m_busyDocs)
        if (busy == doc) fail(i, "cannot close " + w[1] + " while a command or modeless block runs in it");
      m_scriptLocks.erase(doc);
      kvhost::closeDocument(doc);
    } else if (op == "activate") {
      expect(i, w, 2, "activate NAME");
      kvhost::activateDocument(drawing(i, w[1]));
    } else if (op == "save") {
      expect(i, w, 3, "save NAME FILE");
      Acad::ErrorStatus es = kvhost::saveDocument(drawing(i, w[1]), fromUtf8(w[2]));
      if (es != Acad::eOk) fail(i, "cannot save " + w[1] + " to " + w[2] + ": " + statusName(es));
    } else if (op == "line") {
      expect(i, w, 5, "line X1 Y1 X2 Y2");
      AcGePoint3d from(number(i, w[1]), number(i, w[2]), 0), to(number(i, w[3]), number(i, w[4]), 0);
      add(i, new AcDbLine(from, to));
    } else if (op == "circle") {
      expect(i, w, 4, "circle X Y R");
      double r = number(i, w[3]);
      if (r <= 0) fail(i, "a circle needs a positive radius");
      AcGePoint3d center(number(i, w[1]), number(i, w[2]), 0);
      add(i, new AcDbCircle(center, r));
    } else if (op == "text") {
      if (w.size() < 4) fail(i, "expected: text X Y WORDS...");
      AcGePoint3d at(number(i, w[1]), number(i, w[2]), 0);
      add(i, new AcDbText(at, fromUtf8(joined(w, 3)).c_str()));
    } else if (op == "color") {
      expect(i, w, 3, "color HANDLE N");
      double color = number(i, w[2]);
      if (color < 0 || color > 256 || color != std::floor(color)) fail(i, "a color is a whole number from 0 to 256");
      change(i, w[1], [&](AcDbEntity* ent) { ent->setColorIndex(static_cast<Adesk::UInt16>(color)); });
    } else if (op == "layer") {
      expect(i, w, 3, "layer HANDLE NAME");
      std::wstring layer = fromUtf8(w[2]);
      change(i, w[1], [&](AcDbEntity* ent) { ent->setLayer(layer.c_str()); });
    } else if (op == "radius") {
      expect(i, w, 3, "radius HANDLE R");
      double r = number(i, w[2]);
      if (r <= 0) fail(i, "a circle needs a positive radius");
      AcDbObjectId id = entity(i, w[1]);
      {
        AcDbEntityPointer ent(id, AcDb::kForRead);
        if (!AcDbCircle::cast(ent.object())) fail(i, w[1] + " is not a circle");
      }
      change(i, w[1], [&](AcDbEntity* ent) { AcDbCircle::cast(ent)->setRadius(r); });
    } else if (op == "erase" || op == "unerase") {
      expect(i, w, 2, "erase|unerase HANDLE");
      Acad::ErrorStatus es = kvhost::eraseObject(object(i, w[1], op == "unerase"), op == "erase");
      if (es != Acad::eOk) fail(i, "cannot " + op + " " + w[1] + ": " + statusName(es));
    } else if (op == "cancel" || op == "fail") {
      if (w.size() != 1) fail(i, "expected: " + op);
      if (m_blocks.empty() || m_blocks.back() != Block::kCommand) fail(i, "'" + op + "' outside a command");
      if (op == "cancel") throw kvhost::CommandCancelled{};
      throw std::runtime_error("the script made the command fail");
    } else if (op == "rollback") {
      expect(i, w, 1, "rollback");
      if (m_blocks.empty() || m_blocks.back() != Block::kCommand) fail(i, "'rollback' outside a command");
      if (!m_out.client().requestRollback()) fail(i, "the hub is not loaded");
    } else if (op == "exec") {
      if (w.size() < 2) fail(i, "expected: exec TEXT");
      if (kvhost::executeString(fromUtf8(joined(w, 1))) == kvhost::CommandOutcome::kUnknown)
        fail(i, "unknown command " + w[1]);
    } else if (op == "pick") {
      AcDbObjectIdArray ids;
      for (size_t k = 1; k < w.size(); ++k) ids.append(entity(i, w[k]));
      current(i);
      kvhost::setPickfirst(ids);
    } else if (op == "lock") {
      expect(i, w, 2, "lock NAME");
      AcApDocument* doc = drawing(i, w[1]);
      Acad::ErrorStatus es = acDocManagerPtr()->lockDocument(doc, AcAp::kWrite, L"SCRIPT");
      // A veto is an answer, not an error: the host has printed it.
      if (es == Acad::eOk)
        ++m_scriptLocks[doc];
      else if (es != Acad::eVetoed)
        fail(i, "cannot lock " + w[1] + ": " + statusName(es));
    } else if (op == "unlock") {
      expect(i, w, 2, "unlock NAME");
      AcApDocument* doc = drawing(i, w[1]);
      auto held = m_scriptLocks.find(doc);
      if (held == m_scriptLocks.end()) fail(i, "the script holds no lock on " + w[1]);
      if (--held->second == 0) m_scriptLocks.erase(held);
      acDocManagerPtr()->unlockDocument(doc);
    } else if (op == "setvar") {
      expect(i, w, 3, "setvar NAME VALUE");
      std::string name = w[1];
      for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (current(i)->database()->headerSysVar(fromUtf8(name).c_str()) == nullptr)
        fail(i, "unknown system variable " + w[1]);
      kvhost::setSysVar(fromUtf8(name), fromUtf8(w[2]));
    } else if (op == "tempdir") {
      expect(i, w, 1, "tempdir");
      useTempDir(i);
    } else if (op == "echo") {
      m_out.line(joined(w, 1), "kovahost");
    } else if (op == "state") {
      expect(i, w, 1, "state");
      printState(m_out);
    } else if (op == "end") {
      fail(i, "'end' without 'command' or 'modeless'");
    } else {
      fail(i, "unknown statement '" + op + "' (kovahost --help lists them)");
    }
  }

  void useTempDir(size_t i) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kovahost.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) fail(i, "cannot make a temporary folder");
    m_tempDirs.push_back(pattern);
    if (chdir(pattern.c_str()) != 0) fail(i, "cannot enter the temporary folder " + pattern);
    m_out.line("files go to a temporary folder", "kovahost");
  }

  std::string m_file;
  std::vector<std::string> m_lines;
  Output& m_out;
  std::vector<std::string> m_tempDirs;
  const std::vector<size_t> m_blockEnds;
  std::vector<Block> m_blocks;
  std::vector<AcApDocument*> m_busyDocs;
  std::map<AcApDocument*, int> m_scriptLocks;
};

// A wrong command line, said on the standard error and, for --json, as an
// error object on the output.
int usageError(bool json, const std::string& message, bool withUsage) {
  std::fprintf(stderr, "kovahost: %s\n%s%s", message.c_str(), withUsage ? "\n" : "", withUsage ? kUsage : "");
  if (json) std::printf("{\"seq\":0,\"kind\":\"error\",\"event\":%s}\n", jsonString(message).c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  std::string script, traceFile;
  // The first thing wrong with the command line, said once all of it is read.
  std::optional<std::pair<std::string, bool>> wrong;  // message, whether to show the usage
  auto reject = [&](const std::string& message, bool showUsage) {
    if (!wrong) wrong.emplace(message, showUsage);
  };
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--json") {
      json = true;
    } else if (arg == "--trace-events") {
      if (i + 1 == argc || argv[i + 1][0] == '-')
        reject("--trace-events needs a file name", false);
      else
        traceFile = argv[++i];
    } else if (arg.rfind("--trace-events=", 0) == 0) {
      traceFile = arg.substr(15);
      if (traceFile.empty()) reject("--trace-events needs a file name", false);
    } else if (arg.empty() || (arg[0] == '-' && arg != "-") || !script.empty()) {
      reject("unexpected argument '" + arg + "'", true);
    } else {
      script = arg;
    }
  }
  if (wrong) return usageError(json, wrong->first, wrong->second);
  if (script.empty()) return usageError(json, "no script given", true);
  struct stat info;
  std::ifstream in(script, std::ios::binary);
  if (::stat(script.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || !in)
    return usageError(json, "cannot read " + script + ": not a readable file", false);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  const char kByteOrderMark[] = "\xEF\xBB\xBF";
  if (!lines.empty() && lines[0].rfind(kByteOrderMark, 0) == 0) lines[0].erase(0, 3);
  // Opened before the script runs: it may move the session into a temporary folder.
  std::optional<Timeline> timeline;
  if (!traceFile.empty() && !timeline.emplace(traceFile, script).isOpen())
    return usageError(json, "cannot write " + traceFile, false);
  Output out(json, timeline ? &*timeline : nullptr);
  g_pOutput = &out;
  g_pTimeline = timeline ? &*timeline : nullptr;
  // Before the hub is loaded: its crash guard hands on the faults it does not own.
  reportFaults();
  kvhost::setJournalListener([&](const std::wstring& line) { out.journal(line); });
  if (timeline) KvTrace::setSliceListener(onSliceBegin, onSliceEnd);
  // The hub's guard swallows faults, as in the product; here they are shown.
  KvTrace::setCrashListener([&](const KvCrashReport& r) {
    out.line("hub: fault caught in " + toUtf8(r.function) + " (" + toUtf8(r.sourceFile) + ":" + std::to_string(r.line) +
                 "): " + toUtf8(r.what),
             "hub");
  });

  int status = 0;
  Player player(script, lines, out);
  if (player.asksForRollback()) out.client().want();
  try {
    if (!kvhost::loadModule(kHub)) throw ScriptError{"cannot load the hub: " + toUtf8(kvhost::lastModuleError())};
    player.check();
    player.run();
    printState(out);
  } catch (const ScriptError& e) {
    out.error(e.message);
    std::fflush(stdout);
    std::fprintf(stderr, "kovahost: %s\n", e.message.c_str());
    status = 1;
  }
  // The session ends as the host's does: drawings closed unsaved, modules
  // unloaded. Saved files are left as they are, outside a temporary folder.
  kvhost::quit();
  player.removeTempDirs();
  KvTrace::setSliceListener(nullptr, nullptr);
  KvTrace::setCrashListener(nullptr);
  kvhost::setJournalListener(nullptr);
  std::fflush(stdout);
  g_pTimeline = nullptr;
  if (timeline && !timeline->finish()) {
    std::fprintf(stderr, "kovahost: cannot write %s\n", traceFile.c_str());
    if (status == 0) status = 2;
  }
  g_pOutput = nullptr;
  return status;
}
