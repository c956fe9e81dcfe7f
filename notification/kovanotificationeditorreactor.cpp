// The editor dispatcher, its command phases, and the client editor reactor
// base with the pickfirst redraw set.
#include "kovanotificationeditorreactor.h"
#include <KOVATools.h>
#include <KvTrace.h>
#include "guards.h"
#include "kovacommandnames.h"
#include "kovareactormanager.h"
#include "kovaundocontroller.h"

#define KV_SOURCE_FILE L"kovanotificationeditorreactor"

AcArray<AcDbObjectId> KOVAEditorReactorBase::m_tabPickFirstToRedraw(0, 8);
KOVAIdSet KOVAEditorReactorBase::m_setQueued;
int KOVAEditorReactorBase::m_nIndexed = 0;
bool KOVAEditorReactorBase::m_bIsDuringRedraw = false;
bool KOVAEditorReactorBase::m_bDuring3dPowerJigErase = false;

namespace {

KOVARunningSnapshots<AcEditorReactor>& edSnapshots() {
  static KOVARunningSnapshots<AcEditorReactor> running;
  return running;
}

KOVAClientList<AcEditorReactor>* takeEdSnapshot() { return g_ReactorManager.shareEdReactors(); }

AcEditor* hostEditor() { return AcEditor::cast(acrxSysRegistry()->at(L"AcEditor")); }

const ACHAR* const kSaveCommands[] = {L"SAVE", L"QSAVE", L"SAVEAS"};

const ACHAR* const kCommandsWithoutUndoMark[] = {
    L"U",           L"UNDO",          L"REDO",          L"MREDO",          L"NEW",
    L"OPEN",        L"SAVE",          L"QSAVE",         L"QNEW",           L"SAVEAS",
    L"CLOSE",       L"QUIT",          L"APPLOAD",       L"COMMANDLINE",    L"REGEN",
    L"ETRANSMIT",   L"-ETRANSMIT",    L"kovaregen",     L"kovaDBcreate",   L"kovaDBconnect",
    L"kovaDBrefresh", L"kovaDBhighlight", L"kovaDBhighlightWorkspace", L"kovaDBcheckin", L"kovaDBcheckout",
    L"kovaDBupdate", L"kovaDBaddElement", L"kovaDBerrors"};

bool isSaveCommand(const ACHAR* commandName) {
  static const KOVACommandNameSet s_names(kSaveCommands);
  return s_names.contains(commandName);
}

bool isUndoCommand(const ACHAR* commandName) {
  static const ACHAR* const kUndoCommands[] = {L"UNDO", L"U"};
  static const KOVACommandNameSet s_names(kUndoCommands);
  return s_names.contains(commandName);
}

// What the end of a command or modeless operation puts back on every way
// out, a client's fault included: the mark ends once the clients heard the
// end, a save's filter flag is cleared, and the operation is over.
class KOVAOperationEnding {
 public:
  // A command's end when commandName is given, a modeless operation's otherwise.
  explicit KOVAOperationEnding(const ACHAR* commandName) : m_pCommandName(commandName) {}
  ~KOVAOperationEnding() {
    endMark();
    clearFlags();
    KOVAUndoController::operationEnded();
    KOVAEditorReactorDispathcer::phaseEnded();
  }
  KOVAOperationEnding(const KOVAOperationEnding&) = delete;
  KOVAOperationEnding& operator=(const KOVAOperationEnding&) = delete;

  void endMark() {
    if (m_bMarkEnded) return;
    m_bMarkEnded = true;
    KOVAUndoController::endUndoMark(m_pCommandName == nullptr);
  }
  // Until here a save's filter flag stays as the command left it.
  void clearFlags() {
    if (m_pCommandName == nullptr || m_bCleared) return;
    m_bCleared = true;
    if (isSaveCommand(m_pCommandName)) KOVAEditorReactorDispathcer::saveEnded();
  }

 private:
  const ACHAR* m_pCommandName;
  bool m_bMarkEnded = false;
  bool m_bCleared = false;
};

// The selection set read for a pickfirst handling, freed on every way out.
// Its ids go into an array kept for the next change at the same depth.
class KOVAPickfirstSelection {
 public:
  KOVAPickfirstSelection() : m_ids(idArrays()) {
    m_ids.array().setLogicalLength(0);
    m_ss[0] = m_ss[1] = 0;
    m_bRead = acedSSGet(L"_I", nullptr, nullptr, nullptr, m_ss) == RTNORM;
    if (m_bRead) KOVASelectionTools::enameSetToObjIds(m_ss, m_ids.array());
  }
  ~KOVAPickfirstSelection() {
    if (m_bRead) acedSSFree(m_ss);
  }
  KOVAPickfirstSelection(const KOVAPickfirstSelection&) = delete;
  KOVAPickfirstSelection& operator=(const KOVAPickfirstSelection&) = delete;
  ads_name& name() { return m_ss; }
  const AcArray<AcDbObjectId>& ids() const { return m_ids.array(); }

