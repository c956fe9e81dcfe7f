// The crash guard on Linux: handlers for the fault signals, run on an
// alternate stack so that a stack overflow is reported too, chained to the
// handlers the process had before.
#include <unistd.h>
#include <csignal>
#include "KvFaultGuard.h"

namespace {

using KvTrace::g_log;

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

// A hardware fault inside a guarded function is reported with the guard's
// place, handed on, and then ends the process: after a wild access nothing
// in it can be trusted any more. Any other fault is not the guard's.
void onFault(int sig, siginfo_t* info, void* context) {
  const KvGuardFrame* frame = g_log.innermost;
  if (frame) KvFaultGuard::reportGuardedFault("signal", static_cast<unsigned long>(sig), *frame);
  chain(sig, info, context);
  if (frame) endWith(sig);
}

bool isOwnStack(const stack_t& stack) { return !(stack.ss_flags & SS_DISABLE) && stack.ss_sp == g_faults.stack; }

}  // namespace

void KvFaultGuard::writeDiagnostic(const char* bytes, size_t count) {
  if (write(STDERR_FILENO, bytes, count) < 0) return;  // nothing is left to tell a failed write to
}

namespace KvTrace {

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
