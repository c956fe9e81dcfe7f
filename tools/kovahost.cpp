// kovahost: plays a session script in the host with the hub loaded and
// prints, in order, what the host did, what the hub did and what every
// client heard, then the state of every drawing.
#include <KvTrace.h>
#include <kvhost.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>
#include "environment.h"
#include "faults.h"
#include "hub.h"
#include "json.h"
#include "player.h"
#include "state.h"
#include "statements.h"

namespace {

using kvhost::toUtf8;

const char kIntroduction[] =
    "usage: kovahost [--json] [--trace-events FILE] [--allow-client-failures] SCRIPT\n"
    "\n"
    "Plays SCRIPT in the host stand-in with KOVANotification10.arx loaded and\n"
    "prints, in order, every statement played ('> ...'), every line of the\n"
    "host's journal (modules, reactors, documents, redraws, posted and run\n"
    "commands, undo steps), what the hub did (filter flag changes) and what the\n"
    "client modules heard (lines starting with their own names). At the end it\n"
    "prints the state of every drawing ('state: ...').\n"
    "\n"
    "  --json               one JSON object a line instead of text: seq, kind\n"
    "                       (statement, journal, client, hub, kovahost, state,\n"
    "                       error), event (the text line), at (FILE:LINE of the\n"
    "                       statement), drawing (the current one), handle (of\n"
    "                       the entity the statement names or made), and in a\n"
    "                       client's call module, class and notification\n"
    "  --trace-events FILE  also write the session as a timeline in the Trace\n"
    "                       Event Format (open it in Perfetto or chrome://tracing)\n"
    "  --allow-client-failures\n"
    "                       end with 0 even when a client call failed (for\n"
    "                       sessions that test the hub's guard itself)\n"
    "\n"
    "A script is UTF-8 text (a byte-order mark is skipped, a NUL byte is an\n"
    "error) with one statement a line; '#' starts a comment. A word in double\n"
    "quotes may hold blanks and '#' (e.g. save plan \"my plan #2.dxf\").\n";

const char kClosing[] =
    "Handles are the hexadecimal handles printed when an entity is added.\n"
    "\n"
    "Exit status: 0 when the script ran to its end, 1 when a statement failed\n"
    "(the message names the file and line) or a client call failed (it threw\n"
    "and the hub's guard caught it: 'client failed: ...' names the client's\n"
    "class, its module, the notification and the statement), 2 for a wrong\n"
    "command line. Errors go to the standard error, and with --json also to\n"
    "the output as objects of the kind \"error\". A fault ends kovahost with\n"
    "its signal, after what was played and the timeline are written out, and\n"
    "the statement, the client that faulted and the folders left are named.\n"
    "\n"
    "Example:\n"
    "  load TraceClient.arx\n"
    "  new plan\n"
    "  command DRAW\n"
    "    line 0 0 10 0\n"
    "  end\n"
    "  exec _UNDO 1\n"
    "  state\n";

std::string usage() { return kIntroduction + grammar() + kClosing; }

const wchar_t kHub[] = L"KOVANotification10.arx";

struct CommandLine {
  bool json = false;
  bool allowClientFailures = false;
  std::string script, traceFile;
  // The first thing wrong with it: the message, and whether to show the usage.
  std::optional<std::pair<std::string, bool>> wrong;
  bool help = false;
};

CommandLine readCommandLine(const std::vector<std::string>& argv) {
  const int argc = static_cast<int>(argv.size());
  CommandLine c;
  auto reject = [&](const std::string& message, bool showUsage) {
    if (!c.wrong) c.wrong.emplace(message, showUsage);
  };
  for (int i = 1; i < argc && !c.help; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      c.help = true;
    } else if (arg == "--json") {
      c.json = true;
    } else if (arg == "--allow-client-failures") {
      c.allowClientFailures = true;
    } else if (arg == "--trace-events") {
      if (i + 1 == argc || argv[i + 1].rfind('-', 0) == 0)
        reject("--trace-events needs a file name", false);
      else
        c.traceFile = argv[++i];
    } else if (arg.rfind("--trace-events=", 0) == 0) {
      c.traceFile = arg.substr(15);
      if (c.traceFile.empty()) reject("--trace-events needs a file name", false);
    } else if (arg.empty() || (arg[0] == '-' && arg != "-") || !c.script.empty()) {
      reject("unexpected argument '" + arg + "'", true);
    } else {
      c.script = arg;
    }
  }
  return c;
}

// A wrong command line, said on the standard error and, for --json, as an
// error object on the output.
int usageError(bool json, const std::string& message, bool withUsage) {
  std::fprintf(stderr, "kovahost: %s\n%s%s", message.c_str(), withUsage ? "\n" : "", withUsage ? usage().c_str() : "");
  if (json) std::printf("{\"seq\":0,\"kind\":\"error\",\"event\":%s}\n", jsonString(message).c_str());
  return 2;
}