 private:
  static KOVAArrayPool<AcDbObjectId>& idArrays() {
    static KOVAArrayPool<AcDbObjectId> pool;
    return pool;
  }

  KOVAPooledArray<AcDbObjectId> m_ids;
  ads_name m_ss;
  bool m_bRead;
};

}  // namespace

// ---- The dispatcher ----

int KOVAEditorReactorDispathcer::m_nPickFirstDepth = 0;
int KOVAEditorReactorDispathcer::m_nSavesRunning = 0;
int KOVAEditorReactorDispathcer::m_nInstances = 0;

KOVAEditorReactorDispathcer::KOVAEditorReactorDispathcer() {
  ++m_nInstances;
  KV_GUARDED(L"KOVAEditorReactorDispathcer::KOVAEditorReactorDispathcer", [&] { attachToHost(); });
}

KOVAEditorReactorDispathcer::~KOVAEditorReactorDispathcer() {
  KV_GUARDED(L"KOVAEditorReactorDispathcer::~KOVAEditorReactorDispathcer", [&] {
    detachFromHost();
    // The last one goes once its notifications have returned.
    if (--m_nInstances == 0 && g_ReactorManager.edReactorDispatcher() == nullptr) abandonCommandPhases();
  });
}

void KOVAEditorReactorDispathcer::abandonCommandPhases() {
  KOVAUndoController::abandonMarks();
  KOVAEditorReactorBase::clearEntities();
  if (m_nSavesRunning > 0) g_ReactorManager.setFilterReactors(false);
  m_nSavesRunning = 0;
}

bool KOVAEditorReactorDispathcer::exists() { return m_nInstances > 0; }

bool KOVAEditorReactorDispathcer::phasesRunning() {
  return KOVAUndoController::operationsRunning() || m_nPickFirstDepth > 0;
}

void KOVAEditorReactorDispathcer::phaseEnded() {
  if (!phasesRunning()) g_ReactorManager.edPhasesEnded();
}

void KOVAEditorReactorDispathcer::saveEnded() {
  g_ReactorManager.setFilterReactors(false);
  if (m_nSavesRunning > 0) --m_nSavesRunning;
}

void KOVAEditorReactorDispathcer::forgetDatabase(AcDbDatabase* db) {
  KOVAEditorReactorBase::removeEntitiesMatchingDatabaseToBeDestroyed(db);
  KOVAUndoController::forgetDatabase(db);
}

void KOVAEditorReactorDispathcer::attachToHost() {
  if (AcEditor* editor = hostEditor()) editor->addReactor(this);
}

void KOVAEditorReactorDispathcer::detachFromHost() {
  if (AcEditor* editor = hostEditor()) editor->removeReactor(this);
}

template <class Call>
void KOVAEditorReactorDispathcer::forward(const char* name, Call&& call) {
  KOVARunningNotification running(*this);
  kovaFanOut(edSnapshots(), takeEdSnapshot, name, call);
}

void KOVAEditorReactorDispathcer::databaseToBeDestroyed(AcDbDatabase* db) {
  KOVARunningNotification running(*this);
  KvSliceScope handling("handling", "databaseToBeDestroyed", nullptr);
  KV_GUARDED(L"KOVAEditorReactorDispathcer::databaseToBeDestroyed", [&] {
    struct Prune {
      AcDbDatabase* db;
      ~Prune() { forgetDatabase(db); }
    } prune{db};
    kovaFanOut(edSnapshots(), takeEdSnapshot, "databaseToBeDestroyed",
               [&](AcEditorReactor* c) { c->databaseToBeDestroyed(db); });
  });
}

