// The function-entry log and the crash reports (KvFaultGuard_*.cpp hold
// the fault handlers).
#include "KvTrace.h"
#include "KvTypeName.h"
#include <kvhost.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <set>

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

// The guard's handlers leave with this library.
struct FaultHandlersRemovedOnUnload {
  ~FaultHandlersRemovedOnUnload() { KvTrace::removeFaultHandlers(); }
} g_removeFaultHandlers;

}  // namespace

namespace KvTrace {
// Plain data, so it is in place before any static constructor runs.
LogState g_log;
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
  return known[mangled] = KvTypeName::readable(mangled);
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
