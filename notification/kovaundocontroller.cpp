// The undo marker object and the undo controller.
#include "kovaundocontroller.h"
#include <cstdint>
#include <KOVATools.h>
#include <KvTrace.h>
#include <dbapserv.h>
#include <utility>
#include <vector>

#define KV_SOURCE_FILE L"kovaundocontroller"

namespace {
const ACHAR kDictionaryName[] = L"KOVA_UNDO_DICTIONARY";
const ACHAR kEntryName[] = L"KOVA_UNDO_OBJECT";
const ACHAR kClassName[] = L"KOVAUndoObject";
const Adesk::UInt16 kRecordVersion = 1;
bool s_bRegisteredHere = false;

AcRxDictionary* classDictionary() { return static_cast<AcRxDictionary*>(acrxSysRegistry()->at(ACRX_CLASS_DICTIONARY)); }
AcRxObject* createUndoObject() { return new KOVAUndoObject; }
}  // namespace

// ---- The marker object ----

AcRxClass* KOVAUndoObject::s_pDesc = nullptr;

AcRxClass* KOVAUndoObject::desc() {
  if (s_pDesc == nullptr) s_pDesc = AcRxClass::cast(classDictionary()->at(kClassName));
  return s_pDesc;
}

AcRxClass* KOVAUndoObject::isA() const { return desc(); }

void KOVAUndoObject::rxInit() {
  // Whatever stands under the name must be this very class.
  if (AcRxObject* found = classDictionary()->at(kClassName)) {
    if (found == s_pDesc) return;
    acrx_abort(L"Class mismatch");
  }
  s_pDesc = newAcRxClass(kClassName, L"AcDbObject", 29, 6, 0, createUndoObject, L"KOVA_UNDO_OBJECT", L"KOVA_ORBAPP");
  s_bRegisteredHere = s_pDesc != nullptr;
}

void KOVAUndoObject::rxUninit() {
  if (!s_bRegisteredHere) return;
  AcRxClass* cls = desc();
  s_bRegisteredHere = false;
  if (cls != nullptr && classDictionary()->at(kClassName) == cls) deleteAcRxClass(cls);
  // Only now: turning the instances into proxies asks them their class,
  // which would cache the descriptor again just before it is deleted.
  s_pDesc = nullptr;
}

KOVAUndoObject::KOVAUndoObject() : m_nState(0) {}
KOVAUndoObject::~KOVAUndoObject() = default;

Adesk::Int32 KOVAUndoObject::getState() const {
  return KV_GUARDED(L"KOVAUndoObject::getState", [&] {
    assertReadEnabled();
    return m_nState;
  });
}

void KOVAUndoObject::incState() {
  KV_GUARDED(L"KOVAUndoObject::incState", [&] {
    assertWriteEnabled(true, true);
    // A counter read from a drawing may stand at the top already: start
    // again from zero rather than overflow into the negative values.
    m_nState = m_nState == INT32_MAX ? 0 : m_nState + 1;
  });
}

Acad::ErrorStatus KOVAUndoObject::dwgOutFields(AcDbDwgFiler* filer) const {
  return KV_GUARDED(L"KOVAUndoObject::dwgOutFields", [&] {
    assertReadEnabled();
    Acad::ErrorStatus es = AcDbObject::dwgOutFields(filer);
    if (es != Acad::eOk) return es;
    filer->writeUInt16(kRecordVersion);
    filer->writeInt32(m_nState);
    return Acad::eOk;
  });
}

Acad::ErrorStatus KOVAUndoObject::dwgInFields(AcDbDwgFiler* filer) {
  return KV_GUARDED(L"KOVAUndoObject::dwgInFields", [&] {
    assertWriteEnabled(true, true);
    Acad::ErrorStatus es = AcDbObject::dwgInFields(filer);
    if (es != Acad::eOk) return es;
    Adesk::UInt16 version = 0;
    filer->readUInt16(&version);
    if (version > kRecordVersion) return Acad::eMakeMeProxy;
    filer->readInt32(&m_nState);
    return Acad::eOk;
  });
}

Acad::ErrorStatus KOVAUndoObject::dxfOutFields(AcDbDxfFiler* filer) const {
  return KV_GUARDED(L"KOVAUndoObject::dxfOutFields", [&] {
    assertReadEnabled();
    Acad::ErrorStatus es = AcDbObject::dxfOutFields(filer);
    if (es != Acad::eOk) return es;
    filer->writeString(AcDb::kDxfSubclass, L"KOVA_UNDO_OBJECT");
    filer->writeInt16(AcDb::kDxfInt16, static_cast<Adesk::Int16>(kRecordVersion));
    filer->writeInt32(AcDb::kDxfInt32, m_nState);
    return filer->filerStatus();
  });
}