void KOVAEditorReactorDispathcer::pickfirstModified() {
  KOVARunningNotification running(*this);
  KvSliceScope handling("handling", "pickfirstModified", nullptr);
  KV_GUARDED(L"KOVAEditorReactorDispathcer::pickfirstModified", [&] {
    KOVASnapshot<AcEditorReactor> snapshot(edSnapshots(), takeEdSnapshot);
    if (snapshot.length() == 0) return;
    // The filter flag and the depth are this handling's: they are put back
    // on every way out. What clients queued is redrawn when the outermost
    // handling ends; a handling that fails leaves it queued for the next end.
    struct Handling {
      int& depth;
      bool finished = false;
      explicit Handling(int& d) : depth(d) {
        g_ReactorManager.setFilterReactors(true);
        ++depth;
      }
      ~Handling() {
        if (--depth < 0) depth = 0;
        if (depth == 0 && finished) KOVAEditorReactorBase::redrawEntities();
        g_ReactorManager.setFilterReactors(false);
        if (depth == 0) phaseEnded();
      }
    } handling(m_nPickFirstDepth);
    {
      KOVAPickfirstSelection selection;
      AcRxClass* cls = KOVAEditorReactorBase::homogenity(selection.ids());
      kovaFanOutToBase<KOVAEditorReactorBase>(snapshot, "pickfirstModified", [&](KOVAEditorReactorBase* client) {
        client->pickfirstModified(selection.name(), selection.ids(), cls);
      });
    }
    handling.finished = true;
  });
}

Acad::ErrorStatus KOVAEditorReactorDispathcer::xrefSubCommandStart(AcXrefSubCommand subcmd,
                                                                   const AcDbObjectIdArray& btrIds,
                                                                   const ACHAR* const* btrNames,
                                                                   const ACHAR* const* paths) {
  KOVARunningNotification running(*this);
  Acad::ErrorStatus es = Acad::eOk;
  kovaFanOutUntil(
      edSnapshots(), takeEdSnapshot, "xrefSubCommandStart",
      [&](AcEditorReactor* client) { es = client->xrefSubCommandStart(subcmd, btrIds, btrNames, paths); },
      [&](AcEditorReactor*) { return es != Acad::eOk; });
  return es;
}

// ---- Command phases ----

bool KOVAEditorReactorDispathcer::IsInterestingCommandForUndoMarker(const ACHAR* commandName) {
  return KV_GUARDED(L"KOVAEditorReactorDispathcer::IsInterestingCommandForUndoMarker", [&] {
    static const KOVACommandNameSet s_unmarked(kCommandsWithoutUndoMark);
    return !s_unmarked.contains(commandName);
  });
}

bool KOVAEditorReactorDispathcer::setPostUndoOnCommandFinish(bool value) {
  return KV_GUARDED(L"KOVAEditorReactorDispathcer::setPostUndoOnCommandFinish", [&] {
    KOVAUndoController::requestRollBack(value);
    return true;
  });
}

void KOVAEditorReactorDispathcer::serveRequest() {
  if (KOVAUndoController::rollBackRequested())
    KOVAUndoController::backToMark();
  else
    KOVAUndoController::checkMark();
  KOVAUndoController::requestRollBack(false);
}

void KOVAEditorReactorDispathcer::commandWillStart(const ACHAR* commandName) {
  KOVARunningNotification running(*this);
  KvSliceScope handling("handling", "commandWillStart", nullptr);
  KV_GUARDED(L"KOVAEditorReactorDispathcer::commandWillStart", [&] {
    KOVAUndoController::operationWillStart(isUndoCommand(commandName));
    if (isSaveCommand(commandName)) {
      g_ReactorManager.setFilterReactors(true);
      ++m_nSavesRunning;
    }
    // A dispatcher kept only to hear the ends of what runs marks nothing.
    if (g_ReactorManager.hasEdReactors() && IsInterestingCommandForUndoMarker(commandName))
      KOVAUndoController::startUndoMark(false);
    kovaFanOut(edSnapshots(), takeEdSnapshot, "commandWillStart",
               [&](AcEditorReactor* c) { c->commandWillStart(commandName); });
    g_FnLog.logCmdStart(commandName);
    g_FnLog.logInfo(commandName);
  });
}

// The end, cancel and failure of a command.
void KOVAEditorReactorDispathcer::endCommand(const ACHAR* commandName,
                                             void (AcEditorReactor::*notification)(const ACHAR*), const char* name,
                                             bool redraw) {
  KvSliceScope handling("handling", name, nullptr);
  KOVAOperationEnding ending(commandName);
  kovaFanOut(edSnapshots(), takeEdSnapshot, name, [&](AcEditorReactor* c) { (c->*notification)(commandName); });
  ending.endMark();
  serveRequest();
  // What was queued for redraw is drawn when the command ended, dropped otherwise.
  if (redraw) KOVAEditorReactorBase::redrawEntities();
  ending.clearFlags();
  if (!redraw) KOVAEditorReactorBase::clearEntities();
  g_FnLog.logCmdEnd(commandName);
  g_FnLog.logInfo(commandName);
}

