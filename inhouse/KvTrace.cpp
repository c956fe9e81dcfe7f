// The function-entry log, the crash reports and the fault handler.
#include "KvTrace.h"
#include <csignal>
#include <cstring>
#include <exception>
#include <unistd.h>

namespace {

using KvTrace::g_log;

struct TraceState {
  std::vector<KvCrashReport> reports;
  std::function<void(const KvCrashReport&)> listener;
};

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

// A hardware fault inside a guarded function is reported with the guard's
// place, then the process ends with the fault's own signal: after a wild
// access nothing in it can be trusted any more.
void onFault(int sig) {
  writeText("KOVA crash: signal ");
  writeNumber(sig);
  if (KvGuardFrame* frame = g_log.innermost) {
    writeText(" in ");
    writeWide(frame->label);
    writeText(" (");
    writeWide(frame->sourceFile);
    writeText(":");
    writeNumber(frame->line);
    writeText(")");
  }
  writeText("\n");
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

namespace KvTrace {
// Plain data, so it is in place before any static constructor runs.
LogState g_log;

void installFaultHandlers() {
  if (g_log.faultHandlersInstalled) return;
  g_log.faultHandlersInstalled = true;
  for (int sig : {SIGSEGV, SIGFPE, SIGBUS, SIGILL}) {
    struct sigaction action {};
    action.sa_handler = onFault;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_NODEFER | SA_RESETHAND;
    sigaction(sig, &action, nullptr);
  }
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
}  // namespace KvTrace
