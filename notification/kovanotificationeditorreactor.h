// Editor notifications: the dispatcher the module attaches to the host's
// editor, the base class of client editor reactors, and the pickfirst
// redraw set that the clients share.
#pragma once
#include <aced.h>
#include "kovaexport.h"
#include "kovaidset.h"
#include "kovafanout.h"

class KOVAEditorReactorDispathcer : public AcEditorReactor2, public KOVARetirable {
 public:
  KOVAEditorReactorDispathcer();
  ~KOVAEditorReactorDispathcer() override;

  // AcRxEventReactor
  void dwgFileOpened(AcDbDatabase*, ACHAR* fileName) override;
  void initialDwgFileOpenComplete(AcDbDatabase*) override;
  void databaseConstructed(AcDbDatabase*) override;
  void databaseToBeDestroyed(AcDbDatabase*) override;
  void beginSave(AcDbDatabase*, const ACHAR* pIntendedName) override;
  void saveComplete(AcDbDatabase*, const ACHAR* pActualName) override;
  void abortSave(AcDbDatabase*) override;
  void beginDxfIn(AcDbDatabase*) override;
  void abortDxfIn(AcDbDatabase*) override;
  void dxfInComplete(AcDbDatabase*) override;
  void beginDxfOut(AcDbDatabase*) override;
  void abortDxfOut(AcDbDatabase*) override;
  void dxfOutComplete(AcDbDatabase*) override;
  void beginInsert(AcDbDatabase* pTo, const ACHAR* pBlockName, AcDbDatabase* pFrom) override;
  void beginInsert(AcDbDatabase* pTo, const AcGeMatrix3d& xform, AcDbDatabase* pFrom) override;
  void otherInsert(AcDbDatabase* pTo, AcDbIdMapping& idMap, AcDbDatabase* pFrom) override;
  void abortInsert(AcDbDatabase* pTo) override;
  void endInsert(AcDbDatabase* pTo) override;
  void wblockNotice(AcDbDatabase* pDb) override;
  void beginWblock(AcDbDatabase* pTo, AcDbDatabase* pFrom, const AcGePoint3d*& insertionPoint) override;
  void beginWblock(AcDbDatabase* pTo, AcDbDatabase* pFrom, AcDbObjectId blockId) override;
  void beginWblock(AcDbDatabase* pTo, AcDbDatabase* pFrom) override;
  void otherWblock(AcDbDatabase* pTo, AcDbIdMapping&, AcDbDatabase* pFrom) override;
  void abortWblock(AcDbDatabase* pTo) override;
  void endWblock(AcDbDatabase* pTo) override;
  void beginWblockObjects(AcDbDatabase*, AcDbIdMapping&) override;
  void beginDeepClone(AcDbDatabase* pTo, AcDbIdMapping&) override;
  void beginDeepCloneXlation(AcDbIdMapping&, Acad::ErrorStatus*) override;
  void abortDeepClone(AcDbIdMapping&) override;
  void endDeepClone(AcDbIdMapping&) override;
  void partialOpenNotice(AcDbDatabase* pDb) override;
  void beginAttach(AcDbDatabase* pTo, const ACHAR*, AcDbDatabase* pFrom) override;
  void otherAttach(AcDbDatabase* pTo, AcDbDatabase* pFrom) override;
  void abortAttach(AcDbDatabase* pFrom) override;
  void endAttach(AcDbDatabase* pTo) override;
  void redirected(AcDbObjectId newId, AcDbObjectId oldId) override;
  void comandeered(AcDbDatabase* pTo, AcDbObjectId id, AcDbDatabase* pFrom) override;
  void beginRestore(AcDbDatabase* pTo, const ACHAR*, AcDbDatabase* pFrom) override;
  void abortRestore(AcDbDatabase* pTo) override;
  void endRestore(AcDbDatabase* pTo) override;

