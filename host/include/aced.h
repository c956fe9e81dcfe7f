// The editor: commands, LISP, system variables, the pickfirst selection and
// every editor notification. Event reactors hear database lifetime, save,
// DXF, insert, wblock, deep clone, xref and restore events.
#pragma once
#include "acdocman.h"

typedef Adesk::Int64 ads_name[2];
#define RTNORM 5100
#define RTERROR (-5001)
#define RTCAN (-5002)
struct resbuf;

enum AcXrefSubCommand {
  kAttach = 0,
  kBind = 1,
  kDetach = 2,
  kOverlay = 3,
  kPath = 4,
  kReload = 5,
  kResolve = 6,
  kUnload = 7,
  kXBind = 8,
};

class ACHOST_API AcRxEventReactor : public AcRxObject {
 public:
  ACRX_DECLARE_MEMBERS(AcRxEventReactor);
  ~AcRxEventReactor() override;
  virtual void dwgFileOpened(AcDbDatabase*, ACHAR* fileName);
  virtual void initialDwgFileOpenComplete(AcDbDatabase*);
  virtual void databaseConstructed(AcDbDatabase*);
  virtual void databaseToBeDestroyed(AcDbDatabase*);
  virtual void beginSave(AcDbDatabase*, const ACHAR* pIntendedName);
  virtual void saveComplete(AcDbDatabase*, const ACHAR* pActualName);
  virtual void abortSave(AcDbDatabase*);
  virtual void beginDxfIn(AcDbDatabase*);
  virtual void abortDxfIn(AcDbDatabase*);
  virtual void dxfInComplete(AcDbDatabase*);
  virtual void beginDxfOut(AcDbDatabase*);
  virtual void abortDxfOut(AcDbDatabase*);
  virtual void dxfOutComplete(AcDbDatabase*);
  virtual void beginInsert(AcDbDatabase* pTo, const ACHAR* pBlockName, AcDbDatabase* pFrom);
  virtual void beginInsert(AcDbDatabase* pTo, const AcGeMatrix3d& xform, AcDbDatabase* pFrom);
  virtual void otherInsert(AcDbDatabase* pTo, AcDbIdMapping& idMap, AcDbDatabase* pFrom);
  virtual void abortInsert(AcDbDatabase* pTo);
  virtual void endInsert(AcDbDatabase* pTo);
  virtual void wblockNotice(AcDbDatabase* pDb);
  virtual void beginWblock(AcDbDatabase* pTo, AcDbDatabase* pFrom, const AcGePoint3d*& insertionPoint);
  virtual void beginWblock(AcDbDatabase* pTo, AcDbDatabase* pFrom, AcDbObjectId blockId);
  virtual void beginWblock(AcDbDatabase* pTo, AcDbDatabase* pFrom);
  virtual void otherWblock(AcDbDatabase* pTo, AcDbIdMapping&, AcDbDatabase* pFrom);
  virtual void abortWblock(AcDbDatabase* pTo);
  virtual void endWblock(AcDbDatabase* pTo);
  virtual void beginWblockObjects(AcDbDatabase*, AcDbIdMapping&);
  virtual void beginDeepClone(AcDbDatabase* pTo, AcDbIdMapping&);
  virtual void beginDeepCloneXlation(AcDbIdMapping&, Acad::ErrorStatus*);
  virtual void abortDeepClone(AcDbIdMapping&);
  virtual void endDeepClone(AcDbIdMapping&);
  virtual void partialOpenNotice(AcDbDatabase* pDb);
  virtual void beginAttach(AcDbDatabase* pTo, const ACHAR*, AcDbDatabase* pFrom);
  virtual void otherAttach(AcDbDatabase* pTo, AcDbDatabase* pFrom);
  virtual void abortAttach(AcDbDatabase* pFrom);
  virtual void endAttach(AcDbDatabase* pTo);
  virtual void redirected(AcDbObjectId newId, AcDbObjectId oldId);
  virtual void comandeered(AcDbDatabase* pTo, AcDbObjectId id, AcDbDatabase* pFrom);
  virtual void beginRestore(AcDbDatabase* pTo, const ACHAR*, AcDbDatabase* pFrom);
  virtual void abortRestore(AcDbDatabase* pTo);
  virtual void endRestore(AcDbDatabase* pTo);
  virtual void xrefSubCommandStart(AcDbDatabase* pHostDb, AcXrefSubCommand op, const AcArray<AcDbObjectId>& ids,
                                   const ACHAR* const* btrNames, const ACHAR* const* paths, bool& vetoOp);
  virtual void xrefSubCommandAborted(AcDbDatabase* pHostDb, AcXrefSubCommand op, const AcArray<AcDbObjectId>& ids,
                                     const ACHAR* const* btrNames, const ACHAR* const* paths);
  virtual void preXrefLockFile(AcDbDatabase* pDb, AcDbObjectId btrId);
};

