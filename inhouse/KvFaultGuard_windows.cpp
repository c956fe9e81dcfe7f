// The crash guard on Windows: a vectored exception handler that takes the
// hardware faults raised inside a guarded call and passes every other
// exception on, with a stack guaranteed for the report of a stack overflow.
#include <windows.h>
#include "KvFaultGuard.h"

namespace {

using KvTrace::g_log;

// The handler while it is installed. Plain data, read in the handler.
PVOID g_handler = nullptr;

// What a wild access, a division by zero or a broken instruction raises;
// software exceptions (C++ throws, debugger breaks) are not the guard's.
bool isHardwareFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
      return true;
    default:
      return false;
  }
}

// Hands the fault to the process's own last word on faults, its
// unhandled-exception filter (the host's report), as the system would if
// nothing caught it.
void handOn(EXCEPTION_POINTERS* exception) {
  const LPTOP_LEVEL_EXCEPTION_FILTER filter = SetUnhandledExceptionFilter(nullptr);
  SetUnhandledExceptionFilter(filter);
  if (filter) filter(exception);
}

// A hardware fault inside a guarded function is reported with the guard's
// place, handed on, and then ends the process with the fault's code: after
// a wild access nothing in it can be trusted any more.
LONG CALLBACK onException(EXCEPTION_POINTERS* exception) {
  const KvGuardFrame* frame = g_log.innermost;
  const DWORD code = exception->ExceptionRecord->ExceptionCode;
  if (frame == nullptr || !isHardwareFault(code)) return EXCEPTION_CONTINUE_SEARCH;
  KvFaultGuard::reportGuardedFault("exception", code, *frame);
  handOn(exception);
  TerminateProcess(GetCurrentProcess(), code);
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void KvFaultGuard::writeDiagnostic(const char* bytes, size_t count) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes, static_cast<DWORD>(count), &written, nullptr);
}

namespace KvTrace {

void installFaultHandlers() {
  if (g_log.faultHandlersInstalled) return;
  g_log.faultHandlersInstalled = true;
  // A stack overflow leaves the handler only what is guaranteed beyond the guard page.
  ULONG guarantee = 64 * 1024;
  SetThreadStackGuarantee(&guarantee);
  g_handler = AddVectoredExceptionHandler(1, onException);
}

void removeFaultHandlers() {
  if (!g_log.faultHandlersInstalled) return;
  g_log.faultHandlersInstalled = false;
  if (g_handler) RemoveVectoredExceptionHandler(g_handler);
  g_handler = nullptr;
}

}  // namespace KvTrace
