// An example client module: a rule checker. Whatever a command (or a
// modeless operation) leaves in the drawing must keep two rules: no circle
// with a radius above 100, nothing on the layer "forbidden". When the
// outermost command ends breaking one, the checker asks the hub to roll the
// drawing back to the command's start.
#include <KOVANotification.h>
#include <kvhost.h>
#include <winshim.h>
#include <cwchar>
#include <memory>
#include <string>

namespace {

const double kMaxRadius = 100.0;
const wchar_t kForbiddenLayer[] = L"forbidden";

void say(const std::wstring& what) { kvhost::writeJournal(L"rules: " + what); }

std::wstring hex(AcDbHandle handle) {
  wchar_t text[32];
  swprintf(text, 32, L"%llX", static_cast<unsigned long long>(handle));
  return text;
}

bool isUndo(const ACHAR* cmd) { return wcscmp(cmd, L"UNDO") == 0 || wcscmp(cmd, L"U") == 0; }

// What the running command touched, and how deep its commands are nested.
struct Work {
  int depth = 0;
  int undoing = 0;
  AcDbObjectIdArray touched;
  void touch(const AcDbObject* obj) {
    if (depth == 0 || undoing > 0 || AcDbEntity::cast(obj) == nullptr) return;
    AcDbObjectId id = obj->objectId();
    if (!touched.contains(id)) touched.append(id);
  }
  // A drawing that closes takes its entities along: their ids are not kept.
  void forget(const AcDbDatabase* db) {
    int kept = 0;
    for (int i = 0; i < touched.length(); ++i)
      if (touched[i].database() != db) touched[kept++] = touched[i];
    touched.setLogicalLength(kept);
  }
} s_work;

class Watcher : public KOVADatabaseReactorBase {
 public:
  void objectAppended(const AcDbDatabase*, const AcDbObject* obj) override { s_work.touch(obj); }
  void objectModified(const AcDbDatabase*, const AcDbObject* obj) override { s_work.touch(obj); }
  void objectErased(const AcDbDatabase*, const AcDbObject* obj, Adesk::Boolean erased) override {
    if (!erased) s_work.touch(obj);
  }
};

// The first rule that the entity breaks, or nothing.
// Any radius, however large, as a reader writes it (150, 1e+12).
std::wstring number(double value) {
  wchar_t text[32];
  swprintf(text, 32, L"%g", value);
  return text;
}

std::wstring breach(const AcDbObjectId& id) {
  AcDbEntityPointer ent(id, AcDb::kForRead);
  if (!ent) return L"";  // erased again before the command ended
  std::wstring what = std::wstring(ent->isA()->name()) + L" " + hex(id.handle());
  if (wcscmp(ent->layer(), kForbiddenLayer) == 0) return what + L" is on layer " + kForbiddenLayer;
  if (auto* circle = AcDbCircle::cast(ent.object()))
    if (circle->radius() > kMaxRadius)
      return what + L" has radius " + number(circle->radius()) + L", above " + number(kMaxRadius);
  return L"";
}

class Checker : public KOVAEditorReactorBase {
 public:
  void commandWillStart(const ACHAR* cmd) override { start(isUndo(cmd)); }
  void commandEnded(const ACHAR* cmd) override { finish(cmd, isUndo(cmd)); }
  void commandCancelled(const ACHAR* cmd) override { finish(cmd, isUndo(cmd)); }
  void commandFailed(const ACHAR* cmd) override { finish(cmd, isUndo(cmd)); }
  void modelessOperationWillStart(const ACHAR*) override { start(false); }
  void modelessOperationEnded(const ACHAR* context) override { finish(context, false); }
  void databaseToBeDestroyed(AcDbDatabase* db) override { s_work.forget(db); }

 private:
  static void start(bool undo) {
    // The roll-back's own undo steps restore what was there before: not checked.
    if (undo) {
      ++s_work.undoing;
      return;
    }
    if (s_work.depth++ == 0) s_work.touched.setLogicalLength(0);
  }
  // Only the outermost command counts: a transparent command's work is
  // judged with the command it ran in.
  static void finish(const ACHAR* name, bool undo) {
    if (undo) {
      if (s_work.undoing > 0) --s_work.undoing;
      return;
    }
    if (s_work.depth == 0 || --s_work.depth > 0) return;
    for (const AcDbObjectId& id : s_work.touched) {
      std::wstring why = breach(id);
      if (why.empty()) continue;
      say(why + L": rolling back " + name);
      // Heard before the hub closes the command's mark: the hub posts the
      // undo steps once the command has returned.
      g_ReactorManager.setPostUndoOnCommandFinish(true);
      break;
    }
    s_work.touched.setLogicalLength(0);
  }
};

std::unique_ptr<Watcher> s_watcher;
std::unique_ptr<Checker> s_checker;

}  // namespace

extern "C" ACRX_MODULE_EXPORT AcRx::AppRetCode acrxEntryPoint(AcRx::AppMsgCode msg, void* appId) {
  if (msg == AcRx::kInitAppMsg) {
    AcRxDynamicLinker::cast(acrxSysRegistry()->at(ACRX_DYNAMIC_LINKER))->unlockApplication(appId);
    s_watcher = std::make_unique<Watcher>();
    s_checker = std::make_unique<Checker>();
  } else if (msg == AcRx::kUnloadAppMsg) {
    s_checker.reset();
    s_watcher.reset();
  }
  return AcRx::kRetOK;
}