void KOVAEditorReactorDispathcer::commandEnded(const ACHAR* commandName) {
  KOVARunningNotification running(*this);
  KV_GUARDED(L"KOVAEditorReactorDispathcer::commandEnded", [&] {
    endCommand(commandName, &AcEditorReactor::commandEnded, "commandEnded", true);
  });
}

void KOVAEditorReactorDispathcer::commandCancelled(const ACHAR* commandName) {
  KOVARunningNotification running(*this);
  KV_GUARDED(L"KOVAEditorReactorDispathcer::commandCancelled", [&] {
    endCommand(commandName, &AcEditorReactor::commandCancelled, "commandCancelled", false);
  });
}

void KOVAEditorReactorDispathcer::commandFailed(const ACHAR* commandName) {
  KOVARunningNotification running(*this);
  KV_GUARDED(L"KOVAEditorReactorDispathcer::commandFailed", [&] {
    endCommand(commandName, &AcEditorReactor::commandFailed, "commandFailed", false);
  });
}

void KOVAEditorReactorDispathcer::modelessOperationWillStart(const ACHAR* context) {
  KOVARunningNotification running(*this);
  KvSliceScope handling("handling", "modelessOperationWillStart", nullptr);
  KV_GUARDED(L"KOVAEditorReactorDispathcer::modelessOperationWillStart", [&] {
    KOVAUndoController::operationWillStart(false);
    if (g_ReactorManager.hasEdReactors()) KOVAUndoController::startUndoMark(true);
    kovaFanOut(edSnapshots(), takeEdSnapshot, "modelessOperationWillStart",
               [&](AcEditorReactor* c) { c->modelessOperationWillStart(context); });
  });
}

void KOVAEditorReactorDispathcer::modelessOperationEnded(const ACHAR* context) {
  KOVARunningNotification running(*this);
  KvSliceScope handling("handling", "modelessOperationEnded", nullptr);
  KV_GUARDED(L"KOVAEditorReactorDispathcer::modelessOperationEnded", [&] {
    KOVAOperationEnding ending(nullptr);
    kovaFanOut(edSnapshots(), takeEdSnapshot, "modelessOperationEnded",
               [&](AcEditorReactor* c) { c->modelessOperationEnded(context); });
    ending.endMark();
    serveRequest();
    KOVAEditorReactorBase::redrawEntities();
  });
}

void KOVAEditorReactorDispathcer::beginDwgOpen(ACHAR* fileName) {
  KOVARunningNotification running(*this);
  KvSliceScope handling("handling", "beginDwgOpen", nullptr);
  KV_GUARDED(L"KOVAEditorReactorDispathcer::beginDwgOpen", [&] {
    KOVASmartUndoRecording undo(nullptr);
    kovaFanOut(edSnapshots(), takeEdSnapshot, "beginDwgOpen", [&](AcEditorReactor* c) { c->beginDwgOpen(fileName); });
  });
}

void KOVAEditorReactorDispathcer::endDwgOpen(const ACHAR* fileName, AcDbDatabase* db) {
  KOVARunningNotification running(*this);
  KvSliceScope handling("handling", "endDwgOpen", nullptr);
  KV_GUARDED(L"KOVAEditorReactorDispathcer::endDwgOpen", [&] {
    KOVASmartUndoRecording undo(nullptr);
    kovaFanOut(edSnapshots(), takeEdSnapshot, "endDwgOpen", [&](AcEditorReactor* c) { c->endDwgOpen(fileName, db); });
  });
}

// ---- Plain forwarders ----

#define KOVA_FORWARD(NOTIFICATION, ARGS) forward(#NOTIFICATION, [&](AcEditorReactor* c) { c->NOTIFICATION ARGS; })