Acad::ErrorStatus KOVAUndoObject::dxfInFields(AcDbDxfFiler* filer) {
  return KV_GUARDED(L"KOVAUndoObject::dxfInFields", [&] {
    assertWriteEnabled(true, true);
    if (AcDbObject::dxfInFields(filer) != Acad::eOk || !filer->atSubclassData(L"KOVA_UNDO_OBJECT"))
      return filer->filerStatus();
    resbuf item;
    filer->readItem(&item);
    if (item.restype != AcDb::kDxfInt16) {
      filer->pushBackItem();
      filer->setError(Acad::eInvalidDxfCode, L"\nError: expected group code %d", AcDb::kDxfInt16);
      return filer->filerStatus();
    }
    if (static_cast<Adesk::UInt16>(item.int32) > kRecordVersion) return Acad::eMakeMeProxy;
    resbuf counter;
    filer->readItem(&counter);
    if (counter.restype != AcDb::kDxfInt32) {
      filer->pushBackItem();
      filer->setError(Acad::eInvalidDxfCode, L"\nError: expected group code %d", AcDb::kDxfInt32);
      return filer->filerStatus();
    }
    m_nState = counter.int32;
    return filer->filerStatus();
  });
}

// ---- The controller ----

namespace {

AcDbDatabase* workingDatabase() { return acdbHostApplicationServices()->workingDatabase(); }

// One drawing's undo state.
struct KOVAUndoRecord {
  AcDbDatabase* pDb = nullptr;
  Adesk::Int32 nMarkDepth = 0;
  // The outermost mark: the counter it found, and whether its work is on
  // the drawing's undo record (undo recording on, write access granted).
  Adesk::Int32 nExpectedState = -1;
  bool bMarkRecorded = false;
  // Commands and operations of this drawing on the stack, and the
  // roll-back asked for the end of the outermost one.
  int nOperations = 0;
  bool bRequested = false;
  // The roll-back under way: whether it posted a step (and the counter seen
  // then), and how many of its steps have not ended yet. A step that
  // leaves the counter unchanged (undo off, nothing left to undo) ends it,
  // unless it may have undone one of the unmarked commands that ran since
  // the mark; those are counted, and each allows one such step.
  bool bPending = false;
  bool bStepPosted = false;
  Adesk::Int32 nLastStepState = 0;
  int nStepsRunning = 0;
  Adesk::Int32 nUnmarkedSinceMark = 0;
  // The document locked by the drawing's modeless marks (null when the
  // lock was refused), and how many of those marks are open.
  int nLockingMarks = 0;
  AcApDocument* pLockedDoc = nullptr;

