// A client module: any command that makes an entity red (color 1) is rolled
// back when it ends.
#include <KOVANotification.h>
#include <kvhost.h>
#include <memory>
#include <string>

namespace {

class RedWatch : public KOVADatabaseReactorBase {
 public:
  void objectModified(const AcDbDatabase*, const AcDbObject* obj) override {
    const AcDbEntity* entity = AcDbEntity::cast(obj);
    if (entity && entity->colorIndex() == 1) m_bRed = true;
  }
  void objectAppended(const AcDbDatabase* db, const AcDbObject* obj) override { objectModified(db, obj); }
  bool m_bRed = false;
};

class CommandWatch : public KOVAEditorReactorBase {
 public:
  explicit CommandWatch(RedWatch& red) : m_red(red) {}
  void commandWillStart(const ACHAR*) override { m_red.m_bRed = false; }
  void commandEnded(const ACHAR* cmd) override {
    if (!m_red.m_bRed) return;
    m_red.m_bRed = false;
    kvhost::writeJournal(L"nored: " + std::wstring(cmd) + L" made an entity red, rolling it back");
    g_ReactorManager.setPostUndoOnCommandFinish(true);
  }

 private:
  RedWatch& m_red;
};

std::unique_ptr<RedWatch> s_red;
std::unique_ptr<CommandWatch> s_commands;

}  // namespace

extern "C" ACRX_MODULE_EXPORT AcRx::AppRetCode acrxEntryPoint(AcRx::AppMsgCode msg, void* appId) {
  if (msg == AcRx::kInitAppMsg) {
    AcRxDynamicLinker::cast(acrxSysRegistry()->at(ACRX_DYNAMIC_LINKER))->unlockApplication(appId);
    s_red = std::make_unique<RedWatch>();
    s_commands = std::make_unique<CommandWatch>(*s_red);
  } else if (msg == AcRx::kUnloadAppMsg) {
    s_commands.reset();
    s_red.reset();
  }
  return AcRx::kRetOK;
}