void KOVAEditorReactorDispathcer::dwgFileOpened(AcDbDatabase* db, ACHAR* f) { KOVA_FORWARD(dwgFileOpened, (db, f)); }
void KOVAEditorReactorDispathcer::initialDwgFileOpenComplete(AcDbDatabase* db) { KOVA_FORWARD(initialDwgFileOpenComplete, (db)); }
void KOVAEditorReactorDispathcer::databaseConstructed(AcDbDatabase* db) { KOVA_FORWARD(databaseConstructed, (db)); }
void KOVAEditorReactorDispathcer::beginSave(AcDbDatabase* db, const ACHAR* n) { KOVA_FORWARD(beginSave, (db, n)); }
void KOVAEditorReactorDispathcer::saveComplete(AcDbDatabase* db, const ACHAR* n) { KOVA_FORWARD(saveComplete, (db, n)); }
void KOVAEditorReactorDispathcer::abortSave(AcDbDatabase* db) { KOVA_FORWARD(abortSave, (db)); }
void KOVAEditorReactorDispathcer::beginDxfIn(AcDbDatabase* db) { KOVA_FORWARD(beginDxfIn, (db)); }
void KOVAEditorReactorDispathcer::abortDxfIn(AcDbDatabase* db) { KOVA_FORWARD(abortDxfIn, (db)); }
void KOVAEditorReactorDispathcer::dxfInComplete(AcDbDatabase* db) { KOVA_FORWARD(dxfInComplete, (db)); }
void KOVAEditorReactorDispathcer::beginDxfOut(AcDbDatabase* db) { KOVA_FORWARD(beginDxfOut, (db)); }
void KOVAEditorReactorDispathcer::abortDxfOut(AcDbDatabase* db) { KOVA_FORWARD(abortDxfOut, (db)); }
void KOVAEditorReactorDispathcer::dxfOutComplete(AcDbDatabase* db) { KOVA_FORWARD(dxfOutComplete, (db)); }
void KOVAEditorReactorDispathcer::beginInsert(AcDbDatabase* to, const ACHAR* n, AcDbDatabase* from) { KOVA_FORWARD(beginInsert, (to, n, from)); }
void KOVAEditorReactorDispathcer::beginInsert(AcDbDatabase* to, const AcGeMatrix3d& x, AcDbDatabase* from) { KOVA_FORWARD(beginInsert, (to, x, from)); }
void KOVAEditorReactorDispathcer::otherInsert(AcDbDatabase* to, AcDbIdMapping& m, AcDbDatabase* from) { KOVA_FORWARD(otherInsert, (to, m, from)); }
void KOVAEditorReactorDispathcer::abortInsert(AcDbDatabase* to) { KOVA_FORWARD(abortInsert, (to)); }
void KOVAEditorReactorDispathcer::endInsert(AcDbDatabase* to) { KOVA_FORWARD(endInsert, (to)); }
void KOVAEditorReactorDispathcer::wblockNotice(AcDbDatabase* db) { KOVA_FORWARD(wblockNotice, (db)); }
void KOVAEditorReactorDispathcer::beginWblock(AcDbDatabase* to, AcDbDatabase* from, const AcGePoint3d*& p) { KOVA_FORWARD(beginWblock, (to, from, p)); }
void KOVAEditorReactorDispathcer::beginWblock(AcDbDatabase* to, AcDbDatabase* from, AcDbObjectId id) { KOVA_FORWARD(beginWblock, (to, from, id)); }
void KOVAEditorReactorDispathcer::beginWblock(AcDbDatabase* to, AcDbDatabase* from) { KOVA_FORWARD(beginWblock, (to, from)); }
void KOVAEditorReactorDispathcer::otherWblock(AcDbDatabase* to, AcDbIdMapping& m, AcDbDatabase* from) { KOVA_FORWARD(otherWblock, (to, m, from)); }
void KOVAEditorReactorDispathcer::abortWblock(AcDbDatabase* to) { KOVA_FORWARD(abortWblock, (to)); }
void KOVAEditorReactorDispathcer::endWblock(AcDbDatabase* to) { KOVA_FORWARD(endWblock, (to)); }
void KOVAEditorReactorDispathcer::beginWblockObjects(AcDbDatabase* db, AcDbIdMapping& m) { KOVA_FORWARD(beginWblockObjects, (db, m)); }
void KOVAEditorReactorDispathcer::beginDeepClone(AcDbDatabase* to, AcDbIdMapping& m) { KOVA_FORWARD(beginDeepClone, (to, m)); }
void KOVAEditorReactorDispathcer::beginDeepCloneXlation(AcDbIdMapping& m, Acad::ErrorStatus* es) { KOVA_FORWARD(beginDeepCloneXlation, (m, es)); }
void KOVAEditorReactorDispathcer::abortDeepClone(AcDbIdMapping& m) { KOVA_FORWARD(abortDeepClone, (m)); }
void KOVAEditorReactorDispathcer::endDeepClone(AcDbIdMapping& m) { KOVA_FORWARD(endDeepClone, (m)); }
void KOVAEditorReactorDispathcer::partialOpenNotice(AcDbDatabase* db) { KOVA_FORWARD(partialOpenNotice, (db)); }
void KOVAEditorReactorDispathcer::beginAttach(AcDbDatabase* to, const ACHAR* n, AcDbDatabase* from) { KOVA_FORWARD(beginAttach, (to, n, from)); }
void KOVAEditorReactorDispathcer::otherAttach(AcDbDatabase* to, AcDbDatabase* from) { KOVA_FORWARD(otherAttach, (to, from)); }
void KOVAEditorReactorDispathcer::abortAttach(AcDbDatabase* from) { KOVA_FORWARD(abortAttach, (from)); }
void KOVAEditorReactorDispathcer::endAttach(AcDbDatabase* to) { KOVA_FORWARD(endAttach, (to)); }
void KOVAEditorReactorDispathcer::redirected(AcDbObjectId n, AcDbObjectId o) { KOVA_FORWARD(redirected, (n, o)); }
void KOVAEditorReactorDispathcer::comandeered(AcDbDatabase* to, AcDbObjectId id, AcDbDatabase* from) { KOVA_FORWARD(comandeered, (to, id, from)); }
void KOVAEditorReactorDispathcer::beginRestore(AcDbDatabase* to, const ACHAR* n, AcDbDatabase* from) { KOVA_FORWARD(beginRestore, (to, n, from)); }
void KOVAEditorReactorDispathcer::abortRestore(AcDbDatabase* to) { KOVA_FORWARD(abortRestore, (to)); }
void KOVAEditorReactorDispathcer::endRestore(AcDbDatabase* to) { KOVA_FORWARD(endRestore, (to)); }
void KOVAEditorReactorDispathcer::unknownCommand(const ACHAR* cmd, AcDbVoidPtrArray* al) { KOVA_FORWARD(unknownCommand, (cmd, al)); }
void KOVAEditorReactorDispathcer::lispWillStart(const ACHAR* line) { KOVA_FORWARD(lispWillStart, (line)); }
void KOVAEditorReactorDispathcer::lispEnded() { KOVA_FORWARD(lispEnded, ()); }
void KOVAEditorReactorDispathcer::lispCancelled() { KOVA_FORWARD(lispCancelled, ()); }
void KOVAEditorReactorDispathcer::sysVarChanged(const ACHAR* v, Adesk::Boolean ok) { KOVA_FORWARD(sysVarChanged, (v, ok)); }
void KOVAEditorReactorDispathcer::sysVarWillChange(const ACHAR* v) { KOVA_FORWARD(sysVarWillChange, (v)); }
void KOVAEditorReactorDispathcer::xrefSubcommandBindItem(AcDbDatabase* db, int a, AcDbObjectId id) { KOVA_FORWARD(xrefSubcommandBindItem, (db, a, id)); }
void KOVAEditorReactorDispathcer::xrefSubcommandAttachItem(AcDbDatabase* db, int a, const ACHAR* p) { KOVA_FORWARD(xrefSubcommandAttachItem, (db, a, p)); }
void KOVAEditorReactorDispathcer::xrefSubcommandOverlayItem(AcDbDatabase* db, int a, const ACHAR* p) { KOVA_FORWARD(xrefSubcommandOverlayItem, (db, a, p)); }
void KOVAEditorReactorDispathcer::xrefSubcommandDetachItem(AcDbDatabase* db, int a, AcDbObjectId id) { KOVA_FORWARD(xrefSubcommandDetachItem, (db, a, id)); }
void KOVAEditorReactorDispathcer::xrefSubcommandPathItem(AcDbDatabase* db, int a, AcDbObjectId id, const ACHAR* p) { KOVA_FORWARD(xrefSubcommandPathItem, (db, a, id, p)); }
void KOVAEditorReactorDispathcer::xrefSubcommandReloadItem(AcDbDatabase* db, int a, AcDbObjectId id) { KOVA_FORWARD(xrefSubcommandReloadItem, (db, a, id)); }
void KOVAEditorReactorDispathcer::xrefSubcommandUnloadItem(AcDbDatabase* db, int a, AcDbObjectId id) { KOVA_FORWARD(xrefSubcommandUnloadItem, (db, a, id)); }
void KOVAEditorReactorDispathcer::undoSubcommandAuto(int a, Adesk::Boolean s) { KOVA_FORWARD(undoSubcommandAuto, (a, s)); }
void KOVAEditorReactorDispathcer::undoSubcommandControl(int a, int o) { KOVA_FORWARD(undoSubcommandControl, (a, o)); }
void KOVAEditorReactorDispathcer::undoSubcommandBegin(int a) { KOVA_FORWARD(undoSubcommandBegin, (a)); }
void KOVAEditorReactorDispathcer::undoSubcommandEnd(int a) { KOVA_FORWARD(undoSubcommandEnd, (a)); }
void KOVAEditorReactorDispathcer::undoSubcommandMark(int a) { KOVA_FORWARD(undoSubcommandMark, (a)); }
void KOVAEditorReactorDispathcer::undoSubcommandBack(int a) { KOVA_FORWARD(undoSubcommandBack, (a)); }
void KOVAEditorReactorDispathcer::undoSubcommandNumber(int a, int n) { KOVA_FORWARD(undoSubcommandNumber, (a, n)); }
void KOVAEditorReactorDispathcer::layoutSwitched(const ACHAR* n) { KOVA_FORWARD(layoutSwitched, (n)); }
void KOVAEditorReactorDispathcer::docFrameMovedOrResized(Adesk::LongPtr h, bool m) { KOVA_FORWARD(docFrameMovedOrResized, (h, m)); }
void KOVAEditorReactorDispathcer::mainFrameMovedOrResized(Adesk::LongPtr h, bool m) { KOVA_FORWARD(mainFrameMovedOrResized, (h, m)); }
void KOVAEditorReactorDispathcer::beginDoubleClick(const AcGePoint3d& p) { KOVA_FORWARD(beginDoubleClick, (p)); }
void KOVAEditorReactorDispathcer::beginRightClick(const AcGePoint3d& p) { KOVA_FORWARD(beginRightClick, (p)); }
void KOVAEditorReactorDispathcer::toolbarBitmapSizeWillChange(Adesk::Boolean l) { KOVA_FORWARD(toolbarBitmapSizeWillChange, (l)); }
void KOVAEditorReactorDispathcer::toolbarBitmapSizeChanged(Adesk::Boolean l) { KOVA_FORWARD(toolbarBitmapSizeChanged, (l)); }
void KOVAEditorReactorDispathcer::objectsLazyLoaded(const AcDbObjectIdArray& ids) { KOVA_FORWARD(objectsLazyLoaded, (ids)); }
void KOVAEditorReactorDispathcer::beginQuit() { KOVA_FORWARD(beginQuit, ()); }
void KOVAEditorReactorDispathcer::quitAborted() { KOVA_FORWARD(quitAborted, ()); }
void KOVAEditorReactorDispathcer::quitWillStart() { KOVA_FORWARD(quitWillStart, ()); }
void KOVAEditorReactorDispathcer::cmdIUnkModified(const ACHAR* command) { KOVA_FORWARD(cmdIUnkModified, (command)); }
void KOVAEditorReactorDispathcer::preXrefLockFile(AcDbObjectId id) { KOVA_FORWARD(preXrefLockFile, (id)); }
void KOVAEditorReactorDispathcer::viewChanged() { KOVA_FORWARD(viewChanged, ()); }

