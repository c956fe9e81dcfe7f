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

// Undo marks and roll-backs, kept for each drawing apart. A drawing's
// record, keyed by its database, holds: the marks started in it and not
// ended; the counter its outermost mark found (-1: nothing to go back to)
// and whether that mark's work could be recorded for undo at all; the
// roll-back asked for its outermost running command or operation; the
// roll-back under way and the undo steps posted to its document for it.
// What runs in one drawing - a mark, an end, an undo step - reads and
// changes that drawing's record only; a record that holds nothing is
// dropped, and so is the record of a drawing that goes. Every command and
// modeless operation whose start was heard stands on the stack of running
// operations with its drawing until its end, which belongs to that drawing
// whatever drawing is current by then.
class KOVAUndoController {
 public:
  // A command (undoStep: an UNDO or U) or a modeless operation starts in
  // the working drawing.
  static void operationWillStart(bool undoStep);
  // Marks the running operation's drawing; lock: also lock its document
  // for write, until the drawing's last locking mark ends.
  static void startUndoMark(bool lock);
  // Ends the running operation's mark, when it made one.
  static void endUndoMark(bool unlock);
  // The roll-back asked for at the running operation's end, or the next
  // step of one under way in its drawing.
  static void backToMark();
  static void checkMark();
  // The running operation's end is handled: it leaves the stack.
  static void operationEnded();
  // Asks for (or withdraws) the roll-back of the running operation's
  // drawing at the end of its outermost operation; whether one is asked.
  static void requestRollBack(bool value);
  static bool rollBackRequested();
  // Whether a command or modeless operation whose end will be heard runs.
  static bool operationsRunning();
  // The drawing goes: no mark, lock or roll-back may refer to it any more.
  static void forgetDatabase(AcDbDatabase* db);
  // Nobody will hear the ends of the running operations any more: their
  // marks end, their locks are released and no roll-back goes on.
  static void abandonMarks();
};
