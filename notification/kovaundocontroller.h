// Undo marks: the marker object each marked drawing keeps, and the
// controller that marks commands and rolls a drawing back to a mark.
#pragma once
#include <acdocman.h>
#include "kovaexport.h"

class KOVAUndoObject : public AcDbObject {
 public:
  static AcRxClass* desc();
  static KOVAUndoObject* cast(const AcRxObject* p) {
    return p && p->isKindOf(desc()) ? static_cast<KOVAUndoObject*>(const_cast<AcRxObject*>(p)) : nullptr;
  }
  AcRxClass* isA() const override;
  static void rxInit();
  // Removes the class registration, when there is one.
  static void rxUninit();

  KOVAUndoObject();
  ~KOVAUndoObject() override;
  Adesk::Int32 getState() const;
  void incState();

  Acad::ErrorStatus dwgInFields(AcDbDwgFiler* filer) override;
  Acad::ErrorStatus dwgOutFields(AcDbDwgFiler* filer) const override;
  Acad::ErrorStatus dxfInFields(AcDbDxfFiler* filer) override;
  Acad::ErrorStatus dxfOutFields(AcDbDxfFiler* filer) const override;

 private:
  Adesk::Int32 m_nState;
  static AcRxClass* s_pDesc;
};

class KOVAUndoController {
 public:
  static void startUndoMark(bool lock);
  static void endUndoMark(bool unlock);
  static void backToMark();
  static void checkMark();
  // A command without a mark of its own ended: its undo group, if any, lies
  // between the last mark and a roll-back asked for later.
  static void unmarkedCommandEnded();
  // A command or modeless operation starts in the current drawing; true
  // when it is the outermost one, to which roll-back requests belong.
  static bool operationWillStart();
  // Its handling is over, on every way out.
  static void operationEnded();
  // The drawing goes: no mark, lock or roll-back may refer to it any more.
  static void forgetDatabase(AcDbDatabase* db);
  // Nobody will hear the ends of the open marks any more: they end here,
  // the document lock is released and no roll-back goes on.
  static void abandonMarks();

  static Adesk::Int32 m_nMarkDepth;
  static Adesk::Int32 m_nExpectedState;
  static bool m_bBackToMarkPending;
  static bool m_bCommandEnding;
  static AcApDocument* m_pLockedDoc;

 private:
  static void continueRollBack();
  static void endRollBack();

  // The drawing whose counter m_nExpectedState was read from (null: no
  // mark to go back to), and whether that mark's work could be recorded
  // for undo at all (undo recording on, write access granted).
  static AcDbDatabase* m_pMarkDb;
  static bool m_bMarkRecorded;
  // The drawing of the outermost command or operation running, and how
  // deep commands and operations are nested in it.
  static AcDbDatabase* m_pOperationDb;
  static int m_nOperationDepth;
  // Whether the roll-back has posted a step, and the counter seen then: a
  // step that leaves it unchanged (undo off, nothing left to undo) ends the
  // roll-back, unless it may have undone one of the unmarked commands that
  // ran since the last mark; those are counted here, and each allows one
  // such step.
  static bool m_bStepPosted;
  static Adesk::Int32 m_nLastStepState;
  static Adesk::Int32 m_nUnmarkedSinceMark;
};
