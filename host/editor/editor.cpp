// The editor and its reactors, selection sets and the pickfirst selection,
// and redraws.
#include <map>
#include "common/hostimpl.h"

// ---- Event and editor reactors: every notification does nothing by default ----

AcRxEventReactor::~AcRxEventReactor() = default;
void AcRxEventReactor::dwgFileOpened(AcDbDatabase*, ACHAR*) {}
void AcRxEventReactor::initialDwgFileOpenComplete(AcDbDatabase*) {}
void AcRxEventReactor::databaseConstructed(AcDbDatabase*) {}
void AcRxEventReactor::databaseToBeDestroyed(AcDbDatabase*) {}
void AcRxEventReactor::beginSave(AcDbDatabase*, const ACHAR*) {}
void AcRxEventReactor::saveComplete(AcDbDatabase*, const ACHAR*) {}
void AcRxEventReactor::abortSave(AcDbDatabase*) {}
void AcRxEventReactor::beginDxfIn(AcDbDatabase*) {}
void AcRxEventReactor::abortDxfIn(AcDbDatabase*) {}
void AcRxEventReactor::dxfInComplete(AcDbDatabase*) {}
void AcRxEventReactor::beginDxfOut(AcDbDatabase*) {}
void AcRxEventReactor::abortDxfOut(AcDbDatabase*) {}
void AcRxEventReactor::dxfOutComplete(AcDbDatabase*) {}
void AcRxEventReactor::beginInsert(AcDbDatabase*, const ACHAR*, AcDbDatabase*) {}
void AcRxEventReactor::beginInsert(AcDbDatabase*, const AcGeMatrix3d&, AcDbDatabase*) {}
void AcRxEventReactor::otherInsert(AcDbDatabase*, AcDbIdMapping&, AcDbDatabase*) {}
void AcRxEventReactor::abortInsert(AcDbDatabase*) {}
void AcRxEventReactor::endInsert(AcDbDatabase*) {}
void AcRxEventReactor::wblockNotice(AcDbDatabase*) {}
void AcRxEventReactor::beginWblock(AcDbDatabase*, AcDbDatabase*, const AcGePoint3d*&) {}
void AcRxEventReactor::beginWblock(AcDbDatabase*, AcDbDatabase*, AcDbObjectId) {}
void AcRxEventReactor::beginWblock(AcDbDatabase*, AcDbDatabase*) {}
void AcRxEventReactor::otherWblock(AcDbDatabase*, AcDbIdMapping&, AcDbDatabase*) {}
void AcRxEventReactor::abortWblock(AcDbDatabase*) {}
void AcRxEventReactor::endWblock(AcDbDatabase*) {}
void AcRxEventReactor::beginWblockObjects(AcDbDatabase*, AcDbIdMapping&) {}
void AcRxEventReactor::beginDeepClone(AcDbDatabase*, AcDbIdMapping&) {}
void AcRxEventReactor::beginDeepCloneXlation(AcDbIdMapping&, Acad::ErrorStatus*) {}
void AcRxEventReactor::abortDeepClone(AcDbIdMapping&) {}
void AcRxEventReactor::endDeepClone(AcDbIdMapping&) {}
void AcRxEventReactor::partialOpenNotice(AcDbDatabase*) {}
void AcRxEventReactor::beginAttach(AcDbDatabase*, const ACHAR*, AcDbDatabase*) {}
void AcRxEventReactor::otherAttach(AcDbDatabase*, AcDbDatabase*) {}
void AcRxEventReactor::abortAttach(AcDbDatabase*) {}
void AcRxEventReactor::endAttach(AcDbDatabase*) {}
void AcRxEventReactor::redirected(AcDbObjectId, AcDbObjectId) {}
void AcRxEventReactor::comandeered(AcDbDatabase*, AcDbObjectId, AcDbDatabase*) {}
void AcRxEventReactor::beginRestore(AcDbDatabase*, const ACHAR*, AcDbDatabase*) {}
void AcRxEventReactor::abortRestore(AcDbDatabase*) {}
void AcRxEventReactor::endRestore(AcDbDatabase*) {}
void AcRxEventReactor::xrefSubCommandStart(AcDbDatabase*, AcXrefSubCommand, const AcArray<AcDbObjectId>&,
                                           const ACHAR* const*, const ACHAR* const*, bool&) {}
void AcRxEventReactor::xrefSubCommandAborted(AcDbDatabase*, AcXrefSubCommand, const AcArray<AcDbObjectId>&,
                                             const ACHAR* const*, const ACHAR* const*) {}
void AcRxEventReactor::preXrefLockFile(AcDbDatabase*, AcDbObjectId) {}

