// What ends kovahost on a fault, on Linux.
#include <unistd.h>
#include <csignal>
#include "faults.h"

namespace {

const int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
FaultReport g_report = nullptr;

void onFault(int sig) {
  g_report("signal", static_cast<unsigned long>(sig));
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

void onProcessFault(FaultReport report) {
  g_report = report;
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

void writeError(const char* bytes, size_t count) {
  if (write(STDERR_FILENO, bytes, count) < 0) return;  // nothing is left to tell a failed write to
}