#undef KOVA_FORWARD

// ---- The client base ----

KOVAEditorReactorBase::KOVAEditorReactorBase(bool bRegister) : m_bRegistered(bRegister) {
  KV_GUARDED(L"KOVAEditorReactorBase::KOVAEditorReactorBase", [&] {
    if (m_bRegistered) g_ReactorManager.addEdReactor(this, -1);
  });
}

KOVAEditorReactorBase::KOVAEditorReactorBase(const KOVAEditorReactorBase& other)
    : AcEditorReactor2(other), m_bRegistered(other.m_bRegistered) {}

KOVAEditorReactorBase& KOVAEditorReactorBase::operator=(const KOVAEditorReactorBase& other) {
  AcEditorReactor2::operator=(other);
  m_bRegistered = other.m_bRegistered;
  return *this;
}

KOVAEditorReactorBase::~KOVAEditorReactorBase() {
  KV_GUARDED(L"KOVAEditorReactorBase::~KOVAEditorReactorBase", [&] {
    if (m_bRegistered) g_ReactorManager.removeEdReactor(this);
    edSnapshots().forget(this);
  });
}

void KOVAEditorReactorBase::pickfirstModified(ads_name, const AcArray<AcDbObjectId>&, AcRxClass*) {}

bool KOVAEditorReactorBase::isDuringRedrawEntity() { return m_bIsDuringRedraw; }

