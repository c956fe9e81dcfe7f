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

  static Adesk::Int32 m_nMarkDepth;
  static Adesk::Int32 m_nExpectedState;
  static bool m_bBackToMarkPending;
  static bool m_bCommandEnding;
  static AcApDocument* m_pLockedDoc;

 private:
  // The counter seen when the last roll-back step was posted: a step that
  // leaves it unchanged (undo off, nothing left to undo) ends the roll-back,
  // unless it may have undone one of the unmarked commands that ran since
  // the last mark; those are counted here, and each allows one such step.
  static Adesk::Int32 m_nLastStepState;
  static Adesk::Int32 m_nUnmarkedSinceMark;
};