  // AcEditorReactor
  void unknownCommand(const ACHAR* cmdStr, AcDbVoidPtrArray* al) override;
  void commandWillStart(const ACHAR* cmdStr) override;
  void commandEnded(const ACHAR* cmdStr) override;
  void commandCancelled(const ACHAR* cmdStr) override;
  void commandFailed(const ACHAR* cmdStr) override;
  void lispWillStart(const ACHAR* firstLine) override;
  void lispEnded() override;
  void lispCancelled() override;
  void beginDwgOpen(ACHAR* filename) override;
  void endDwgOpen(const ACHAR* filename, AcDbDatabase* pDb) override;
  void sysVarChanged(const ACHAR* varName, Adesk::Boolean success) override;
  void sysVarWillChange(const ACHAR* varName) override;
  void xrefSubcommandBindItem(AcDbDatabase* pHost, int activity, AcDbObjectId blockId) override;
  void xrefSubcommandAttachItem(AcDbDatabase* pHost, int activity, const ACHAR* pPath) override;
  void xrefSubcommandOverlayItem(AcDbDatabase* pHost, int activity, const ACHAR* pPath) override;
  void xrefSubcommandDetachItem(AcDbDatabase* pHost, int activity, AcDbObjectId blockId) override;
  void xrefSubcommandPathItem(AcDbDatabase* pHost, int activity, AcDbObjectId blockId, const ACHAR* pNewPath) override;
  void xrefSubcommandReloadItem(AcDbDatabase* pHost, int activity, AcDbObjectId blockId) override;
  void xrefSubcommandUnloadItem(AcDbDatabase* pHost, int activity, AcDbObjectId blockId) override;
  void undoSubcommandAuto(int activity, Adesk::Boolean state) override;
  void undoSubcommandControl(int activity, int option) override;
  void undoSubcommandBegin(int activity) override;
  void undoSubcommandEnd(int activity) override;
  void undoSubcommandMark(int activity) override;
  void undoSubcommandBack(int activity) override;
  void undoSubcommandNumber(int activity, int num) override;
  void pickfirstModified() override;
  void layoutSwitched(const ACHAR* newLayoutName) override;
  void docFrameMovedOrResized(Adesk::LongPtr hwndDocFrame, bool bMoved) override;
  void mainFrameMovedOrResized(Adesk::LongPtr hwndMainFrame, bool bMoved) override;
  void beginDoubleClick(const AcGePoint3d& clickPoint) override;
  void beginRightClick(const AcGePoint3d& clickPoint) override;
  void toolbarBitmapSizeWillChange(Adesk::Boolean bLarge) override;
  void toolbarBitmapSizeChanged(Adesk::Boolean bLarge) override;
  void objectsLazyLoaded(const AcDbObjectIdArray& idArray) override;
  void beginQuit() override;
  void quitAborted() override;
  void quitWillStart() override;
  void modelessOperationWillStart(const ACHAR* contextStr) override;
  void modelessOperationEnded(const ACHAR* contextStr) override;
  void cmdIUnkModified(const ACHAR* strCommand) override;
  Acad::ErrorStatus xrefSubCommandStart(AcXrefSubCommand subcmd, const AcDbObjectIdArray& btrIds,
                                        const ACHAR* const* btrNames, const ACHAR* const* paths) override;
  void preXrefLockFile(AcDbObjectId btrId) override;
  void viewChanged() override;
  // The forms that lead with a database keep the host's own implementation.
  using AcEditorReactor::preXrefLockFile;
  using AcEditorReactor::xrefSubCommandStart;

  bool IsInterestingCommandForUndoMarker(const ACHAR* commandName);
  bool setPostUndoOnCommandFinish(bool value);

  // Whether a dispatcher lives: the current one, or one retired while a
  // notification of its own still runs.
  static bool exists();
  // What the command phases and the redraw set hold of a drawing that goes.
  static void forgetDatabase(AcDbDatabase* db);
  // No end of what runs now will be heard: open marks end, their lock is
  // released, the request and the redraw set are dropped, a save's filter
  // flag is cleared.
  static void abandonCommandPhases();
  // Whether a command, modeless operation or pickfirst handling runs whose
  // end a dispatcher must hear, even with no client left to forward it to.
  static bool phasesRunning();
  // The end of one of them was handled.
  static void phaseEnded();
  // A save command ended: its filter flag is cleared.
  static void saveEnded();

  void attachToHost() override;
  void detachFromHost() override;

 private:
  template <class Call>
  void forward(const char* name, Call&& call);
  void endCommand(const ACHAR* commandName, void (AcEditorReactor::*notification)(const ACHAR*), const char* name,
                  bool redraw);
  // At every end: the roll-back asked for, or the next step of one under way.
  void serveRequest();

  // Module-wide, like the redraw set it governs: a dispatcher that replaces
  // another during a handling must not take its own nested handling for
  // the outermost one.
  static int m_nPickFirstDepth;
  // Save commands running whose end has not cleared the filter flag yet.
  static int m_nSavesRunning;
  static int m_nInstances;
};

// Client editor reactors derive from this. The pickfirst redraw set is
// shared by all of them: entities queued while a pickfirst change or a
// command is handled are redrawn once, when the handling or command ends.
class KOVA_EXPORT KOVAEditorReactorBase : public AcEditorReactor2 {
 public:
  explicit KOVAEditorReactorBase(bool bRegister = true);
  KOVAEditorReactorBase(const KOVAEditorReactorBase& other);
  KOVAEditorReactorBase& operator=(const KOVAEditorReactorBase& other);
  ~KOVAEditorReactorBase() override;

  using AcEditorReactor::pickfirstModified;
  // The pickfirst set already read: its entities and their most derived
  // common class (null when there is none or an entity cannot be opened).
  virtual void pickfirstModified(ads_name ss, const AcArray<AcDbObjectId>& ids, AcRxClass* cls);

  static bool isDuringRedrawEntity();
  static void redrawEntity(const AcDbObjectId& id);
  static void redrawEntities();
  static void clearEntities();
  static AcRxClass* homogenity(const AcArray<AcDbObjectId>& ids);
  static void removeEntitiesMatchingDatabaseToBeDestroyed(AcDbDatabase* pDb);

  static bool m_bDuring3dPowerJigErase;

 protected:
  static AcArray<AcDbObjectId> m_tabPickFirstToRedraw;
  static bool m_bIsDuringRedraw;

 private:
  static AcRxClass* commonAncester(AcRxClass* first, AcRxClass* second);
  static bool isQueued(const AcDbObjectId& id);
  static void reindex();
  // Which ids the redraw set holds, so that queueing is not a scan, and how
  // many of the array's ids it was given.
  static KOVAIdSet m_setQueued;
  static int m_nIndexed;

  bool m_bRegistered;
};