// A fault ends the session, but not before what was played is out, the
// fault's place is reported and the timeline is closed as a valid document;
// then the process ends with the fault's own signal.
Output* g_pOutput = nullptr;
Timeline* g_pTimeline = nullptr;

// Writes without allocating, as is safe after a fault.
void writeError(const char* text) { ::writeError(text, std::strlen(text)); }

void onFault(const char* kind, unsigned long code) {
  std::fflush(stdout);
  char report[1024];
  const char* at = g_pOutput ? g_pOutput->location() : "";
  const char* client = g_pOutput ? g_pOutput->clientInFlight() : "";
  std::snprintf(report, sizeof report, code > 0xFFFF ? "kovahost: %s%sthe session faulted%s%s (%s 0x%lX)\n"
                                                     : "kovahost: %s%sthe session faulted%s%s (%s %lu)\n",
                at, *at ? ": " : "", *client ? " in " : "", client, kind, code);
  writeError(report);
  const std::string message(report + std::strlen("kovahost: "), std::strlen(report) - std::strlen("kovahost: ") - 1);
  if (g_pOutput) g_pOutput->fault(message);
  if (g_pTimeline) g_pTimeline->fault(report + std::strlen("kovahost: "));
  if (g_pOutput) {
    for (const std::string& dir : g_pOutput->foldersMade()) {
      std::snprintf(report, sizeof report, "kovahost: %s is left behind, with the files the session wrote\n", dir.c_str());
      writeError(report);
    }
  }
  if (g_pTimeline) g_pTimeline->finish();
}

void reportFaults(Output& out, Timeline* timeline) {
  g_pOutput = &out;
  g_pTimeline = timeline;
  onProcessFault(onFault);
}

// Plays the script with the hub loaded; 0, or 1 when a statement failed.
int play(const Script& script, Output& out, bool allowClientFailures) {
  HubClient hub;
  if (script.contains({"rollback"})) hub.want();
  listenToHub(out, hub);
  kvhost::setJournalListener([&](const std::wstring& line) { out.journal(line); });
  // The hub's guard swallows what a client throws, as in the product; here
  // it is shown, with the client that threw it.
  kvhost::clearClientFailures();
  KvTrace::setCrashListener([&](const KvCrashReport& r) {
    const std::vector<kvhost::ClientFailure>& failures = kvhost::clientFailures();
    out.clientFailed(failures.empty() ? kvhost::ClientFailure{L"", L"", L"", r.what} : failures.back(), r.function);
  });
  int status = 0;
  Player player(script, out, hub);
  try {
    if (!kvhost::loadModule(kHub)) throw ScriptError{"cannot load the hub: " + toUtf8(kvhost::lastModuleError())};
    script.checkText();
    player.run();
    printState(out);
  } catch (const ScriptError& e) {
    out.error(e.message);
    std::fflush(stdout);
    std::fprintf(stderr, "kovahost: %s\n", e.message.c_str());
    status = 1;
  }
  if (status == 0 && out.clientFailures() > 0 && !allowClientFailures) {
    const std::string failed = out.firstClientFailure() + " (" + std::to_string(out.clientFailures()) +
                               (out.clientFailures() == 1 ? " client call failed)" : " client calls failed)");
    out.error(failed);
    std::fprintf(stderr, "kovahost: %s\n", failed.c_str());
    status = 1;
  }
  // The session ends as the host's does: drawings closed unsaved, modules
  // unloaded. Saved files are left as they are, outside a temporary folder.
  kvhost::quit();
  player.removeTempDirs();
  stopListening();
  KvTrace::setCrashListener(nullptr);
  kvhost::setJournalListener(nullptr);
  std::fflush(stdout);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine c = readCommandLine(programArguments(argc, argv));
  if (c.help) {
    std::fputs(usage().c_str(), stdout);
    return 0;
  }
  if (c.wrong) return usageError(c.json, c.wrong->first, c.wrong->second);
  if (c.script.empty()) return usageError(c.json, "no script given", true);
  std::string why;
  std::optional<Script> script = Script::read(c.script, opensBlock, why);
  if (!script) return usageError(c.json, "cannot read " + c.script + ": " + why, false);
  // Opened before the script runs: it may move the session into a temporary folder.
  std::optional<Timeline> timeline;
  if (!c.traceFile.empty() && !timeline.emplace(c.traceFile, c.script).isOpen())
    return usageError(c.json, "cannot write " + c.traceFile, false);
  Output out(c.json, timeline ? &*timeline : nullptr);
  // Before the hub is loaded: its crash guard hands on the faults it does not own.
  reportFaults(out, timeline ? &*timeline : nullptr);
  int status = play(*script, out, c.allowClientFailures);
  g_pTimeline = nullptr;
  if (timeline && !timeline->finish()) {
    std::fprintf(stderr, "kovahost: cannot write %s\n", c.traceFile.c_str());
    if (status == 0) status = 2;
  }
  g_pOutput = nullptr;
  return status;
}