void KOVAEditorReactorBase::redrawEntity(const AcDbObjectId& id) {
  KV_GUARDED(L"KOVAEditorReactorBase::redrawEntity", [&] {
    // Nothing drains the set once the last dispatcher has gone.
    if (!KOVAEditorReactorDispathcer::exists()) return;
    if (!isQueued(id)) {
      m_tabPickFirstToRedraw.append(id);
      ++m_nIndexed;
    }
  });
}

// The array is what clients see, and derived clients may change it: the
// index answers only for as many ids as it was given, and an id it knows
// counts as queued only where the array still holds it.
bool KOVAEditorReactorBase::isQueued(const AcDbObjectId& id) {
  if (m_tabPickFirstToRedraw.length() != m_nIndexed) reindex();
  // A stale answer makes the index anew, which then answers rightly.
  for (;;) {
    std::uint32_t position = static_cast<std::uint32_t>(m_nIndexed);
    if (m_setQueued.insert(id.asOldId(), position)) return false;
    if (static_cast<int>(position) < m_tabPickFirstToRedraw.length() && m_tabPickFirstToRedraw[position] == id)
      return true;
    reindex();
  }
}

void KOVAEditorReactorBase::reindex() {
  m_setQueued.clear();
  for (m_nIndexed = 0; m_nIndexed < m_tabPickFirstToRedraw.length(); ++m_nIndexed) {
    std::uint32_t position = static_cast<std::uint32_t>(m_nIndexed);
    m_setQueued.insert(m_tabPickFirstToRedraw[m_nIndexed].asOldId(), position);
  }
}