  bool holdsNothing() const {
    return nMarkDepth == 0 && nOperations == 0 && !bPending && nLockingMarks == 0 && !bMarkRecorded;
  }
};

// A command or modeless operation whose start was heard.
struct KOVARunningOperation {
  AcDbDatabase* pDb;  // null once its drawing went
  bool bUndoStep;
  bool bMarked;
  bool bLocking;
};

std::vector<KOVAUndoRecord>& records() {
  static std::vector<KOVAUndoRecord> all;
  return all;
}

std::vector<KOVARunningOperation>& operations() {
  static std::vector<KOVARunningOperation> running;
  return running;
}

KOVARunningOperation* runningOperation() { return operations().empty() ? nullptr : &operations().back(); }

KOVAUndoRecord* recordOf(AcDbDatabase* db) {
  for (KOVAUndoRecord& r : records())
    if (r.pDb == db) return &r;
  return nullptr;
}

KOVAUndoRecord& recordFor(AcDbDatabase* db) {
  if (KOVAUndoRecord* r = recordOf(db)) return *r;
  records().push_back(KOVAUndoRecord());
  records().back().pDb = db;
  return records().back();
}

// The record of the running operation's drawing; null outside any
// operation, or when its drawing has none (and create is false).
KOVAUndoRecord* runningRecord(bool create) {
  KOVARunningOperation* op = runningOperation();
  if (op == nullptr || op->pDb == nullptr) return nullptr;
  return create ? &recordFor(op->pDb) : recordOf(op->pDb);
}

void dropIfEmpty(AcDbDatabase* db) {
  auto& all = records();
  for (size_t i = 0; i < all.size(); ++i)
    if (all[i].pDb == db && all[i].holdsNothing()) all.erase(all.begin() + static_cast<std::ptrdiff_t>(i));
}

bool findMarker(AcDbObjectId& id, AcDbDatabase* db) {
  id.setNull();
  return db != nullptr && KOVADatabaseTools::isEntryInDictionary(kDictionaryName, kEntryName, id, db) != 0;
}

// What the drawing's marker tells: nothing when it has none (a mark that
// created it is undone with it), nor when this class cannot read it (a
// record of a newer version), or its counter.
enum class KOVAMarkerReading { kMissing, kUnreadable, kRead };

KOVAMarkerReading readCounter(AcDbDatabase* db, Adesk::Int32& state) {
  AcDbObjectId id;
  if (!findMarker(id, db)) return KOVAMarkerReading::kMissing;
  AcDbObjectPointer<KOVAUndoObject> marker(id, AcDb::kForRead);
  if (!marker) return KOVAMarkerReading::kUnreadable;
  state = marker->getState();
  return KOVAMarkerReading::kRead;
}

// Marks count up and go from the largest value on to 0: a counter that
// wrapped since the mark stands above it although it is smaller.
bool aboveMark(Adesk::Int32 state, Adesk::Int32 mark) {
  if (state < 0 || mark < 0) return state > mark;
  const int64_t cycle = int64_t(INT32_MAX) + 1;
  const int64_t ahead = (int64_t(state) - mark + cycle) % cycle;
  return ahead != 0 && ahead < cycle / 2;
}

void endRollBack(KOVAUndoRecord& r) {
  r.bPending = false;
  r.bStepPosted = false;
}

// Posts the next undo step to the record's document, or ends its roll-back.
void continueRollBack(KOVAUndoRecord& r) {
  AcApDocument* doc = acDocManagerPtr()->document(r.pDb);
  if (doc == nullptr || !r.bMarkRecorded) return endRollBack(r);
  Adesk::Int32 state = 0;
  const KOVAMarkerReading reading = readCounter(r.pDb, state);
  const bool read = reading == KOVAMarkerReading::kRead;
  if (r.bStepPosted) {
    // Done when the counter is back. A step that did not move it undid an
    // unmarked command's group, or nothing at all: once the unmarked
    // commands are used up, every further step would do no more.
    const bool unmoved = state == r.nLastStepState;
    if (!read || !aboveMark(state, r.nExpectedState) || (unmoved && r.nUnmarkedSinceMark <= 0)) return endRollBack(r);
    if (unmoved) --r.nUnmarkedSinceMark;
  } else if (reading == KOVAMarkerReading::kMissing || (read && !aboveMark(state, r.nExpectedState))) {
    return endRollBack(r);  // the marked work is undone already
  }
  r.bStepPosted = true;
  r.nLastStepState = state;
  ++r.nStepsRunning;
  acDocManagerPtr()->sendStringToExecute(doc, L"_UNDO 1\n", true, false, false);
}

}  // namespace

void KOVAUndoController::operationWillStart(bool undoStep) {
  KV_GUARDED(L"KOVAUndoController::operationWillStart", [&] {
    AcDbDatabase* db = workingDatabase();
    operations().push_back({db, undoStep, false, false});
    if (db == nullptr) return;
    // A request made before the drawing's outermost operation is not its.
    KOVAUndoRecord& r = recordFor(db);
    if (r.nOperations++ == 0) r.bRequested = false;
  });
}

// Clients hear the lock, the marker's making and its change, and may run
// commands or close drawings meanwhile: a record is looked up again after
// each of them, never held across.
void KOVAUndoController::startUndoMark(bool lock) {
  KV_GUARDED(L"KOVAUndoController::startUndoMark", [&] {
    KOVARunningOperation* op = runningOperation();
    if (op == nullptr || op->pDb == nullptr || op->bMarked) return;
    op->bMarked = true;
    op->bLocking = lock;
    AcDbDatabase* db = op->pDb;
    bool outermost = false;
    bool locks = false;
    {
      KOVAUndoRecord& r = recordFor(db);
      // Only the outermost mark says where a roll-back goes back to; one
      // that starts while a roll-back is under way is taken back with it.
      outermost = r.nMarkDepth == 0 && !r.bPending;
      locks = lock && r.nLockingMarks++ == 0;
      ++r.nMarkDepth;
      if (outermost) {
        r.nExpectedState = -1;
        r.nUnmarkedSinceMark = 0;
      }
    }
    if (locks) {
      // Only a lock actually granted is remembered: a vetoed one must not be
      // released at the end of the mark, it would drop someone else's lock.
      AcApDocument* doc = acDocManagerPtr()->document(db);
      const bool granted =
          doc != nullptr && acDocManagerPtr()->lockDocument(doc, AcAp::kWrite, nullptr, nullptr, false) == Acad::eOk;
      if (KOVAUndoRecord* r = recordOf(db)) r->pLockedDoc = granted ? doc : nullptr;
    }
    if (outermost) {
      // An operation whose write lock was refused can record nothing.
      if (KOVAUndoRecord* r = recordOf(db)) r->bMarkRecorded = db->undoRecording() && (!lock || r->pLockedDoc != nullptr);
    }
    AcDbObjectId id;
    if (!findMarker(id, db)) {
      auto* marker = new KOVAUndoObject;
      if (!KOVADatabaseTools::appendToDictionary(kDictionaryName, marker, id, db, true, kEntryName)) delete marker;
    }
    Adesk::Int32 state = -1;
    {
      AcDbObjectPointer<KOVAUndoObject> marker(id, AcDb::kForRead);
      if (!marker) return;
      state = marker->getState();
      if (marker->upgradeOpen() == Acad::eOk) marker->incState();
    }
    if (KOVAUndoRecord* r = recordOf(db); r != nullptr && outermost) r->nExpectedState = state;
  });
}

