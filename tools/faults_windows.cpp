// What ends kovahost on a fault, on Windows.
#include <windows.h>
#include "faults.h"

namespace {

FaultReport g_report = nullptr;

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* exception) {
  g_report("exception", exception->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;  // the process ends with the exception's code
}

}  // namespace

void onProcessFault(FaultReport report) {
  g_report = report;
  // Room for the report of a stack overflow.
  ULONG guarantee = 64 * 1024;
  SetThreadStackGuarantee(&guarantee);
  // No dialog box and no debugger: the report is the fault's end.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(onUnhandledException);
}

void writeError(const char* bytes, size_t count) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes, static_cast<DWORD>(count), &written, nullptr);
}
