// The undo marker object and the undo controller.
#include "kovaundocontroller.h"
#include <climits>
#include <cstdint>
#include <KOVATools.h>
#include <KvTrace.h>
#include <dbapserv.h>

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
Adesk::Int32 KOVAUndoController::m_nExpectedState = 0;
bool KOVAUndoController::m_bBackToMarkPending = false;
bool KOVAUndoController::m_bCommandEnding = false;
AcApDocument* KOVAUndoController::m_pLockedDoc = nullptr;
Adesk::Int32 KOVAUndoController::m_nLastStepState = INT_MIN;
Adesk::Int32 KOVAUndoController::m_nUnmarkedSinceMark = 0;

namespace {

bool findMarker(AcDbObjectId& id) {
  id.setNull();
  return KOVADatabaseTools::isEntryInDictionary(kDictionaryName, kEntryName, id, nullptr) != 0;
}

// Without undo recording the marked work was never recorded: a step would
// undo whatever came before it instead.
bool undoRecorded() {
  AcDbDatabase* db = acdbHostApplicationServices()->workingDatabase();
  return db != nullptr && db->undoRecording();
}

void postUndoStep() { KOVAAcadSystemTools::postCommandToAutoCAD(CString(L"_UNDO 1"), true); }

}  // namespace

void KOVAUndoController::startUndoMark(bool lock) {
  KV_GUARDED(L"KOVAUndoController::startUndoMark", [&] {
    if (lock && m_pLockedDoc == nullptr) {
      // Only a lock actually granted is remembered: a vetoed one must not be
      // released at the end of the mark, it would drop someone else's lock.
      AcApDocument* doc = acDocManagerPtr()->curDocument();
      if (doc != nullptr && acDocManagerPtr()->lockDocument(doc, AcAp::kWrite, nullptr, nullptr, false) == Acad::eOk)
        m_pLockedDoc = doc;
    }
    AcDbObjectId id;
    if (!findMarker(id)) {
      auto* marker = new KOVAUndoObject;
      if (!KOVADatabaseTools::appendToDictionary(kDictionaryName, marker, id,
                                                 acdbHostApplicationServices()->workingDatabase(), true, kEntryName))
        delete marker;
    }
    if (!m_bCommandEnding) {
      m_nExpectedState = -1;
      m_nUnmarkedSinceMark = 0;
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
    m_nLastStepState = INT_MIN;
    if (m_nMarkDepth > 0) return;
    m_nMarkDepth = 0;
    if (!undoRecorded()) {
      m_bBackToMarkPending = false;
      return;
    }
    // Only a counter above the remembered value shows that marked work is
    // on the undo record; otherwise (no mark, or one whose increment failed)
    // a step would undo whatever came before, and nothing is posted.
    AcDbObjectId id;
    Adesk::Int32 state = INT_MIN;
    if (findMarker(id)) {
      AcDbObjectPointer<KOVAUndoObject> marker(id, AcDb::kForRead);
      if (marker) state = marker->getState();
    }
    if (m_nExpectedState == -1 || state <= m_nExpectedState) {
      m_bBackToMarkPending = false;
      return;
    }
    m_nLastStepState = state;
    postUndoStep();
  });
}

void KOVAUndoController::unmarkedCommandEnded() {
  KV_GUARDED(L"KOVAUndoController::unmarkedCommandEnded", [&] {
    // Commands inside a mark share its group; the steps of a roll-back are
    // the roll-back's own.
    if (m_nMarkDepth == 0 && !m_bBackToMarkPending) ++m_nUnmarkedSinceMark;
  });
}

void KOVAUndoController::checkMark() {
  KV_GUARDED(L"KOVAUndoController::checkMark", [&] {
    if (!m_bBackToMarkPending) return;
    AcDbObjectId id;
    if (m_nExpectedState == -1 || !undoRecorded() || !findMarker(id)) {
      m_bBackToMarkPending = false;
      return;
    }
    AcDbObjectPointer<KOVAUndoObject> marker(id, AcDb::kForRead);
    if (!marker) {
      m_bBackToMarkPending = false;
      return;
    }
    Adesk::Int32 state = marker->getState();
    // Done when the counter is back. A step that did not move it undid an
    // unmarked command's group, or nothing at all: once the unmarked
    // commands are used up, every further step would do no more.
    const bool unmoved = state == m_nLastStepState;
    if (m_nExpectedState >= state || (unmoved && m_nUnmarkedSinceMark <= 0)) {
      m_bBackToMarkPending = false;
      m_nLastStepState = INT_MIN;
      return;
    }
    if (unmoved) --m_nUnmarkedSinceMark;
    m_nLastStepState = state;
    postUndoStep();
  });
}
