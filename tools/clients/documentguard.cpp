// An example client module: a document guard. While a long job (the
// command PUBLISH) runs, it vetoes every new lock of a drawing, so that no
// other command and no other work can start in any drawing until the job
// is over. Releasing a lock cannot be vetoed and is let through.
#include <KOVANotification.h>
#include <kvhost.h>
#include <winshim.h>
#include <cwchar>
#include <memory>
#include <string>

namespace {

const wchar_t kJob[] = L"PUBLISH";

void say(const std::wstring& what) { kvhost::writeJournal(L"guard: " + what); }

bool s_bBusy = false;

int strength(AcAp::DocLockMode mode) {
  switch (mode) {
    case AcAp::kRead: return 1;
    case AcAp::kAutoWrite: return 2;
    case AcAp::kProtectedAutoWrite: return 3;
    case AcAp::kWrite: return 4;
    case AcAp::kXWrite: return 5;
    default: return 0;
  }
}

class JobWatcher : public KOVAEditorReactorBase {
 public:
  void commandWillStart(const ACHAR* cmd) override {
    if (wcscmp(cmd, kJob) != 0) return;
    s_bBusy = true;
    say(std::wstring(L"busy with ") + kJob + L", drawings stay as they are");
  }
  void commandEnded(const ACHAR* cmd) override { done(cmd); }
  void commandCancelled(const ACHAR* cmd) override { done(cmd); }
  void commandFailed(const ACHAR* cmd) override { done(cmd); }

 private:
  static void done(const ACHAR* cmd) {
    if (wcscmp(cmd, kJob) != 0 || !s_bBusy) return;
    s_bBusy = false;
    say(std::wstring(kJob) + L" over, locks allowed again");
  }
};

class Guard : public KOVADocReactorBase {
 public:
  void documentLockModeChanged(AcApDocument* doc, AcAp::DocLockMode previous, AcAp::DocLockMode mine,
                               AcAp::DocLockMode, const ACHAR* cmd) override {
    // A change to a weaker mode is a release; only new locks are refused.
    if (!s_bBusy || strength(mine) < strength(previous)) return;
    say(std::wstring(L"vetoing the lock of ") + doc->fileName() + L" for " + (cmd && *cmd ? cmd : L"(no command)"));
    KOVAVeto();
  }
  void documentLockModeChangeVetoed(AcApDocument* doc, const ACHAR*) override {
    say(std::wstring(L"the lock of ") + doc->fileName() + L" was refused");
  }
};

std::unique_ptr<JobWatcher> s_watcher;
std::unique_ptr<Guard> s_guard;

}  // namespace

extern "C" ACRX_MODULE_EXPORT AcRx::AppRetCode acrxEntryPoint(AcRx::AppMsgCode msg, void* appId) {
  if (msg == AcRx::kInitAppMsg) {
    AcRxDynamicLinker::cast(acrxSysRegistry()->at(ACRX_DYNAMIC_LINKER))->unlockApplication(appId);
    s_watcher = std::make_unique<JobWatcher>();
    s_guard = std::make_unique<Guard>();
  } else if (msg == AcRx::kUnloadAppMsg) {
    s_guard.reset();
    s_watcher.reset();
    s_bBusy = false;
  }
  return AcRx::kRetOK;
}