void KOVAUndoController::endUndoMark(bool unlock) {
  KV_GUARDED(L"KOVAUndoController::endUndoMark", [&] {
    KOVARunningOperation* op = runningOperation();
    KOVAUndoRecord* r = runningRecord(false);
    if (r == nullptr) return;
    if (!op->bMarked) {
      // Commands inside a mark share its group; the steps of a roll-back
      // are the roll-back's own.
      if (r->nMarkDepth == 0 && !r->bPending && !op->bUndoStep) ++r->nUnmarkedSinceMark;
      return;
    }
    op->bMarked = false;
    if (r->nMarkDepth > 0) --r->nMarkDepth;
    AcApDocument* unlocking = nullptr;
    if (unlock && op->bLocking && r->nLockingMarks > 0 && --r->nLockingMarks == 0) std::swap(unlocking, r->pLockedDoc);
    if (unlocking != nullptr) acDocManagerPtr()->unlockDocument(unlocking);
  });
}

void KOVAUndoController::backToMark() {
  KV_GUARDED(L"KOVAUndoController::backToMark", [&] {
    KOVAUndoRecord* r = runningRecord(true);
    if (r == nullptr) return;
    // A roll-back under way goes back to its mark, before this request's.
    if (r->bPending && (r->bStepPosted || r->nStepsRunning > 0)) return;
    r->bPending = true;
    r->bStepPosted = false;
    if (r->nMarkDepth == 0) continueRollBack(*r);
  });
}

void KOVAUndoController::checkMark() {
  KV_GUARDED(L"KOVAUndoController::checkMark", [&] {
    KOVARunningOperation* op = runningOperation();
    KOVAUndoRecord* r = runningRecord(false);
    // While a mark is open the roll-back waits for its end.
    if (r == nullptr || !r->bPending || r->nMarkDepth > 0) return;
    if (r->nStepsRunning == 0) return continueRollBack(*r);
    // Work done while a step waits in the queue is taken back too.
    if (!op->bUndoStep) return void(++r->nUnmarkedSinceMark);
    --r->nStepsRunning;
    continueRollBack(*r);
  });
}

void KOVAUndoController::operationEnded() {
  KV_GUARDED(L"KOVAUndoController::operationEnded", [&] {
    // An end whose start nobody heard belongs to no known drawing.
    if (operations().empty()) return;
    AcDbDatabase* db = operations().back().pDb;
    operations().pop_back();
    if (KOVAUndoRecord* r = recordOf(db)) {
      // The drawing's outermost end served its roll-back, or failed before
      // it could: one that posted no step is over.
      if (r->nOperations > 0 && --r->nOperations == 0) {
        r->bRequested = false;
        if (r->nStepsRunning == 0) endRollBack(*r);
      }
      dropIfEmpty(db);
    }
  });
}

void KOVAUndoController::requestRollBack(bool value) {
  KV_GUARDED(L"KOVAUndoController::requestRollBack", [&] {
    if (KOVAUndoRecord* r = runningRecord(value)) r->bRequested = value;
  });
}

bool KOVAUndoController::rollBackRequested() {
  const KOVAUndoRecord* r = runningRecord(false);
  return r != nullptr && r->bRequested;
}

bool KOVAUndoController::operationsRunning() { return !operations().empty(); }

void KOVAUndoController::forgetDatabase(AcDbDatabase* db) {
  KV_GUARDED(L"KOVAUndoController::forgetDatabase", [&] {
    if (db == nullptr) return;
    for (KOVARunningOperation& op : operations())
      if (op.pDb == db) op.pDb = nullptr;
    // The host drops the locks of a document it closes.
    auto& all = records();
    for (size_t i = 0; i < all.size(); ++i)
      if (all[i].pDb == db) all.erase(all.begin() + static_cast<std::ptrdiff_t>(i));
  });
}

void KOVAUndoController::abandonMarks() {
  KV_GUARDED(L"KOVAUndoController::abandonMarks", [&] {
    std::vector<KOVAUndoRecord> abandoned;
    abandoned.swap(records());
    operations().clear();
    for (const KOVAUndoRecord& r : abandoned)
      if (r.pLockedDoc != nullptr) acDocManagerPtr()->unlockDocument(r.pLockedDoc);
  });
}
