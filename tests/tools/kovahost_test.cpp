// kovahost as its users run it: the built program plays scripts in a
// scratch directory, and its output is checked for what the clients must
// hear, in order.
#include <gtest/gtest.h>
#include <programs.h>
#include <testfiles.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {
using testfiles::readFile;

struct Session {
  int status = -1;  // the exit status; -1 when the program did not exit normally
  std::vector<std::string> lines;
  std::string out, err;
};

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Scratch folders, removed with everything in them when the tests end.
class ScratchDirs {
 public:
  ~ScratchDirs() {
    std::error_code ignored;
    for (const std::string& dir : m_dirs) std::filesystem::remove_all(dir, ignored);
  }
  std::string make() { return m_dirs.emplace_back(testfiles::newFolder("kovahost_test")); }

 private:
  std::vector<std::string> m_dirs;
} g_scratch;

std::string scratchDir() { return g_scratch.make(); }

// A file the programs wrote as text: lines end in "\n" here whatever the system ends them with.
std::string readText(const std::string& path) {
  std::string text = readFile(path);
  for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  return text;
}

// Runs a program in dir, its temporary folders in dir too; what it wrote
// comes back, and stays there as NAME.out and NAME.err.
Session run(const std::string& program, const std::vector<std::string>& arguments, const std::string& dir,
            const std::string& name) {
  const std::string out = dir + "/" + name + ".out", err = dir + "/" + name + ".err";
  Session s{programs::run(program, arguments, dir, out, err), {}, readText(out), readText(err)};
  s.lines = splitLines(s.out);
  return s;
}
// Paths the programs are given are absolute where they run.
std::string absolute(const std::string& path) { return std::filesystem::absolute(path).string(); }
Session kovahost(const std::vector<std::string>& arguments, const std::string& dir, const std::string& name = "kovahost") {
  return run(absolute(KOVAHOST_PROGRAM), arguments, dir, name);
}
// The build machine's Python, which Wine cannot capture the output of: the
// Windows build leaves what needs it to the Linux one.
const bool kPythonRuns = *KOVA_PYTHON != '\0';
const char* const kNoPython = "read_json.py runs on the Linux side: Wine cannot capture a Linux program's output";
// What read_json.py says of a JSON output: its "error:" lines and the rest.
Session readJson(const std::vector<std::string>& arguments, const std::string& dir) {
  std::vector<std::string> all{KOVA_READ_JSON_SCRIPT};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return run(KOVA_PYTHON, all, dir, "read_json");
}
std::string example(const std::string& script) { return absolute(KOVA_EXAMPLES_DIR "/" + script); }

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
  std::vector<std::string> absent = {};
};