AcEditorReactor::~AcEditorReactor() = default;
void AcEditorReactor::unknownCommand(const ACHAR*, AcDbVoidPtrArray*) {}
void AcEditorReactor::commandWillStart(const ACHAR*) {}
void AcEditorReactor::commandEnded(const ACHAR*) {}
void AcEditorReactor::commandCancelled(const ACHAR*) {}
void AcEditorReactor::commandFailed(const ACHAR*) {}
void AcEditorReactor::lispWillStart(const ACHAR*) {}
void AcEditorReactor::lispEnded() {}
void AcEditorReactor::lispCancelled() {}
void AcEditorReactor::beginClose(AcDbDatabase*) {}
void AcEditorReactor::beginDwgOpen(ACHAR*) {}
void AcEditorReactor::endDwgOpen(const ACHAR*, AcDbDatabase*) {}
void AcEditorReactor::sysVarChanged(const ACHAR*, Adesk::Boolean) {}
void AcEditorReactor::sysVarWillChange(const ACHAR*) {}
void AcEditorReactor::xrefSubcommandBindItem(AcDbDatabase*, int, AcDbObjectId) {}
void AcEditorReactor::xrefSubcommandAttachItem(AcDbDatabase*, int, const ACHAR*) {}
void AcEditorReactor::xrefSubcommandOverlayItem(AcDbDatabase*, int, const ACHAR*) {}
void AcEditorReactor::xrefSubcommandDetachItem(AcDbDatabase*, int, AcDbObjectId) {}
void AcEditorReactor::xrefSubcommandPathItem(AcDbDatabase*, int, AcDbObjectId, const ACHAR*) {}
void AcEditorReactor::xrefSubcommandReloadItem(AcDbDatabase*, int, AcDbObjectId) {}
void AcEditorReactor::xrefSubcommandUnloadItem(AcDbDatabase*, int, AcDbObjectId) {}
void AcEditorReactor::undoSubcommandAuto(int, Adesk::Boolean) {}
void AcEditorReactor::undoSubcommandControl(int, int) {}
void AcEditorReactor::undoSubcommandBegin(int) {}
void AcEditorReactor::undoSubcommandEnd(int) {}
void AcEditorReactor::undoSubcommandMark(int) {}
void AcEditorReactor::undoSubcommandBack(int) {}
void AcEditorReactor::undoSubcommandNumber(int, int) {}
void AcEditorReactor::pickfirstModified() {}
void AcEditorReactor::layoutSwitched(const ACHAR*) {}
void AcEditorReactor::docFrameMovedOrResized(Adesk::LongPtr, bool) {}
void AcEditorReactor::mainFrameMovedOrResized(Adesk::LongPtr, bool) {}
void AcEditorReactor::beginDoubleClick(const AcGePoint3d&) {}
void AcEditorReactor::beginRightClick(const AcGePoint3d&) {}
void AcEditorReactor::toolbarBitmapSizeWillChange(Adesk::Boolean) {}
void AcEditorReactor::toolbarBitmapSizeChanged(Adesk::Boolean) {}
void AcEditorReactor::objectsLazyLoaded(const AcDbObjectIdArray&) {}
void AcEditorReactor::beginQuit() {}
void AcEditorReactor::quitAborted() {}
void AcEditorReactor::quitWillStart() {}
void AcEditorReactor::modelessOperationWillStart(const ACHAR*) {}
void AcEditorReactor::modelessOperationEnded(const ACHAR*) {}
void AcEditorReactor::cmdIUnkModified(const ACHAR*) {}
Acad::ErrorStatus AcEditorReactor::xrefSubCommandStart(AcXrefSubCommand, const AcDbObjectIdArray&, const ACHAR* const*,
                                                       const ACHAR* const*) {
  return Acad::eOk;
}
void AcEditorReactor::preXrefLockFile(AcDbObjectId) {}
void AcEditorReactor::viewChanged() {}

AcEditorReactor2::~AcEditorReactor2() = default;
void AcEditorReactor2::beginDocClose(AcDbDatabase*) {}
void AcEditorReactor2::docCloseAborted(AcDbDatabase*) {}
void AcEditorReactor2::docCloseWillStart(AcDbDatabase*) {}
void AcEditorReactor2::layoutToBeSwitched(const ACHAR*, const ACHAR*) {}
void AcEditorReactor2::dwgViewResized(Adesk::LongPtr) {}

// ---- The editor ----

struct AcEditor::Impl {
  kvhost::ReactorList<AcRxEventReactor> reactors;
};

AcEditor::AcEditor() : m_pImpl(new Impl) {}
AcEditor::~AcEditor() { delete m_pImpl; }
void AcEditor::addReactor(AcRxEventReactor* reactor) {
  if (m_pImpl->reactors.add(reactor)) kvhost::journalf(L"editor: reactor attached (%d)", m_pImpl->reactors.live().length());
}
void AcEditor::removeReactor(AcRxEventReactor* reactor) {
  if (m_pImpl->reactors.remove(reactor)) kvhost::journalf(L"editor: reactor detached (%d)", m_pImpl->reactors.live().length());
}
AcArray<AcRxEventReactor*> AcEditor::reactors() const { return m_pImpl->reactors.live(); }

AcEditor* acedEditorPtr() { return AcEditor::cast(acrxSysRegistry()->at(L"AcEditor")); }

namespace kvhost {
ReactorList<AcRxEventReactor>& editorReactorList() { return acedEditorPtr()->impl()->reactors; }
}  // namespace kvhost

