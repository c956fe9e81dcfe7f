// A client module with a fault: the command FAULT ends the process inside
// the hub's handling of its start. It never unlocks itself, so it cannot be
// unloaded before the session ends.
#include <KOVANotification.h>
#include <csignal>
#include <cwchar>
#include <memory>

namespace {
struct Faulting : KOVAEditorReactorBase {
  void commandWillStart(const ACHAR* cmd) override {
    if (std::wcscmp(cmd, L"FAULT") == 0) std::raise(SIGSEGV);
  }
};
std::unique_ptr<Faulting> s_client;
}  // namespace

extern "C" ACRX_MODULE_EXPORT AcRx::AppRetCode acrxEntryPoint(AcRx::AppMsgCode msg, void*) {
  if (msg == AcRx::kInitAppMsg) s_client = std::make_unique<Faulting>();
  if (msg == AcRx::kUnloadAppMsg) s_client.reset();
  return AcRx::kRetOK;
}