const std::vector<Example> kExamples = {
    {"first-session.kvs",
     {"trace: documentCreated plan", "trace: commandWillStart DRAW", "trace: objectAppended AcDbLine 4",
      "trace: objectAppended AcDbCircle 5", "trace: commandEnded DRAW", "trace: objectModified AcDbLine 4",
      "trace: commandWillStart UNDO", "undo 1: 1 undone in plan", "hub: filter flag set",
      "trace: pickfirstModified 2 AcDbCurve", "hub: filter flag cleared", "state:   4 AcDbLine layer=0 color=256",
      "trace: documentToBeDestroyed plan"}},
    {"trace-client.kvs",
     {"trace: commandWillStart DRAW", "trace: commandWillStart 'ZOOM", "trace: commandEnded 'ZOOM",
      "trace: objectAppended AcDbCircle 5", "trace: commandEnded DRAW", "trace: objectErased AcDbCircle 5",
      "trace: commandCancelled ERASE", "trace: commandFailed MOVE", "trace: objectUnErased AcDbCircle 5",
      "trace: modelessOperationWillStart PALETTE", "trace: objectModified AcDbLine 4",
      "trace: modelessOperationEnded PALETTE", "trace: sysVarChanged CLAYER", "trace: beginSave plan.dwg",
      "saved plan to plan.dwg", "trace: endDwgOpen plan.dwg", "trace: documentCreated plan.dwg",
      "state: drawing plan.dwg", "state:   4 AcDbLine layer=0 color=3", "state:   5 AcDbCircle"}},
    {"property-panel.kvs",
     {"hub: filter flag set", "panel: 2 selected, class AcDbLine, layer 0, color 256", "redraw 4", "redraw 5",
      "hub: filter flag cleared", "panel: 2 selected, class AcDbCurve, layer 0, color *varies*", "redraw 4",
      "redraw 6", "panel: nothing selected", "state:   4 AcDbLine layer=0 color=256 (0,0)-(10,0) redrawn 2",
      "state:   5 AcDbLine layer=0 color=256 (0,5)-(10,5) redrawn 1"}},
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
      "> command ZOOM", "> end ZOOM: ended", "state: drawing detail: not locked"}},
    {"minimal-client.kvs",
     {"minimal: 2 selected, class AcDbCurve", "redraw 4", "redraw 5", "minimal: ERASE erased an entity, rolling it back",
      "posted _UNDO 1", "undo 1: 1 undone in plan", "state:   4 AcDbLine layer=0"}},
    {"roll-back.kvs",
     {"posted _UNDO 1", "undo 1: 1 undone in plan", "> end ERASE: ended", "state:   4 AcDbLine layer=0 color=3",
      "state:   5 AcDbCircle"}},
    {"save-and-reopen.kvs",
     {"saved plan to plan.dwg", "saved plan to plan.dxf", "document plan closed", "document plan.dwg created",
      "document plan.dxf created", "state: drawing plan.dwg", "state:   2 AcDbLine layer=walls color=256 (0,0)-(10,0)",
      "state:   3 AcDbCircle layer=0 color=3 center (5,5) radius 2", "state:   4 AcDbText layer=0 color=256 at (1,1) \"door A\"",
      "state: drawing plan.dxf", "state:   2 AcDbLine layer=walls", "state:   3 AcDbCircle layer=0 color=3",
      "state:   4 AcDbText"}},
};

void PrintTo(const Example& e, std::ostream* os) { *os << e.script; }

class ExampleScript : public testing::TestWithParam<Example> {};

TEST_P(ExampleScript, RunsAndItsClientsHearWhatTheyMust) {
  const Example& example = GetParam();
  Session run = kovahost({::example(example.script)}, scratchDir());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  expectInOrder(run.lines, example.inOrder);
  for (const std::string& line : run.lines) {
    for (const std::string& key : example.absent) EXPECT_NE(line.compare(0, key.size(), key), 0) << line;
    EXPECT_EQ(line.find("client failed"), std::string::npos) << line;
  }
  // The session ends as the host's does: the hub unloaded last, for real.
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.back(), "linker: KOVANotification10.arx unmapped");
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleScript, testing::ValuesIn(kExamples),
                         [](const testing::TestParamInfo<Example>& info) {
                           std::string name = info.param.script;
                           name = name.substr(0, name.find('.'));
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name;
                         });

TEST(ExampleScripts, EveryScriptInTheExamplesIsChecked) {
  for (const auto& file : std::filesystem::directory_iterator(KOVA_EXAMPLES_DIR)) {
    const std::string name = file.path().filename().string();
    EXPECT_TRUE(file.path().extension() != ".kvs" ||
                std::any_of(kExamples.begin(), kExamples.end(), [&](const Example& e) { return name == e.script; }))
        << name << " has no expectations here";
  }
}

// ---- Scripts and command lines: the exit status and what must be said ----

// Script lines opening blocks, commands and modeless operations in turn,
// and the lines closing them.
std::string nestedBlocks(int depth, const std::string& inside) {
  std::string script;
  for (int i = 0; i < depth; ++i) script += i % 2 ? "modeless M\n" : "command C\n";
  script += inside;
  for (int i = 0; i < depth; ++i) script += "end\n";
  return script;
}

struct ScriptCase {
  const char* name;
  std::string script;  // played as bad.kvs
  // Found in the output or the error output, each as it is (lines in a row);
  // when the status is 1 the first follows "kovahost: bad.kvs:".
  std::vector<std::string> said;
  std::vector<std::string> arguments = {"bad.kvs"};
  int status = 1;  // 2: a wrong command line
};

