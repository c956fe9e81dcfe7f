// The undo marker object and the undo controller.
#include "kovaundocontroller.h"
#include <cstdint>
#include <KOVATools.h>
#include <KvTrace.h>
#include <dbapserv.h>
#include "kovamarkerlookup.h"

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

Adesk::Int32 KOVAUndoController::m_nMarkDepth = 0;
Adesk::Int32 KOVAUndoController::m_nExpectedState = -1;
bool KOVAUndoController::m_bBackToMarkPending = false;
bool KOVAUndoController::m_bCommandEnding = false;
AcApDocument* KOVAUndoController::m_pLockedDoc = nullptr;
AcDbDatabase* KOVAUndoController::m_pMarkDb = nullptr;
bool KOVAUndoController::m_bMarkRecorded = false;
AcDbDatabase* KOVAUndoController::m_pOperationDb = nullptr;
int KOVAUndoController::m_nOperationDepth = 0;
bool KOVAUndoController::m_bStepPosted = false;
Adesk::Int32 KOVAUndoController::m_nLastStepState = 0;
Adesk::Int32 KOVAUndoController::m_nUnmarkedSinceMark = 0;

namespace {

AcDbDatabase* workingDatabase() { return acdbHostApplicationServices()->workingDatabase(); }

bool findMarker(AcDbObjectId& id, AcDbDatabase* db) {
  id.setNull();
  return db != nullptr && KOVAMarkerLookup::find(kDictionaryName, kEntryName, id, db);
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

}  // namespace

void KOVAUndoController::startUndoMark(bool lock) {
  KV_GUARDED(L"KOVAUndoController::startUndoMark", [&] {
    AcDbDatabase* db = workingDatabase();
    if (lock && m_pLockedDoc == nullptr) {
      // Only a lock actually granted is remembered: a vetoed one must not be
      // released at the end of the mark, it would drop someone else's lock.
      AcApDocument* doc = acDocManagerPtr()->curDocument();
      if (doc != nullptr && acDocManagerPtr()->lockDocument(doc, AcAp::kWrite, nullptr, nullptr, false) == Acad::eOk)
        m_pLockedDoc = doc;
    }
    AcDbObjectId id;
    if (!findMarker(id, db)) {
      auto* marker = new KOVAUndoObject;
      if (!KOVADatabaseTools::appendToDictionary(kDictionaryName, marker, id, db, true, kEntryName)) delete marker;
    }
    if (!m_bCommandEnding) {
      m_nExpectedState = -1;
      m_nUnmarkedSinceMark = 0;
      m_pMarkDb = db;
      // An operation whose write lock was refused can record nothing.
      m_bMarkRecorded = db != nullptr && db->undoRecording() && (!lock || m_pLockedDoc != nullptr);
    }
    AcDbObjectPointer<KOVAUndoObject> marker(id, AcDb::kForRead);
    if (marker) {
      if (!m_bCommandEnding) m_nExpectedState = marker->getState();
      if (marker->upgradeOpen() == Acad::eOk) marker->incState();
    }
    ++m_nMarkDepth;
  });
}

void KOVAUndoController::endUndoMark(bool unlock) {
  KV_GUARDED(L"KOVAUndoController::endUndoMark", [&] {
    if (unlock && m_pLockedDoc != nullptr) {
      acDocManagerPtr()->unlockDocument(m_pLockedDoc);
      m_pLockedDoc = nullptr;
    }
    if (m_nMarkDepth > 0) --m_nMarkDepth;
  });
}

void KOVAUndoController::backToMark() {
  KV_GUARDED(L"KOVAUndoController::backToMark", [&] {
    m_bBackToMarkPending = true;
    m_bStepPosted = false;
    if (m_nMarkDepth > 0) return;
    m_nMarkDepth = 0;
    continueRollBack();
  });
}

void KOVAUndoController::checkMark() {
  KV_GUARDED(L"KOVAUndoController::checkMark", [&] {
    // While a mark is open the roll-back waits for its end.
    if (m_bBackToMarkPending && m_nMarkDepth <= 0) continueRollBack();
  });
}

void KOVAUndoController::endRollBack() {
  m_bBackToMarkPending = false;
  m_bStepPosted = false;
}

// Posts the next undo step to the mark's drawing, or ends the roll-back.
void KOVAUndoController::continueRollBack() {
  // Only the drawing the ending command ran in is rolled back, and only
  // when it is the mark's and that mark's work is on its undo record.
  AcApDocument* doc = m_pOperationDb == m_pMarkDb ? acDocManagerPtr()->document(m_pMarkDb) : nullptr;
  if (doc == nullptr || !m_bMarkRecorded) return endRollBack();
  Adesk::Int32 state = 0;
  const KOVAMarkerReading reading = readCounter(m_pMarkDb, state);
  const bool read = reading == KOVAMarkerReading::kRead;
  if (m_bStepPosted) {
    // Done when the counter is back. A step that did not move it undid an
    // unmarked command's group, or nothing at all: once the unmarked
    // commands are used up, every further step would do no more.
    const bool unmoved = state == m_nLastStepState;
    if (!read || !aboveMark(state, m_nExpectedState) || (unmoved && m_nUnmarkedSinceMark <= 0)) return endRollBack();
    if (unmoved) --m_nUnmarkedSinceMark;
  } else if (reading == KOVAMarkerReading::kMissing || (read && !aboveMark(state, m_nExpectedState))) {
    return endRollBack();  // the marked work is undone already
  }
  m_bStepPosted = true;
  m_nLastStepState = state;
  acDocManagerPtr()->sendStringToExecute(doc, L"_UNDO 1\n", true, false, false);
}

void KOVAUndoController::unmarkedCommandEnded() {
  KV_GUARDED(L"KOVAUndoController::unmarkedCommandEnded", [&] {
    // Commands inside a mark share its group; the steps of a roll-back are
    // the roll-back's own.
    if (m_nMarkDepth == 0 && !m_bBackToMarkPending) ++m_nUnmarkedSinceMark;
  });
}

bool KOVAUndoController::operationWillStart() {
  return KV_GUARDED(L"KOVAUndoController::operationWillStart", [&] {
    if (m_nOperationDepth++ > 0) return false;
    m_pOperationDb = workingDatabase();
    return true;
  });
}

void KOVAUndoController::operationEnded() {
  KV_GUARDED(L"KOVAUndoController::operationEnded", [&] {
    // An end whose start nobody heard belongs to no known drawing.
    if (m_nOperationDepth > 0) --m_nOperationDepth;
    if (m_nOperationDepth == 0) m_pOperationDb = nullptr;
  });
}

void KOVAUndoController::forgetDatabase(AcDbDatabase* db) {
  KV_GUARDED(L"KOVAUndoController::forgetDatabase", [&] {
    if (db == nullptr) return;
    KOVAMarkerLookup::forget(db);
    if (m_pMarkDb == db) {
      m_pMarkDb = nullptr;
      m_nExpectedState = -1;
    }
    if (m_pOperationDb == db) m_pOperationDb = nullptr;
    // The host drops the locks of a document it closes.
    if (m_pLockedDoc != nullptr && m_pLockedDoc->database() == db) m_pLockedDoc = nullptr;
  });
}

void KOVAUndoController::abandonMarks() {
  KV_GUARDED(L"KOVAUndoController::abandonMarks", [&] {
    endUndoMark(true);
    m_nMarkDepth = 0;
    m_nOperationDepth = 0;
    m_pOperationDb = nullptr;
    m_pMarkDb = nullptr;
    m_nExpectedState = -1;
    endRollBack();
  });
}
