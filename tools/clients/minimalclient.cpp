// The smallest complete client module: it follows the pickfirst selection
// and refuses any command that erases an entity, by asking the hub to roll
// the drawing back when the command ends.
#include <KOVANotification.h>
#include <kvhost.h>  // writeJournal: how a module prints in the host stand-in
#include <winshim.h>
#include <cwchar>
#include <memory>
#include <string>

namespace {

void say(const std::wstring& what) { kvhost::writeJournal(L"minimal: " + what); }

// Database notifications: the base registers at priority -1.
class Erasures : public KOVADatabaseReactorBase {
 public:
  void objectErased(const AcDbDatabase*, const AcDbObject* obj, Adesk::Boolean erased) override {
    if (erased && AcDbEntity::cast(obj)) m_bSeen = true;
  }
  bool m_bSeen = false;
};

// Editor notifications, and the hub's pickfirst service.
class Editor : public KOVAEditorReactorBase {
 public:
  explicit Editor(Erasures& erasures) : m_erasures(erasures) {
    // Registering again moves the client: served after the clients at -1.
    g_ReactorManager.addEdReactor(this, 10);
  }
  using KOVAEditorReactorBase::pickfirstModified;
  void pickfirstModified(ads_name, const AcArray<AcDbObjectId>& ids, AcRxClass* cls) override {
    say(std::to_wstring(ids.length()) + L" selected, class " + (cls ? cls->name() : L"(none)"));
    for (const AcDbObjectId& id : ids) redrawEntity(id);  // redrawn once, when the handling ends
  }
  void commandWillStart(const ACHAR*) override { m_erasures.m_bSeen = false; }
  void commandEnded(const ACHAR* cmd) override {
    // The roll-back's own undo commands put entities back; they are let be.
    if (wcscmp(cmd, L"UNDO") == 0 || wcscmp(cmd, L"U") == 0 || !m_erasures.m_bSeen) return;
    say(std::wstring(cmd) + L" erased an entity, rolling it back");
    g_ReactorManager.setPostUndoOnCommandFinish(true);
  }

 private:
  Erasures& m_erasures;
};

std::unique_ptr<Erasures> s_erasures;
std::unique_ptr<Editor> s_editor;

}  // namespace

extern "C" ACRX_MODULE_EXPORT AcRx::AppRetCode acrxEntryPoint(AcRx::AppMsgCode msg, void* appId) {
  if (msg == AcRx::kInitAppMsg) {
    AcRxDynamicLinker::cast(acrxSysRegistry()->at(ACRX_DYNAMIC_LINKER))->unlockApplication(appId);
    s_erasures = std::make_unique<Erasures>();
    s_editor = std::make_unique<Editor>(*s_erasures);
  } else if (msg == AcRx::kUnloadAppMsg) {
    // Each base removes itself from the manager as it is destroyed.
    s_editor.reset();
    s_erasures.reset();
  }
  return AcRx::kRetOK;
}
