// An example client module: records in the host's journal what it hears
// from the hub, at priority 5 for databases (a plain host reactor handed to
// the manager) and at the bases' -1 otherwise.
#include <KOVANotification.h>
#include <kvhost.h>
#include <winshim.h>
#include <memory>
#include <string>

namespace {

void say(const std::wstring& what) { kvhost::writeJournal(L"trace: " + what); }

std::wstring hex(AcDbHandle handle) {
  wchar_t text[32];
  swprintf(text, 32, L"%llX", static_cast<unsigned long long>(handle));
  return text;
}

std::wstring describe(const AcDbObject* obj) {
  return std::wstring(obj->isA()->name()) + L" " + hex(obj->objectId().handle());
}

class TraceDatabaseClient : public AcDbDatabaseReactor {
 public:
  void objectAppended(const AcDbDatabase*, const AcDbObject* obj) override { say(L"objectAppended " + describe(obj)); }
  void objectModified(const AcDbDatabase*, const AcDbObject* obj) override { say(L"objectModified " + describe(obj)); }
  void objectErased(const AcDbDatabase*, const AcDbObject* obj, Adesk::Boolean erased) override {
    say(std::wstring(erased ? L"objectErased " : L"objectUnErased ") + describe(obj));
  }
  void objectUnAppended(const AcDbDatabase*, const AcDbObject* obj) override { say(L"objectUnAppended " + describe(obj)); }
  void objectReAppended(const AcDbDatabase*, const AcDbObject* obj) override { say(L"objectReAppended " + describe(obj)); }
  void goodbye(const AcDbDatabase*) override { say(L"goodbye"); }
};

class TraceDocClient : public KOVADocReactorBase {
 public:
  void documentCreated(AcApDocument* doc) override { say(std::wstring(L"documentCreated ") + doc->fileName()); }
  void documentToBeDestroyed(AcApDocument* doc) override { say(std::wstring(L"documentToBeDestroyed ") + doc->fileName()); }
  void documentActivated(AcApDocument* doc) override { say(std::wstring(L"documentActivated ") + doc->fileName()); }
  void documentCreateCanceled(AcApDocument* doc) override {
    say(std::wstring(L"documentCreateCanceled ") + doc->fileName());
  }
  void documentLockModeChangeVetoed(AcApDocument* doc, const ACHAR*) override {
    say(std::wstring(L"documentLockModeChangeVetoed ") + doc->fileName());
  }
};

class TraceEditorClient : public KOVAEditorReactorBase {
 public:
  void commandWillStart(const ACHAR* cmd) override { say(std::wstring(L"commandWillStart ") + cmd); }
  void commandEnded(const ACHAR* cmd) override { say(std::wstring(L"commandEnded ") + cmd); }
  void commandCancelled(const ACHAR* cmd) override { say(std::wstring(L"commandCancelled ") + cmd); }
  void commandFailed(const ACHAR* cmd) override { say(std::wstring(L"commandFailed ") + cmd); }
  void modelessOperationWillStart(const ACHAR* c) override { say(std::wstring(L"modelessOperationWillStart ") + c); }
  void modelessOperationEnded(const ACHAR* c) override { say(std::wstring(L"modelessOperationEnded ") + c); }
  void sysVarChanged(const ACHAR* name, Adesk::Boolean) override { say(std::wstring(L"sysVarChanged ") + name); }
  void unknownCommand(const ACHAR* cmd, AcDbVoidPtrArray*) override { say(std::wstring(L"unknownCommand ") + cmd); }
  void beginSave(AcDbDatabase*, const ACHAR* name) override { say(std::wstring(L"beginSave ") + name); }
  void saveComplete(AcDbDatabase*, const ACHAR* name) override { say(std::wstring(L"saveComplete ") + name); }
  void abortSave(AcDbDatabase*) override { say(L"abortSave"); }
  void beginDwgOpen(ACHAR* name) override { say(std::wstring(L"beginDwgOpen ") + name); }
  void endDwgOpen(const ACHAR* name, AcDbDatabase*) override { say(std::wstring(L"endDwgOpen ") + name); }
  using KOVAEditorReactorBase::pickfirstModified;
  void pickfirstModified(ads_name, const AcArray<AcDbObjectId>& ids, AcRxClass* cls) override {
    say(L"pickfirstModified " + std::to_wstring(ids.length()) + L" " + (cls ? cls->name() : L"(none)"));
  }
};

std::unique_ptr<TraceDatabaseClient> s_db;
std::unique_ptr<TraceDocClient> s_doc;
std::unique_ptr<TraceEditorClient> s_editor;

}  // namespace

extern "C" ACRX_MODULE_EXPORT AcRx::AppRetCode acrxEntryPoint(AcRx::AppMsgCode msg, void* appId) {
  if (msg == AcRx::kInitAppMsg) {
    AcRxDynamicLinker::cast(acrxSysRegistry()->at(ACRX_DYNAMIC_LINKER))->unlockApplication(appId);
    s_db = std::make_unique<TraceDatabaseClient>();
    g_ReactorManager.addDbReactor(s_db.get(), 5);
    s_doc = std::make_unique<TraceDocClient>();
    s_editor = std::make_unique<TraceEditorClient>();
  } else if (msg == AcRx::kUnloadAppMsg) {
    g_ReactorManager.removeDbReactor(s_db.get());
    s_db.reset();
    s_doc.reset();
    s_editor.reset();
  }
  return AcRx::kRetOK;
}
