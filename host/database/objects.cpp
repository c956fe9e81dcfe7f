// Objects, their ids and the open discipline.
#include "database/dbimpl.h"

namespace {

// An entity closed with its graphics marked modified is redrawn.
void graphicsModified(AcDbObject* object) {
  kvhost::databaseWatchers().notify([&](kvhost::DatabaseWatcher* w) { w->graphicsModified(object); });
}

}  // namespace

const AcDbObjectId AcDbObjectId::kNull;

// ---- Ids ----

AcDbDatabase* AcDbObjectId::database() const { return mId ? mId->db : nullptr; }
bool AcDbObjectId::isErased() const { return mId && mId->erased; }
AcDbHandle AcDbObjectId::handle() const { return mId ? mId->handle : 0; }

// ---- Objects ----

AcDbObject::AcDbObject() {
  // A new object is open for write until it is appended and closed.
  m_open.writer = true;
  m_bNew = true;
}
AcDbObject::~AcDbObject() = default;

AcDbObjectId AcDbObject::objectId() const { return AcDbObjectId(m_pStub); }
AcDbDatabase* AcDbObject::database() const { return m_pStub ? m_pStub->db : nullptr; }
bool AcDbObject::isErased() const { return m_pStub && m_pStub->erased; }
bool AcDbObject::isReadEnabled() const { return m_open.readers > 0 || m_open.writer; }
bool AcDbObject::isWriteEnabled() const { return m_open.writer; }

void AcDbObject::assertReadEnabled() const {
  if (!isReadEnabled()) throw AcDbAssertionError{Acad::eNotOpenForRead};
}

void AcDbObject::assertWriteEnabled(bool autoUndo, bool recordModified) {
  if (!m_open.writer) throw AcDbAssertionError{Acad::eNotOpenForWrite};
  if (m_open.writeAsserted || m_pStub == nullptr) return;
  m_open.writeAsserted = true;
  if (autoUndo) kvhost::recordForUndo(this);
  if (recordModified) m_bModified = true;
  if (!m_bNew) {
    AcDbDatabase* db = database();
    kvhost::notifyDb(db, [&](AcDbDatabaseReactor* r) { r->objectOpenedForModify(db, this); });
  }
}

Acad::ErrorStatus AcDbObject::close() {
  if (m_pStub == nullptr) return Acad::eNotInDatabase;
  if (m_open.readers > 0) {
    --m_open.readers;
    return Acad::eOk;
  }
  if (!m_open.writer) return Acad::eNotOpenForRead;
  bool modified = m_open.writeAsserted && !m_bNew;
  bool redraw = m_open.graphicsModified;
  m_open = OpenState();
  m_bNew = false;
  AcDbDatabase* db = database();
  if (modified) kvhost::notifyDb(db, [&](AcDbDatabaseReactor* r) { r->objectModified(db, this); });
  if (redraw) graphicsModified(this);
  return Acad::eOk;
}

Acad::ErrorStatus AcDbObject::upgradeOpen() {
  if (m_open.writer) return Acad::eOk;
  if (m_open.readers != 1) return m_open.readers == 0 ? Acad::eNotOpenForRead : Acad::eWasOpenForRead;
  if (!kvhost::isWriteLocked(database())) return Acad::eLockViolation;
  m_open.readers = 0;
  m_open.writer = true;
  m_open.writeAsserted = false;
  return Acad::eOk;
}

Acad::ErrorStatus AcDbObject::downgradeOpen() {
  if (!m_open.writer) return Acad::eNotOpenForWrite;
  // The write ends here as it would at a close, with its notifications.
  bool modified = m_open.writeAsserted && !m_bNew;
  bool redraw = m_open.graphicsModified && m_pStub != nullptr;
  m_open = OpenState();
  m_open.readers = 1;
  if (m_pStub != nullptr) m_bNew = false;
  AcDbDatabase* db = database();
  if (modified) kvhost::notifyDb(db, [&](AcDbDatabaseReactor* r) { r->objectModified(db, this); });
  if (redraw) graphicsModified(this);
  return Acad::eOk;
}

Acad::ErrorStatus AcDbObject::erase(bool erasing) {
  if (m_pStub == nullptr) return Acad::eNotInDatabase;
  if (!m_open.writer) return Acad::eNotOpenForWrite;
  if (m_pStub->erased == erasing) return erasing ? Acad::eWasErased : Acad::eWasNotErased;
  assertWriteEnabled(true, true);
  m_pStub->erased = erasing;
  AcDbDatabase* db = database();
  kvhost::notifyDb(db, [&](AcDbDatabaseReactor* r) { r->objectErased(db, this, erasing); });
  return Acad::eOk;
}

Acad::ErrorStatus AcDbObject::dwgInFields(AcDbDwgFiler* filer) {
  assertWriteEnabled(false, false);
  AcDbObjectId owner;
  filer->readSoftPointerId(&owner);
  m_ownerId = owner;
  return filer->filerStatus();
}
Acad::ErrorStatus AcDbObject::dwgOutFields(AcDbDwgFiler* filer) const {
  assertReadEnabled();
  filer->writeSoftPointerId(m_ownerId);
  return filer->filerStatus();
}
Acad::ErrorStatus AcDbObject::dxfInFields(AcDbDxfFiler* filer) {
  assertWriteEnabled(false, false);
  return filer->filerStatus();
}
Acad::ErrorStatus AcDbObject::dxfOutFields(AcDbDxfFiler* filer) const {
  assertReadEnabled();
  return filer->filerStatus();
}

// ---- Opening ----

Acad::ErrorStatus acdbOpenAcDbObject(AcDbObject*& obj, AcDbObjectId id, AcDb::OpenMode mode, bool openErased) {
  obj = nullptr;
  AcDbStub* stub = id.stub();
  if (stub == nullptr) return Acad::eNullObjectId;
  if (stub->object == nullptr) return Acad::eNotInDatabase;
  if (stub->erased && !openErased) return Acad::eWasErased;
  AcDbObject::OpenState& open = stub->object->openState();
  if (mode == AcDb::kForWrite) {
    if (open.writer) return Acad::eWasOpenForWrite;
    if (open.readers > 0) return Acad::eWasOpenForRead;
    if (!kvhost::isWriteLocked(stub->db)) return Acad::eLockViolation;
    open.writer = true;
    open.writeAsserted = false;
  } else {
    if (open.writer) return Acad::eWasOpenForWrite;
    ++open.readers;
  }
  obj = stub->object;
  return Acad::eOk;
}

Acad::ErrorStatus acdbOpenAcDbEntity(AcDbEntity*& ent, AcDbObjectId id, AcDb::OpenMode mode, bool openErased) {
  return acdbOpenObject(ent, id, mode, openErased);
}
