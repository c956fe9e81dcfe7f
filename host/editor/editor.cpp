// The editor: its reactors, which hear of commands, documents and every
// database, and the user interface library modules initialise.
#include "common/journal.h"
#include "database/dbinternal.h"
#include "docman/docinternal.h"
#include "editor/edinternal.h"

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

ReactorList<AcRxEventReactor>& editorReactors() { return acedEditorPtr()->impl()->reactors; }

namespace {

// The editor tells its event reactors of every database's life, and its
// editor reactors of every document that closes.
class EditorWatcher : public DatabaseWatcher, public DocumentWatcher {
 public:
  void databaseConstructed(AcDbDatabase* db) override {
    notifyEventReactors([&](AcRxEventReactor* r) { r->databaseConstructed(db); });
  }
  void databaseToBeDestroyed(AcDbDatabase* db) override {
    notifyEventReactors([&](AcRxEventReactor* r) { r->databaseToBeDestroyed(db); });
  }
  void documentToBeClosed(AcDbDatabase* db) override {
    notifyEditorReactors([&](AcEditorReactor* r) {
      if (auto* r2 = AcEditorReactor2::cast(r)) r2->beginDocClose(db);
    });
    notifyEditorReactors([&](AcEditorReactor* r) { r->beginClose(db); });
  }
};

// Attached as the host is loaded: the editor hears of every database and document.
EditorWatcher* attachEditorWatcher() {
  auto* watcher = new EditorWatcher;
  databaseWatchers().add(watcher);
  documentWatchers().add(watcher);
  return watcher;
}
[[maybe_unused]] const EditorWatcher* const kEditorWatcher = attachEditorWatcher();

}  // namespace
}  // namespace kvhost

bool InitAcUiDLL() {
  kvhost::writeJournal(L"ui: library initialised");
  return true;
}