void KOVAEditorReactorBase::redrawEntities() {
  KV_GUARDED(L"KOVAEditorReactorBase::redrawEntities", [&] {
    m_bIsDuringRedraw = true;
    for (int i = 0; i < m_tabPickFirstToRedraw.length(); ++i) {
      AcDbObjectId id = m_tabPickFirstToRedraw[i];
      KOVASmartLock lock(id.database(), AcAxDocLock::kNormal);
      AcDbEntityPointer entity(id, AcDb::kForWrite);
      if (entity) entity->recordGraphicsModified(true);
    }
    m_tabPickFirstToRedraw.setLogicalLength(0);
    reindex();
    m_bIsDuringRedraw = false;
  });
}

void KOVAEditorReactorBase::clearEntities() {
  KV_GUARDED(L"KOVAEditorReactorBase::clearEntities", [&] {
    m_tabPickFirstToRedraw.setGrowLength(1024);
    m_tabPickFirstToRedraw.setLogicalLength(0);
    reindex();
  });
}

AcRxClass* KOVAEditorReactorBase::homogenity(const AcArray<AcDbObjectId>& ids) {
  return KV_GUARDED(L"KOVAEditorReactorBase::homogenity", [&]() -> AcRxClass* {
    if (ids.isEmpty()) return nullptr;
    AcDbEntityPointer first(ids[0], AcDb::kForRead);
    if (!first) return nullptr;
    AcRxClass* cls = first->isA();
    for (int i = 1; i < ids.length(); ++i) {
      AcDbEntityPointer next(ids[i], AcDb::kForRead);
      if (!next) return nullptr;
      cls = commonAncester(next->isA(), cls);
    }
    return cls;
  });
}

AcRxClass* KOVAEditorReactorBase::commonAncester(AcRxClass* first, AcRxClass* second) {
  return KV_GUARDED(L"KOVAEditorReactorBase::commonAncester", [&]() -> AcRxClass* {
    if (first == nullptr || second == nullptr) return nullptr;
    if (first->isDerivedFrom(second)) return second;
    if (second->isDerivedFrom(first)) return first;
    return commonAncester(first->myParent(), second->myParent());
  });
}

void KOVAEditorReactorBase::removeEntitiesMatchingDatabaseToBeDestroyed(AcDbDatabase* pDb) {
  KV_GUARDED(L"KOVAEditorReactorBase::removeEntitiesMatchingDatabaseToBeDestroyed", [&] {
    // One pass that keeps the queue's order, then the index holds what is left.
    int kept = 0;
    for (int i = 0; i < m_tabPickFirstToRedraw.length(); ++i) {
      AcDbObjectId id = m_tabPickFirstToRedraw[i];
      if (id.database() != pDb) m_tabPickFirstToRedraw[kept++] = id;
    }
    m_tabPickFirstToRedraw.setLogicalLength(kept);
    reindex();
  });
}
