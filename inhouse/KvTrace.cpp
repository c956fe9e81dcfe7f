// The function-entry log, the crash reports and the fault handler.
#include "KvTrace.h"
#include <cxxabi.h>
#include <kvhost.h>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <set>
#include <unistd.h>

namespace {

using KvTrace::g_log;

struct TraceState {
  std::vector<KvCrashReport> reports;
  std::function<void(const KvCrashReport&)> listener;
};

// The log's copies of the labels. Built when this library is loaded, so
// before any module that uses it, and freed after them.
std::set<std::wstring> g_labels;

TraceState& state() {
  // Freed when this library is unmapped, also when the last module that
  // uses it is unloaded before the process ends.
  static TraceState s;
  return s;
}

// Writes ASCII of a wide string without allocating: safe in a signal handler.
void writeWide(const wchar_t* text) {
  char buffer[256];
  size_t n = 0;
  for (; text && *text && n < sizeof buffer; ++text) buffer[n++] = *text < 128 ? static_cast<char>(*text) : '?';
  if (write(STDERR_FILENO, buffer, n) < 0) return;
}

void writeText(const char* text) {
  if (write(STDERR_FILENO, text, std::strlen(text)) < 0) return;
}

void writeNumber(int value) {
  char digits[16];
  int n = 0;
  unsigned v = value < 0 ? 0u : static_cast<unsigned>(value);
  do digits[n++] = static_cast<char>('0' + v % 10); while ((v /= 10) != 0 && n < 15);
  char out[16];
  for (int i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
  if (write(STDERR_FILENO, out, static_cast<size_t>(n)) < 0) return;
}

const int kFaultSignals[] = {SIGSEGV, SIGFPE, SIGBUS, SIGILL};
const size_t kFaultSignalCount = sizeof kFaultSignals / sizeof kFaultSignals[0];

// What the guard changed of the process's fault handling, so that it can
// hand faults on and put everything back: the handlers it found and the
// alternate stack it added, if the process had none. Plain data, read in
// the signal handler.
struct FaultHandling {
  struct sigaction previous[kFaultSignalCount];
  bool ownStack;
  alignas(16) char stack[64 * 1024];
};
FaultHandling g_faults;

size_t faultIndex(int sig) {
  size_t i = 0;
  while (i + 1 < kFaultSignalCount && kFaultSignals[i] != sig) ++i;
  return i;
}

// The fault's default action: the process ends with the fault's own signal
// once the handler returns.
void endWith(int sig) {
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

// Hands the fault to the handler that was there before the guard's.
void chain(int sig, siginfo_t* info, void* context) {
  const struct sigaction& before = g_faults.previous[faultIndex(sig)];
  if (before.sa_flags & SA_SIGINFO)
    before.sa_sigaction(sig, info, context);
  else if (before.sa_handler == SIG_DFL)
    endWith(sig);
  else if (before.sa_handler != SIG_IGN)
    before.sa_handler(sig);
  else if (info->si_code > 0)
    endWith(sig);  // a fault the system raised cannot be ignored
}

void reportGuardedFault(int sig, const KvGuardFrame& frame) {
  writeText("KOVA crash: signal ");
  writeNumber(sig);
  writeText(" in ");
  writeWide(frame.label);
  writeText(" (");
  writeWide(frame.sourceFile);
  writeText(":");
  writeNumber(frame.line);
  writeText(")\n");
}

// A hardware fault inside a guarded function is reported with the guard's
// place, handed on, and then ends the process: after a wild access nothing
// in it can be trusted any more. Any other fault is not the guard's.
void onFault(int sig, siginfo_t* info, void* context) {
  const KvGuardFrame* frame = g_log.innermost;
  if (frame) reportGuardedFault(sig, *frame);
  chain(sig, info, context);
  if (frame) endWith(sig);
}

bool isOwnStack(const stack_t& stack) { return !(stack.ss_flags & SS_DISABLE) && stack.ss_sp == g_faults.stack; }

// The guard's handlers leave with this library.
struct FaultHandlersRemovedOnUnload {
  ~FaultHandlersRemovedOnUnload() { KvTrace::removeFaultHandlers(); }
} g_removeFaultHandlers;

}  // namespace

namespace KvTrace {
// Plain data, so it is in place before any static constructor runs.
LogState g_log;

void installFaultHandlers() {
  if (g_log.faultHandlersInstalled) return;
  g_log.faultHandlersInstalled = true;
  // A stack overflow can only be reported from another stack.
  stack_t current;
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
    stack_t own{};
    own.ss_sp = g_faults.stack;
    own.ss_size = sizeof g_faults.stack;
    g_faults.ownStack = sigaltstack(&own, nullptr) == 0;
  }
  for (size_t i = 0; i < kFaultSignalCount; ++i) {
    struct sigaction action {};
    action.sa_sigaction = onFault;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigaction(kFaultSignals[i], &action, &g_faults.previous[i]);
  }
}

void removeFaultHandlers() {
  if (!g_log.faultHandlersInstalled) return;
  g_log.faultHandlersInstalled = false;
  for (size_t i = 0; i < kFaultSignalCount; ++i) {
    // A handler installed over the guard's stays: it may hand faults on to
    // the one the guard found, never to the guard's.
    struct sigaction current;
    if (sigaction(kFaultSignals[i], nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) &&
        current.sa_sigaction == onFault)
      sigaction(kFaultSignals[i], &g_faults.previous[i], nullptr);
  }
  stack_t current;
  if (g_faults.ownStack && sigaltstack(nullptr, &current) == 0 && isOwnStack(current)) {
    stack_t none{};
    none.ss_flags = SS_DISABLE;
    sigaltstack(&none, nullptr);
  }
  g_faults.ownStack = false;
}
}  // namespace KvTrace

CKvCrashHandler::CKvCrashHandler(const wchar_t* sourceFile, int line) {
  TraceState& s = state();
  KvCrashReport report{sourceFile ? sourceFile : L"", line, g_log.innermost ? g_log.innermost->label : L"", L""};
  s.reports.push_back(report);
}
CKvCrashHandler::~CKvCrashHandler() {
  TraceState& s = state();
  if (s.listener && !s.reports.empty()) s.listener(s.reports.back());
}

namespace {

// The hub's client calls, followed while a slice listener is set or the
// host asks for them (kvhost::clientCallWatch), so that a failure the
// guard catches names its client. Invariant: open holds the slices begun
// and not ended, innermost last; failed is the client call an exception
// left last, until a guard reports it or another client call begins.
struct ClientCallWatch {
  struct Slice {
    const char* kind;
    const char* name;
    const char* who;
  };
  std::vector<Slice> open;
  Slice failed{};
  KvTrace::SliceBegin listenerBegin = nullptr;
  KvTrace::SliceEnd listenerEnd = nullptr;
  bool hostWatches = false;
};
ClientCallWatch g_watch;

bool isClient(const char* kind) { return kind && std::strcmp(kind, "client") == 0; }

void watchBegin(const char* kind, const char* name, const char* who) {
  if (isClient(kind)) g_watch.failed = {};
  g_watch.open.push_back({kind, name, who});
  if (g_watch.listenerBegin) g_watch.listenerBegin(kind, name, who);
}

void watchEnd() {
  if (!g_watch.open.empty()) {
    const ClientCallWatch::Slice& ended = g_watch.open.back();
    if (isClient(ended.kind) && std::uncaught_exceptions() > 0) g_watch.failed = ended;
    g_watch.open.pop_back();
  }
  if (g_watch.listenerEnd) g_watch.listenerEnd();
}

void updateSliceWatch() {
  const bool on = g_watch.listenerBegin || g_watch.hostWatches;
  KvTrace::g_pSliceBegin = on ? watchBegin : nullptr;
  KvTrace::g_pSliceEnd = on ? watchEnd : nullptr;
  if (!on) g_watch.open.clear();
}

// A program that links the hub hears no start of it: the host's wish holds from the load of this library on.
struct WatchFromTheStart {
  WatchFromTheStart() {
    g_watch.hostWatches = kvhost::clientCallWatch();
    updateSliceWatch();
  }
} g_watchFromTheStart;

std::wstring widened(const std::string& text) { return kvhost::fromUtf8(text); }

// What the guard caught, as a failure of the client it was calling: the
// client the exception left, or else the notification the guard's label names.
kvhost::ClientFailure failureOf(const wchar_t* label, const std::wstring& what) {
  kvhost::ClientFailure failure;
  failure.message = what;
  if (const char* who = g_watch.failed.who) {
    failure.module = kvhost::moduleHolding(who);
    failure.clientClass = widened(KvTrace::clientClassName(who));
    failure.notification = widened(g_watch.failed.name ? g_watch.failed.name : "");
  } else {
    const std::wstring function = label ? label : L"";
    const size_t colons = function.rfind(L"::");
    failure.notification = colons == std::wstring::npos ? function : function.substr(colons + 2);
  }
  g_watch.failed = {};
  return failure;
}

}  // namespace

void kvRecordCaughtException(const wchar_t* sourceFile, int line) {
  std::wstring what = L"unknown exception";
  try {
    throw;
  } catch (const std::exception& e) {
    what.clear();
    for (const char* c = e.what(); *c; ++c) what += static_cast<wchar_t>(static_cast<unsigned char>(*c));
  } catch (...) {
  }
  {
    CKvCrashHandler handler(sourceFile, line);
    state().reports.back().what = what;
    kvhost::recordClientFailure(failureOf(g_log.innermost ? g_log.innermost->label : nullptr, what));
  }
}

namespace KvTrace {
std::vector<std::wstring> recentEntries(size_t count) {
  size_t available = static_cast<size_t>(std::min<long long>(g_log.count, LogState::kCapacity));
  size_t n = std::min(count, available);
  std::vector<std::wstring> out;
  for (long long i = g_log.count - static_cast<long long>(n); i < g_log.count; ++i) {
    const LogRecord& r = g_log.ring[static_cast<unsigned long long>(i) % LogState::kCapacity];
    out.push_back(std::wstring(r.entering ? L"enter " : L"leave ") + r.label);
  }
  return out;
}
long long entryCount() { return g_log.count; }
const wchar_t* internLabel(const wchar_t* label) { return g_labels.insert(label ? label : L"").first->c_str(); }
const std::vector<KvCrashReport>& crashReports() { return state().reports; }
void clearCrashReports() { state().reports.clear(); }
void setCrashListener(std::function<void(const KvCrashReport&)> listener) { state().listener = std::move(listener); }

SliceBegin g_pSliceBegin = nullptr;
SliceEnd g_pSliceEnd = nullptr;
void setSliceListener(SliceBegin begin, SliceEnd end) {
  // Never one without the other: every slice that begins also ends.
  if (begin == nullptr || end == nullptr) begin = nullptr, end = nullptr;
  g_watch.listenerBegin = begin;
  g_watch.listenerEnd = end;
  updateSliceWatch();
}

const std::string& clientClassName(const char* mangled) {
  static std::map<std::string, std::string> known;
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

const HubListener* g_pHubListener = nullptr;
void setHubListener(const HubListener* listener) { g_pHubListener = listener; }
void hubRunning(const HubServices* services) {
  g_watch.hostWatches = services && kvhost::clientCallWatch();
  updateSliceWatch();
  if (g_pHubListener) g_pHubListener->running(services);
}
void filterFlagChanged(bool on) {
  if (g_pHubListener) g_pHubListener->filterFlagChanged(on);
}
}  // namespace KvTrace
