// The ways beyond a plain handler that a Linux host may take faults with
// before the hub comes: the crash guard leaves it every fault outside the
// hub's guarded calls to handle as it would without the guard.
#include <unistd.h>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <kvhost.h>

namespace {

volatile std::uintptr_t g_unmapped = 16;  // a write there is a fault the system raises
void ignoreFaults() { std::signal(SIGSEGV, SIG_IGN); }
void takeDetails() {
  struct sigaction action {};
  action.sa_sigaction = [](int sig, siginfo_t* info, void*) { std::_Exit(info->si_signo == sig ? 42 : 3); };
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGSEGV, &action, nullptr);
}

// A handler that takes the fault's details; an ignored signal, which holds
// for a raised fault, while one the system raises still ends the process.
TEST(ModuleLifecycleDeathTest, TheHostsSignalHandlingHoldsForTheFaultsThatAreNotTheHubs) {
  const std::tuple<const char*, void (*)(), bool, std::function<bool(int)>> cases[] = {
      {"with details", takeDetails, true, testing::ExitedWithCode(42)},
      {"ignored, raised", ignoreFaults, true, testing::ExitedWithCode(43)},
      {"ignored, from the system", ignoreFaults, false, testing::KilledBySignal(SIGSEGV)},
  };
  for (const auto& [name, install, raised, ends] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EXIT(
        {
          install();
          if (!kvhost::loadModule(L"KOVANotification10.arx")) std::_Exit(1);
          alarm(10);  // a fault handed back to its instruction would repeat forever
          if (raised)
            std::raise(SIGSEGV);
          else
            *reinterpret_cast<volatile int*>(g_unmapped) = 1;
          std::_Exit(43);
        },
        ends, "");
  }
}

}  // namespace
