// A client module with faults: the command THROW throws from its end, and
// the command FAULT faults there as a bad memory access does. It never unlocks itself, so it
// cannot be unloaded before the session ends.
#include <KOVANotification.h>
#include <memoryfault.h>
#include <cwchar>
#include <memory>
#include <stdexcept>

namespace {
struct Faulting : KOVAEditorReactorBase {
  void commandEnded(const ACHAR* cmd) override {
    if (std::wcscmp(cmd, L"THROW") == 0) throw std::runtime_error("client bug");
    if (std::wcscmp(cmd, L"FAULT") == 0) makeMemoryFault();
  }
};
std::unique_ptr<Faulting> s_client;
}  // namespace

extern "C" ACRX_MODULE_EXPORT AcRx::AppRetCode acrxEntryPoint(AcRx::AppMsgCode msg, void*) {
  if (msg == AcRx::kInitAppMsg) s_client = std::make_unique<Faulting>();
  if (msg == AcRx::kUnloadAppMsg) s_client.reset();
  return AcRx::kRetOK;
}