const std::vector<ScriptCase> kScripts = {
    {"UnknownStatement", "new a\nfrobnicate 1\n", {"2: unknown statement 'frobnicate'"}},
    {"TooFewArguments", "new a\nline 0 0 1\n", {"2: expected: line X1 Y1 X2 Y2"}},
    {"NotANumber", "new a\ncircle 0 zero 1\n", {"2: not a number: zero"}},
    {"HandleThatDoesNotExist", "new a\nline 0 0 1 1\ncolor 99 1\n", {"3: no entity with handle 99 in drawing a"}},
    {"HandleOfANonEntity", "new a\ncolor 1 1\n", {"2: 1 is not an entity"}},
    {"NoDrawingOpen", "line 0 0 1 1\n", {"1: no drawing is open"}},
    {"UnknownDrawing", "close nowhere\n", {"1: no drawing named nowhere"}},
    {"FileThatIsNotAModule", "load ./fake.arx\n", {"1: cannot load ./fake.arx: "}},
    {"LibraryThatIsNotAModule", "load " KOVA_INHOUSE_LIBRARY "\n", {"1: " KOVA_INHOUSE_LIBRARY " is not an application module"}},
    {"ModuleCutShort", "load cut.arx\n", {"1: cannot load cut.arx: the file is truncated or damaged"}},
    {"MissingDrawing", "open nothere.dwg\n", {"1: cannot open nothere.dwg: there is no such file"}},
    {"NotADrawing", "open junk.dwg\n", {"1: cannot open junk.dwg: not a drawing file"}},
    {"TruncatedDrawing", "open cut.dwg\n", {"1: cannot open cut.dwg: the file is truncated or damaged"}},
    {"DirectoryAsDrawing", "open folder.dwg\n", {"1: cannot open folder.dwg: it is a directory"}},
    // What was opened is looked at, not the name: a pipe with no writer does not hold the session.
    {"PipeAsDrawing", "open fifo.dxf\n", {"1: cannot open fifo.dxf: it is a pipe or a socket, not a file"}},
    {"DeviceAsDrawing", "open /dev/zero\n", {"1: cannot open /dev/zero: it is a device, not a file"}},
    // Refused at once, from its first bytes, however large the file.
    {"NulBytesInDrawing", "open sparse.dxf\n",
     {"1: cannot open sparse.dxf: a NUL byte at byte 12, where a DXF file holds only text"}},
    {"LineOfMegabytes", "open long.dxf\n",
     {"1: cannot open long.dxf: line 4 is longer than 1048576 bytes, where a group's value is expected"}},
    {"NulBytesInBinaryDrawing", "open sparse-binary.dxf\n", {"1: cannot open sparse-binary.dxf: a section without its name"}},
    {"GroupOfMegabytesInBinaryDrawing", "open long-binary.dxf\n",
     {"1: cannot open long-binary.dxf: the group at byte 32 is longer than 1048576 bytes"}},
    {"MoreAfterTheDrawing", "open tail.dxf\n",
     {"1: cannot open tail.dxf: there is more after the end of the drawing (its EOF), at byte 50"}},
    // A record that could not be kept for what it is refuses the file, named.
    {"AHandleTwice", "open twice.dxf\n", {"1: cannot open twice.dxf: the CIRCLE 2A has the handle of a record before it"}},
    {"AnEntityAmongTheObjects", "open among.dxf\n", {"1: cannot open among.dxf: the LINE 2A is an entity among the objects"}},
    {"AHeaderNameWithoutItsDollar", "open nameless.dxf\n", {"1: cannot open nameless.dxf: the header holds \"\x05$ACADVER\" where a variable's name, starting with $, is expected"}},
    {"LayersOfANewDrawing", "new a\nline 0 0 1 1\nlayer 2 walls\n",
     {"state:   layer 0 color=7 linetype=Continuous lineweight=-3\n"
      "state:   layer Defpoints color=7 linetype=Continuous lineweight=-3 not-plotted\n"
      "state:   layer walls color=7 linetype=Continuous lineweight=-3\n"},
     {"bad.kvs"}, 0},
    {"HeaderValueTheFileCannotHold", "open layered.dxf\nsetvar INSUNITS inches\nsave layered.dxf out.dxf\n",
     {"3: cannot save layered.dxf to out.dxf: the header variable $INSUNITS cannot be written as \"inches\" (its group 70 "
      "holds a number) and would be lost"}},
    // The file's table gets the layer an entity was put on.
    {"LayerAddedToTheFilesTable", "open layered.dxf\nlayer 2A walls\nsave layered.dxf out.dxf\nopen out.dxf\n",
     {"state:   2A AcDbLine layer=walls color=256 (0,0)-(1,1)\nstate:   layer 0 color=7 linetype=Continuous lineweight=-3 off\n"
      "state:   layer walls color=7 linetype=Continuous lineweight=-3\nstate: drawing out.dxf"},
     {"bad.kvs"}, 0},
    {"CommandWithoutEnd", "new a\ncommand X\n  line 0 0 1 1\n", {"2: 'command' without 'end'"}},
    {"EndWithoutBlock", "end\n", {"1: 'end' without 'command' or 'modeless'"}},
    {"CancelOutsideCommand", "new a\nmodeless M\n  cancel\nend\n", {"3: 'cancel' outside a command"}},
    {"ErrorInNestedCommand", "load TraceClient.arx\nnew a\ncommand X\n  command Y\n    bogus\n  end\nend\n",
     {"5: unknown statement 'bogus'", "trace: commandFailed Y\ntrace: commandFailed X"}},
    {"CloseTheBusyDrawing", "new a\ncommand X\n  close a\nend\n", {"3: cannot close a while a command"}},
    {"UnlockWithoutLock", "new a\nunlock a\n", {"2: the script holds no lock on a"}},
    // The guard vetoes every lock while PUBLISH runs: the script holds none.
    {"UnlockAfterAVetoedLock", "load DocumentGuard.arx\nnew a\ncommand PUBLISH\n  lock a\n  unlock a\nend\n",
     {"5: the script holds no lock on a"}},
    {"SaveWhereNothingCanBeWritten", "new a\nsave a /nonexistent/x.dwg\n", {"2: cannot save a to /nonexistent/x.dwg"}},
    {"SaveOverADirectory", "new a\nsave a folder.dwg\n", {"2: cannot save a to folder.dwg: it is a directory"}},
    {"SaveOverAPipe", "new a\nsave a fifo.dxf\n", {"2: cannot save a to fifo.dxf: it is a pipe or a socket, not a file"}},
    {"ByteOrderMarkIsSkipped", "\xEF\xBB\xBF" "bogus\n", {"1: unknown statement 'bogus'"}},
    {"NulByte", std::string("new a\nline 0 0 1 1\0\n", 20), {"2: a NUL byte"}},
    {"UnknownSystemVariable", "new a\nsetvar NOSUCHVAR 1\n", {"2: unknown system variable NOSUCHVAR"}},
    {"UnknownCommandLine", "new a\nexec FROBNICATE\n", {"2: unknown command FROBNICATE"}},
    {"RollbackOutsideCommand", "new a\nrollback\n", {"2: 'rollback' outside a command"}},
    {"UnloadALockedModule", "load FaultingClient.arx\nunload FaultingClient.arx\n",
     {"2: module FaultingClient.arx is locked and cannot be unloaded"}},
    {"UnloadTheHubAClientNeeds", "load TraceClient.arx\nunload KOVANotification10.arx\nnew a\ncommand X\nend\n",
     {"2: module KOVANotification10.arx is needed by TraceClient.arx and cannot be unloaded"}},
    {"BlocksNestedTooDeep", "new a\n" + nestedBlocks(101, ""), {"102: commands and modeless blocks nest at most 100 deep"}},
    {"ErrorAsJson", "new a\nline 0 0 1 1\ncolor 99 1\n",
     {"3: no entity with handle 99", "in drawing a\",\"at\":\"bad.kvs:3\",\"drawing\":\"a\",\"handle\":\"99\"}",
      "\"event\":\"> color 99 1\",\"at\":\"bad.kvs:3\",\"drawing\":\"a\",\"handle\":\"99\"}",
      "\"event\":\"added AcDbLine 2 to a\",\"at\":\"bad.kvs:2\",\"drawing\":\"a\",\"handle\":\"2\"}"},
     {"bad.kvs", "--json"}},
    {"ErrorOnTheTimeline", "new a\ncommand X\n  bogus\nend\n", {"3: unknown statement 'bogus'"},
     {"bad.kvs", "--trace-events", "timeline.json"}},
    {"NotUtf8AsJson", "new plan\ntext 0 0 caf\xe9\n", {"2: bytes that are not UTF-8"}, {"bad.kvs", "--json"}},
    {"OverlongUtf8", "new a\necho \xc0\xaf\n", {"2: bytes that are not UTF-8"}},
    {"WordsAfterEnd", "new a\ncommand X\nend X\n", {"3: expected: end"}},
    {"ExecThatFails", "new a\nexec _UNDO -1\n", {"2: the command failed: _UNDO -1"}},
    {"EraseTheDictionary", "new a\nerase 1\n", {"2: cannot erase 1: it is a AcDbDictionary, not an entity"}},
    {"UneraseTheDictionary", "new a\nunerase 1\n", {"2: cannot unerase 1: it is a AcDbDictionary"}},
    {"QuoteLeftOpen", "new \"a b\n", {"1: a quote is not closed"}},
    {"NamesWithBlanksAndHashes", "new \"my plan\"\nsave \"my plan\" \"a #1.dxf\"\nopen \"a #1.dxf\"  # opened\n",
     {"saved my plan to a #1.dxf", "state: drawing a #1.dxf"}, {"bad.kvs"}, 0},
    {"NameBeyondAscii", "new a\nsave a Grüße.dxf\nopen Grüße.dxf\n", {"state: drawing Grüße.dxf"}, {"bad.kvs"}, 0},
    {"ScriptAndTimelineBeyondAscii", "new a\n", {"state: drawing a"}, {"Plän.kvs", "--trace-events", "Spür.json"}, 0},
    {"ModuleBesideTheScript", "load Beside.arx\n", {"linker: Beside.arx kInitAppMsg"}, {"sub/bad.kvs"}, 0},
    {"ModuleNowhere", "load Missing.arx\n",
     {"1: module file Missing.arx not found (looked in the current folder, in . beside the script, and in "}},
    {"TempdirNamedAndKept", "tempdir keep\nnew a\nsave a kept.dwg\n", {"files go to the temporary folder ", ", kept after"},
     {"bad.kvs"}, 0},
    {"SetenvNameWithEquals", "setenv A=B 1\n", {"1: a variable's name holds no '='"}},
    {"ZeroRadius", "new a\ncircle 0 0 0\n", {"2: a circle needs a positive radius"}},
    {"RadiusAboveIntMax", "load RuleChecker.arx\nnew a\ncommand DRAW\n  circle 0 0 1e12\nend\n",
     {"rules: AcDbCircle 4 has radius 1e+12, above 100"}, {"bad.kvs"}, 0},
    // A failed session leaves the drawing it opened as it was (checked for every case).
    {"FailedSave", "open whole.dwg\ncolor 2 5\nsave whole.dwg /nonexistent/a.dwg\n",
     {"3: cannot save whole.dwg to /nonexistent/a.dwg"}},
    {"SavedDrawingComesBack", "open whole.dwg\n",
     {"state: drawing whole.dwg: not locked, 2 entities", "state:   2 AcDbLine layer=walls color=256 (0,0)-(4,0)\n"
      "state:   3 AcDbCircle layer=0 color=256 center (1,2) radius 3"},
     {"bad.kvs"}, 0},
    {"BareModuleNameFromTheCurrentDirectory", "load Mine.arx\nunload Mine.arx\n", {"linker: Mine.arx kInitAppMsg"},
     {"bad.kvs"}, 0},
    // A client's failure names the client and the 'end' its commandEnded ran at, and fails the session.
    {"ThrowInAClient", "load FaultingClient.arx\nnew a\ncommand THROW\n  line 0 0 1 1\nend\n",
     {"5: client failed: Faulting of FaultingClient.arx in commandEnded: client bug (1 client call failed)",
      "client failed: Faulting of FaultingClient.arx in commandEnded: client bug at bad.kvs:5 (caught by the hub's "
      "guard in KOVAEditorReactorDispathcer::commandEnded)"}},
    {"ThrowInAClientAsJson", "load FaultingClient.arx\nnew a\ncommand THROW\nend\n",
     {"4: client failed:", "\"kind\":\"client\",\"event\":\"client failed: Faulting of FaultingClient.arx in "
      "commandEnded: client bug at bad.kvs:4 (caught by the hub's guard in KOVAEditorReactorDispathcer::commandEnded)"
      "\",\"at\":\"bad.kvs:4\",\"drawing\":\"a\",\"module\":\"FaultingClient.arx\",\"class\":\"Faulting\",\"notification\":\"commandEnded\"}"},
     {"bad.kvs", "--json"}},
    {"ThrowInAClientAllowed", "load FaultingClient.arx\nnew a\ncommand THROW\nend\n", {"client failed: Faulting"},
     {"--allow-client-failures", "bad.kvs"}, 0},
    // A fault ends the session, yet what was played is out, the place and the client are named.
    {"FaultInAClient", "load FaultingClient.arx\nnew a\ntempdir\necho before\ncommand FAULT\nend\n",
     {"\"event\":\"before\",\"at\":\"bad.kvs:4\",\"drawing\":\"a\"}\n{\"seq\":",
      ",\"kind\":\"statement\",\"event\":\"> command FAULT\"",
      std::string("KOVA crash: ") + programs::kMemoryFault + " in KOVAEditorReactorDispathcer::commandEnded",
      std::string("kovahost: bad.kvs:6: the session faulted in Faulting of FaultingClient.arx in commandEnded (") +
          programs::kMemoryFault + ")",
      "\"kind\":\"error\",\"event\":\"bad.kvs:6: the session faulted in Faulting of FaultingClient.arx in commandEnded "
      "(" + std::string(programs::kMemoryFault) + ")\",\"at\":\"bad.kvs:6\",\"drawing\":\"a\",\"module\":\"FaultingClient.arx\",\"class\":\"Faulting\"",
      "is left behind, with the files the session wrote"},
     {"bad.kvs", "--json", "--trace-events", "timeline.json"}, programs::kMemoryFaultStatus},
    // The usage follows, each statement with its help or listed with the next.
    {"UnknownOption", "", {"kovahost: unexpected argument '--frobnicate'", "save a drawing", "work done outside any command",
      "layer HANDLE NAME | radius HANDLE R", "lock NAME | unlock NAME"}, {"bad.kvs", "--frobnicate"}, 2},
    {"Help", "", {"  load FILE | unload FILE          load or unload a module (.arx)\n  new NAME",
      "| text X Y WORDS...   add to the current drawing\n  color HANDLE N"}, {"--help", "bad.kvs"}, 0},
    {"TraceEventsWithoutFile", "", {"kovahost: --trace-events needs a file name"}, {"bad.kvs", "--trace-events"}, 2},
    {"MissingScript", "", {"kovahost: cannot read none.kvs: no such file"}, {"none.kvs"}, 2},
    {"DirectoryAsScript", "", {"kovahost: cannot read folder.dwg: it is a directory"}, {"folder.dwg"}, 2},
    {"FifoAsScript", "", {"kovahost: cannot read fifo.kvs: not a regular file (a pipe or a device)"}, {"fifo.kvs"}, 2},
    {"DeviceAsScript", "", {std::string("kovahost: cannot read ") + programs::kNullDevice + ": not a regular file"},
     {programs::kNullDevice}, 2},
};