// ---- Selection sets and the pickfirst selection ----

namespace {

struct Selections {
  std::map<Adesk::Int64, AcDbObjectIdArray> sets;
  Adesk::Int64 nextName = 1;
  std::map<const AcDbDatabase*, AcDbObjectIdArray> pickfirst;  // by the document's database
};

Selections& selections() {
  static Selections* s = new Selections;
  return *s;
}

AcDbObjectIdArray* currentPickfirst() {
  AcApDocument* doc = acDocManagerPtr()->curDocument();
  return doc ? &selections().pickfirst[doc->database()] : nullptr;
}

}  // namespace

int acedSSGet(const ACHAR* str, const void*, const void*, const resbuf*, ads_name ss) {
  ss[0] = ss[1] = 0;
  if (str == nullptr || (std::wstring(str) != L"_I" && std::wstring(str) != L"I")) return RTERROR;
  AcDbObjectIdArray* first = currentPickfirst();
  if (first == nullptr || first->isEmpty()) return RTERROR;
  Selections& s = selections();
  ss[0] = s.nextName++;
  s.sets[ss[0]] = *first;
  return RTNORM;
}

int acedSSFree(const ads_name sname) { return selections().sets.erase(sname[0]) ? RTNORM : RTERROR; }

int acedSSLength(const ads_name sname, Adesk::Int32* len) {
  auto it = selections().sets.find(sname[0]);
  if (it == selections().sets.end()) return RTERROR;
  *len = it->second.length();
  return RTNORM;
}

int acedSSName(const ads_name ss, Adesk::Int32 i, ads_name entres) {
  auto it = selections().sets.find(ss[0]);
  if (it == selections().sets.end() || i < 0 || i >= it->second.length()) return RTERROR;
  entres[0] = it->second[i].asOldId();
  entres[1] = 0;
  return RTNORM;
}

Acad::ErrorStatus acdbGetObjectId(AcDbObjectId& objId, const ads_name objName) {
  objId = AcDbObjectId(reinterpret_cast<AcDbStub*>(objName[0]));
  return objId.isNull() ? Acad::eNullObjectId : Acad::eOk;
}

Acad::ErrorStatus acdbGetAdsName(ads_name& objName, AcDbObjectId objId) {
  objName[0] = objId.asOldId();
  objName[1] = 0;
  return objId.isNull() ? Acad::eNullObjectId : Acad::eOk;
}

int acedSSSetFirst(const ads_name pset, const ads_name) {
  AcDbObjectIdArray ids;
  if (pset != nullptr && pset[0] != 0) {
    auto it = selections().sets.find(pset[0]);
    if (it == selections().sets.end()) return RTERROR;
    ids = it->second;
  }
  kvhost::setPickfirst(ids);
  return RTNORM;
}

bool InitAcUiDLL() {
  kvhost::writeJournal(L"ui: library initialised");
  return true;
}

namespace kvhost {

void setPickfirst(const AcDbObjectIdArray& ids) {
  AcDbObjectIdArray* first = currentPickfirst();
  if (first == nullptr) return;
  *first = ids;
  notifyEditorReactors([](AcEditorReactor* r) { r->pickfirstModified(); });
}

AcDbObjectIdArray pickfirst() {
  AcDbObjectIdArray* first = currentPickfirst();
  return first ? *first : AcDbObjectIdArray();
}

int openSelectionSetCount() { return static_cast<int>(selections().sets.size()); }

void forgetPickfirstOf(AcDbDatabase* db) {
  Selections& s = selections();
  s.pickfirst.erase(db);
  for (auto& set : s.sets) {
    AcDbObjectIdArray& ids = set.second;
    for (int i = ids.length() - 1; i >= 0; --i)
      if (ids[i].database() == db) ids.removeAt(i);
  }
}

// ---- Redraws ----

static std::map<const AcDbStub*, int>& redraws() {
  static auto* counts = new std::map<const AcDbStub*, int>;
  return *counts;
}

void redrawEntity(AcDbObject* object) {
  ++redraws()[object->stub()];
  journalf(L"redraw %llX", static_cast<unsigned long long>(object->objectId().handle()));
}

int redrawCount(AcDbObjectId id) {
  auto it = redraws().find(id.stub());
  return it == redraws().end() ? 0 : it->second;
}

void forgetRedrawsOf(AcDbDatabase* db) {
  for (auto it = redraws().begin(); it != redraws().end();)
    it = it->first->db == db ? redraws().erase(it) : std::next(it);
}

void raiseEditorEvent(const std::function<void(AcEditorReactor*)>& call) { notifyEditorReactors(call); }
void raiseEventReactorEvent(const std::function<void(AcRxEventReactor*)>& call) { notifyEventReactors(call); }
void raiseDocManagerEvent(const std::function<void(AcApDocManagerReactor*)>& call) { docReactorList().notify(call); }
void raiseDatabaseEvent(AcDbDatabase* db, const std::function<void(AcDbDatabaseReactor*)>& call) {
  if (db) dbReactorList(db).notify(call);
}

}  // namespace kvhost
