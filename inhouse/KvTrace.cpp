// The function-entry log and the crash reports (KvFaultGuard_*.cpp hold
// the fault handlers).
#include "KvTrace.h"
#include <algorithm>
#include <exception>
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
  g_pSliceBegin = begin;
  g_pSliceEnd = end;
}

const HubListener* g_pHubListener = nullptr;
void setHubListener(const HubListener* listener) { g_pHubListener = listener; }
void hubRunning(const HubServices* services) {
  if (g_pHubListener) g_pHubListener->running(services);
}
void filterFlagChanged(bool on) {
  if (g_pHubListener) g_pHubListener->filterFlagChanged(on);
}
}  // namespace KvTrace