class ACHOST_API AcEditorReactor : public AcRxEventReactor {
 public:
  ACRX_DECLARE_MEMBERS(AcEditorReactor);
  AcEditorReactor() = default;
  AcEditorReactor(const AcEditorReactor&) = default;
  AcEditorReactor& operator=(const AcEditorReactor&) = default;
  ~AcEditorReactor() override;
  virtual void unknownCommand(const ACHAR* cmdStr, AcDbVoidPtrArray* al);
  virtual void commandWillStart(const ACHAR* cmdStr);
  virtual void commandEnded(const ACHAR* cmdStr);
  virtual void commandCancelled(const ACHAR* cmdStr);
  virtual void commandFailed(const ACHAR* cmdStr);
  virtual void lispWillStart(const ACHAR* firstLine);
  virtual void lispEnded();
  virtual void lispCancelled();
  virtual void beginClose(AcDbDatabase* pDwg);
  virtual void beginDwgOpen(ACHAR* filename);
  virtual void endDwgOpen(const ACHAR* filename, AcDbDatabase* pDb);
  virtual void sysVarChanged(const ACHAR* varName, Adesk::Boolean success);
  virtual void sysVarWillChange(const ACHAR* varName);
  virtual void xrefSubcommandBindItem(AcDbDatabase* pHost, int activity, AcDbObjectId blockId);
  virtual void xrefSubcommandAttachItem(AcDbDatabase* pHost, int activity, const ACHAR* pPath);
  virtual void xrefSubcommandOverlayItem(AcDbDatabase* pHost, int activity, const ACHAR* pPath);
  virtual void xrefSubcommandDetachItem(AcDbDatabase* pHost, int activity, AcDbObjectId blockId);
  virtual void xrefSubcommandPathItem(AcDbDatabase* pHost, int activity, AcDbObjectId blockId, const ACHAR* pNewPath);
  virtual void xrefSubcommandReloadItem(AcDbDatabase* pHost, int activity, AcDbObjectId blockId);
  virtual void xrefSubcommandUnloadItem(AcDbDatabase* pHost, int activity, AcDbObjectId blockId);
  virtual void undoSubcommandAuto(int activity, Adesk::Boolean state);
  virtual void undoSubcommandControl(int activity, int option);
  virtual void undoSubcommandBegin(int activity);
  virtual void undoSubcommandEnd(int activity);
  virtual void undoSubcommandMark(int activity);
  virtual void undoSubcommandBack(int activity);
  virtual void undoSubcommandNumber(int activity, int num);
  virtual void pickfirstModified();
  virtual void layoutSwitched(const ACHAR* newLayoutName);
  virtual void docFrameMovedOrResized(Adesk::LongPtr hwndDocFrame, bool bMoved);
  virtual void mainFrameMovedOrResized(Adesk::LongPtr hwndMainFrame, bool bMoved);
  virtual void beginDoubleClick(const AcGePoint3d& clickPoint);
  virtual void beginRightClick(const AcGePoint3d& clickPoint);
  virtual void toolbarBitmapSizeWillChange(Adesk::Boolean bLarge);
  virtual void toolbarBitmapSizeChanged(Adesk::Boolean bLarge);
  virtual void objectsLazyLoaded(const AcDbObjectIdArray& idArray);
  virtual void beginQuit();
  virtual void quitAborted();
  virtual void quitWillStart();
  virtual void modelessOperationWillStart(const ACHAR* contextStr);
  virtual void modelessOperationEnded(const ACHAR* contextStr);
  virtual void cmdIUnkModified(const ACHAR* strCommand);
  virtual Acad::ErrorStatus xrefSubCommandStart(AcXrefSubCommand subcmd, const AcDbObjectIdArray& btrIds,
                                                const ACHAR* const* btrNames, const ACHAR* const* paths);
  virtual void preXrefLockFile(AcDbObjectId btrId);
  virtual void viewChanged();
  using AcRxEventReactor::preXrefLockFile;
  using AcRxEventReactor::xrefSubCommandStart;

 private:
  unsigned char m_hostState = 0;  // the host's own byte
};

class ACHOST_API AcEditorReactor2 : public AcEditorReactor {
 public:
  ACRX_DECLARE_MEMBERS(AcEditorReactor2);
  ~AcEditorReactor2() override;
  virtual void beginDocClose(AcDbDatabase* pDwg);
  virtual void docCloseAborted(AcDbDatabase* pDwg);
  virtual void docCloseWillStart(AcDbDatabase* pDwg);
  virtual void layoutToBeSwitched(const ACHAR* oldLayoutName, const ACHAR* newLayoutName);
  virtual void dwgViewResized(Adesk::LongPtr hwndDwgView);
};

// The editor, found in the system registry under "AcEditor".
class ACHOST_API AcEditor : public AcRxObject {
 public:
  ACRX_DECLARE_MEMBERS(AcEditor);
  AcEditor();
  ~AcEditor() override;
  void addReactor(AcRxEventReactor* reactor);
  void removeReactor(AcRxEventReactor* reactor);
  AcArray<AcRxEventReactor*> reactors() const;

  struct Impl;
  Impl* impl() const { return m_pImpl; }

 private:
  Impl* m_pImpl;
};

ACHOST_API AcEditor* acedEditorPtr();
#define acedEditor acedEditorPtr()

// Selection sets. "_I" reads the current document's pickfirst set.
ACHOST_API int acedSSGet(const ACHAR* str, const void* pt1, const void* pt2, const resbuf* filter, ads_name ss);
ACHOST_API int acedSSFree(const ads_name sname);
ACHOST_API int acedSSLength(const ads_name sname, Adesk::Int32* len);
ACHOST_API int acedSSName(const ads_name ss, Adesk::Int32 i, ads_name entres);
ACHOST_API Acad::ErrorStatus acdbGetObjectId(AcDbObjectId& objId, const ads_name objName);
ACHOST_API Acad::ErrorStatus acdbGetAdsName(ads_name& objName, AcDbObjectId objId);
// Replaces the current document's pickfirst set and tells the editor's reactors.
ACHOST_API int acedSSSetFirst(const ads_name pset, const ads_name unused);

// The host's UI library.
ACHOST_API bool InitAcUiDLL();