void PrintTo(const ScriptCase& c, std::ostream* os) { *os << c.name; }

class Script : public testing::TestWithParam<ScriptCase> {};

bool holds(const std::vector<std::string>& words, const std::string& word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

TEST_P(Script, EndsWithItsStatusAndSaysWhatItMust) {
  const ScriptCase& c = GetParam();
  const std::string dir = scratchDir();
  if (!programs::makeFifo(dir + "/fifo.kvs") && holds(c.arguments, "fifo.kvs"))
    GTEST_SKIP() << "no named pipes among the files on this system";
  const std::string client = std::filesystem::path(absolute(KOVAHOST_PROGRAM)).replace_filename("MinimalClient.arx").string();
  std::ofstream(dir + "/fake.arx") << "not a module\n";
  std::ofstream(dir + "/junk.dwg") << "not a drawing\n";
  std::filesystem::create_directory(dir + "/folder.dwg");
  std::filesystem::create_directory(dir + "/sub");
  const bool pipes = programs::makeFifo(dir + "/fifo.dxf");
  if (!pipes && c.script.find("fifo.dxf") != std::string::npos) GTEST_SKIP() << "no named pipes among the files on this system";
  std::ofstream(dir + "/sparse.dxf", std::ios::binary) << "  0\nSECTION\n";
  std::filesystem::resize_file(dir + "/sparse.dxf", 1ull << 32);
  std::ofstream(dir + "/long.dxf", std::ios::binary) << "  0\nSECTION\n  2\n" << std::string(3 << 20, 'x') << "\n";
  const std::string binary("AutoCAD Binary DXF\r\n\x1a\0\0\0SECTION\0", 32);
  std::ofstream(dir + "/sparse-binary.dxf", std::ios::binary) << binary;
  std::filesystem::resize_file(dir + "/sparse-binary.dxf", 1ull << 32);
  std::ofstream(dir + "/long-binary.dxf", std::ios::binary) << binary << std::string("\2\0", 2) << std::string(3 << 20, 'x');
  std::ofstream(dir + "/tail.dxf", std::ios::binary) << "  0\nSECTION\n  2\nENTITIES\n  0\nENDSEC\n  0\nEOF\n\r\n  \x1a\nmore\n";
  const std::string line = "  0\nLINE\n  5\n2A\n100\nAcDbEntity\n  8\n0\n100\nAcDbLine\n 10\n0\n 20\n0\n 11\n1\n 21\n1\n";
  std::ofstream(dir + "/twice.dxf", std::ios::binary)
      << "  0\nSECTION\n  2\nENTITIES\n" << line << "  0\nCIRCLE\n  5\n2A\n100\nAcDbEntity\n  8\n0\n100\nAcDbCircle\n"
      << " 40\n1\n  0\nENDSEC\n  0\nEOF\n";
  std::ofstream(dir + "/among.dxf", std::ios::binary)
      << "  0\nSECTION\n  2\nOBJECTS\n  0\nDICTIONARY\n  5\nC\n100\nAcDbDictionary\n" << line << "  0\nENDSEC\n  0\nEOF\n";
  std::ofstream(dir + "/nameless.dxf", std::ios::binary) << "  0\nSECTION\n  2\nHEADER\n  9\n\x05$ACADVER\n  1\nAC1024\n  0\nENDSEC\n  0\nEOF\n";
  std::ofstream(dir + "/layered.dxf", std::ios::binary)
      << "  0\nSECTION\n  2\nHEADER\n  9\n$ACADVER\n  1\nAC1015\n  9\n$INSUNITS\n 70\n4\n  0\nENDSEC\n  0\nSECTION\n  2\nTABLES\n  0\nTABLE\n  2\nLAYER\n"
      << "  5\n2\n100\nAcDbSymbolTable\n 70\n1\n  0\nLAYER\n  5\n10\n330\n2\n100\nAcDbSymbolTableRecord\n"
      << "100\nAcDbLayerTableRecord\n  2\n0\n 70\n0\n 62\n-7\n  6\nContinuous\n  0\nENDTAB\n  0\nENDSEC\n"
      << "  0\nSECTION\n  2\nENTITIES\n" << line << "  0\nENDSEC\n  0\nEOF\n";
  std::ofstream(dir + "/Mine.arx", std::ios::binary) << readFile(client);
  std::ofstream(dir + "/sub/Beside.arx", std::ios::binary) << readFile(client);
  std::ofstream(dir + "/cut.arx", std::ios::binary) << readFile(client).substr(0, 3000);
  std::ofstream(dir + "/whole.kvs") << "new a\ncommand DRAW\n  line 0 0 4 0\n  circle 1 2 3\nend\nlayer 2 walls\nsave a whole.dwg\n";
  Session saved = kovahost({"whole.kvs"}, dir);
  ASSERT_EQ(saved.status, 0) << saved.err;
  const std::string whole = readFile(dir + "/whole.dwg");
  std::ofstream(dir + "/cut.dwg", std::ios::binary) << whole.substr(0, whole.size() / 2);

  std::ofstream(dir + "/bad.kvs") << c.script;
  std::ofstream(dir + "/sub/bad.kvs") << c.script;
  std::ofstream(std::filesystem::u8path(dir + "/Plän.kvs")) << c.script;
  Session run = kovahost(c.arguments, dir);
  EXPECT_EQ(run.status, c.status) << run.err;
  for (size_t i = 0; i < c.said.size(); ++i) {
    const std::string said = (i == 0 && c.status == 1 ? "kovahost: bad.kvs:" : "") + c.said[i];
    EXPECT_TRUE(run.out.find(said) != std::string::npos || run.err.find(said) != std::string::npos)
        << said << "\n" << run.out << run.err;
  }
  const bool json = holds(c.arguments, "--json");
  EXPECT_EQ(run.out.find("\"kind\":\"error\",\"event\":\"bad.kvs:" + c.said[0]) != std::string::npos, json && c.status == 1);
  EXPECT_EQ(readFile(dir + "/whole.dwg"), whole);
  if (c.status == 1) {
    // Even a failed session ends cleanly.
    ASSERT_FALSE(run.lines.empty());
    EXPECT_NE(run.lines.back().find("linker: KOVANotification10.arx unmapped"), std::string::npos);
  }
  if (!kPythonRuns) return;  // the JSON forms are read on the Linux side
  if (json) {
    EXPECT_EQ(readJson({"lines", "kovahost.out"}, dir).out, "");
  }
  if (std::ifstream(dir + "/timeline.json")) {
    // Well formed, and the error that ended the session is on it.
    const std::string timeline = readJson({"timeline", "timeline.json"}, dir).out;
    EXPECT_EQ(timeline.find("error:"), std::string::npos) << timeline;
    EXPECT_EQ(timeline.find("bad.kvs:" + c.said[0]) != std::string::npos, c.status == 1) << timeline;
    EXPECT_EQ(timeline.find("faulted in Faulting of FaultingClient.arx") != std::string::npos,
              c.status == programs::kMemoryFaultStatus);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Script, testing::ValuesIn(kScripts),
                         [](const testing::TestParamInfo<ScriptCase>& info) { return info.param.name; });

// Matching a block's 'end' again at every level made deep scripts slow:
// a hundred levels deep, lines cost about what they cost at the top.
TEST(Nesting, EveryLevelCostsTheSame) {
  std::string filler;
  for (int i = 0; i < 50000; ++i) filler += "# a comment\n";
  const std::string dir = scratchDir();
  auto seconds = [&](int depth) {
    std::ofstream(dir + "/deep.kvs") << "new a\n" + nestedBlocks(depth, filler);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kovahost({"deep.kvs"}, dir).status, 0);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  const double flat = seconds(1), deep = seconds(100);
  EXPECT_LT(deep, 2 * flat + 0.2) << "flat " << flat << " s";
}

// ---- The JSON forms ----

TEST(JsonOutputs, TellTheSameSessionAsTextWithProperlyNestedSlices) {
  const std::string dir = scratchDir();
  ASSERT_EQ(kovahost({example("trace-client.kvs")}, dir, "text").status, 0);
  Session json = kovahost({example("trace-client.kvs"), "--json", "--trace-events", "timeline.json"}, dir, "json");
  ASSERT_EQ(json.status, 0) << json.err;
  ASSERT_EQ(kovahost({example("property-panel.kvs"), "--trace-events", "panel.json"}, dir).status, 0);
  if (!kPythonRuns) GTEST_SKIP() << kNoPython;
  Session lines = readJson({"lines", "json.out", "text.out"}, dir);
  EXPECT_EQ(lines.status, 0) << lines.err;
  EXPECT_EQ(lines.out, "");
  Session timeline = readJson({"timeline", "timeline.json"}, dir);
  EXPECT_EQ(timeline.status, 0) << timeline.err;
  EXPECT_EQ(timeline.out.find("error"), std::string::npos) << timeline.out;
  // A client's call inside the fan-out of a command's start, and a transparent command inside its command.
  const std::vector<std::string> paths = splitLines(timeline.out);
  for (const std::regex& slice : {std::regex(R"(command DRAW/.*/commandWillStart/TraceEditorClient \(TraceClient\.arx\))"), std::regex("command DRAW/command 'ZOOM")})
    EXPECT_TRUE(std::any_of(paths.begin(), paths.end(), [&](const std::string& p) { return std::regex_match(p, slice); }));

  // What the hub does around a fan-out (the redraws that end a pickfirst
  // handling, the filter flag it raises and clears) lies inside the slice of
  // the notification that made it do so.
  int redraws = 0, flags = 0;
  for (const std::string& path : splitLines(readJson({"timeline", "panel.json"}, dir).out)) {
    const std::string name = path.substr(path.rfind('/') + 1);
    const bool redraw = name.rfind("redraw ", 0) == 0, flag = name == "filter flag";
    redraws += redraw, flags += flag;
    EXPECT_TRUE(!(redraw || flag) || path.find("pickfirstModified/" + name) != std::string::npos) << path;
  }
  EXPECT_GT(redraws, 0);
  EXPECT_GT(flags, 0);
}

}  // namespace
