// Databases, the objects they hold and the open discipline; undo groups.
#include <algorithm>
#include <cwchar>
#include <map>
#include <memory>
#include <set>
#include "common/hostimpl.h"
#include "database/memfiler.h"

const AcDbObjectId AcDbObjectId::kNull;

namespace {

struct UndoEntry {
  AcDbStub* stub;
  bool appended;
  bool erased;
  std::vector<unsigned char> state;
};

struct UndoGroup {
  std::vector<UndoEntry> entries;
  std::set<AcDbStub*> recorded;
};

}  // namespace

struct AcDbDatabase::Impl {
  std::map<AcDbHandle, std::unique_ptr<AcDbStub>> stubs;
  AcDbHandle nextHandle = 1;
  kvhost::ReactorList<AcDbDatabaseReactor> reactors;
  bool undoDisabled = false;
  bool undoing = false;
  AcDbObjectId nod;
  std::map<std::wstring, std::wstring> header;
  std::wstring fileName;
  std::vector<UndoGroup> undoGroups;
  int openGroups = 0;

  AcDbStub* stubFor(AcDbDatabase* db, AcDbHandle handle) {
    std::unique_ptr<AcDbStub>& slot = stubs[handle];
    if (!slot) {
      slot = std::make_unique<AcDbStub>();
      slot->db = db;
      slot->handle = handle;
    }
    nextHandle = std::max(nextHandle, handle + 1);
    return slot.get();
  }
};

namespace kvhost {

std::vector<AcDbDatabase*>& databases() {
  static std::vector<AcDbDatabase*> all;
  return all;
}
const std::vector<AcDbDatabase*>& allDatabases() { return databases(); }

ReactorList<AcDbDatabaseReactor>& dbReactorList(const AcDbDatabase* db) { return db->impl()->reactors; }

template <class F>
static void notifyDb(const AcDbDatabase* db, F&& call) {
  if (db) db->impl()->reactors.notify(call);
}

static UndoGroup* recordingGroup(AcDbDatabase* db) {
  AcDbDatabase::Impl& d = *db->impl();
  if (d.undoDisabled || d.undoing) return nullptr;
  if (d.openGroups == 0 || d.undoGroups.empty()) d.undoGroups.emplace_back();
  return &d.undoGroups.back();
}

void recordForUndo(AcDbObject* object) {
  AcDbDatabase* db = object->database();
  if (db == nullptr || object->isNewObject() || AcDbProxyObject::cast(object)) return;
  UndoGroup* group = recordingGroup(db);
  if (group == nullptr || !group->recorded.insert(object->stub()).second) return;
  DwgMemoryFiler filer(AcDb::kUndoFiler, db);
  object->dwgOutFields(&filer);
  group->entries.push_back({object->stub(), false, object->stub()->erased, filer.bytes()});
}

void recordAppendForUndo(AcDbObject* object) {
  UndoGroup* group = recordingGroup(object->database());
  if (group == nullptr) return;
  group->recorded.insert(object->stub());
  group->entries.push_back({object->stub(), true, false, {}});
}

void beginUndoGroup(AcDbDatabase* db) {
  AcDbDatabase::Impl& d = *db->impl();
  // The group is opened even while recording is off: recording may be
  // turned on within it, and what is then recorded belongs to this group.
  if (d.openGroups++ == 0) d.undoGroups.emplace_back();
}

void endUndoGroup(AcDbDatabase* db) {
  AcDbDatabase::Impl& d = *db->impl();
  if (d.openGroups == 0) return;
  if (--d.openGroups == 0 && !d.undoGroups.empty() && d.undoGroups.back().entries.empty()) d.undoGroups.pop_back();
}

int undoGroupCount(AcDbDatabase* db) { return static_cast<int>(db->impl()->undoGroups.size()); }

// Restores an object from a record with the object's own filing, as if it
// were open for write, without raising the notifications of an open.
Acad::ErrorStatus restoreFromRecord(AcDbObject* object, AcDbDatabase* db, const std::vector<unsigned char>& bytes,
                                    AcDb::FilerType type) {
  AcDbObject::OpenState saved = object->openState();
  object->openState().writer = true;
  object->openState().writeAsserted = true;
  DwgMemoryFiler filer(type, db, bytes);
  Acad::ErrorStatus es = object->dwgInFields(&filer);
  object->openState() = saved;
  return es != Acad::eOk ? es : filer.filerStatus();
}

bool undoLastGroup(AcDbDatabase* db) {
  AcDbDatabase::Impl& d = *db->impl();
  if (d.undoGroups.empty()) return false;
  UndoGroup group = std::move(d.undoGroups.back());
  d.undoGroups.pop_back();
  struct Undoing {
    bool& flag;
    explicit Undoing(bool& f) : flag(f) { flag = true; }
    ~Undoing() { flag = false; }
  } undoing(d.undoing);
  for (auto it = group.entries.rbegin(); it != group.entries.rend(); ++it) {
    AcDbStub* stub = it->stub;
    AcDbObject* object = stub->object;
    if (object == nullptr) continue;
    if (it->appended) {
      stub->erased = true;
      stub->unappended = true;
      notifyDb(db, [&](AcDbDatabaseReactor* r) { r->objectUnAppended(db, object); });
      continue;
    }
    if (AcDbProxyObject::cast(object)) continue;
    bool wasErased = stub->erased;
    restoreFromRecord(object, db, it->state, AcDb::kUndoFiler);
    stub->erased = it->erased;
    notifyDb(db, [&](AcDbDatabaseReactor* r) { r->objectModified(db, object); });
    if (wasErased != stub->erased)
      notifyDb(db, [&](AcDbDatabaseReactor* r) { r->objectErased(db, object, stub->erased); });
  }
  return true;
}

AcDbStub* stubForHandle(AcDbDatabase* db, AcDbHandle handle) { return db->impl()->stubFor(db, handle); }
void raiseHandseed(AcDbDatabase* db, AcDbHandle seed) {
  db->impl()->nextHandle = std::max(db->impl()->nextHandle, seed);
}
void setNamedObjectsDictionary(AcDbDatabase* db, AcDbObjectId id) { db->impl()->nod = id; }
void setDatabaseFileName(AcDbDatabase* db, const std::wstring& name) { db->impl()->fileName = name; }
std::vector<std::pair<std::wstring, std::wstring>> headerSysVars(const AcDbDatabase* db) {
  return {db->impl()->header.begin(), db->impl()->header.end()};
}

void turnInstancesIntoProxies(AcRxClass* cls) {
  for (AcDbDatabase* db : databases()) {
    for (auto& entry : db->impl()->stubs) {
      AcDbStub* stub = entry.second.get();
      if (stub->object == nullptr || stub->object->isA() != cls) continue;
      auto* record = new AcDbProxyObject::Record;
      record->className = cls->name();
      DwgMemoryFiler filer(AcDb::kFileFiler, db);
      ++stub->object->openState().readers;  // its record is written as if open for read
      stub->object->dwgOutFields(&filer);
      record->bytes = filer.bytes();
      auto* proxy = new AcDbProxyObject(record);
      proxy->setOwnerId(stub->object->ownerId());
      proxy->bindStub(stub);
      proxy->openState() = AcDbObject::OpenState();
      proxy->setNewObject(false);
      delete stub->object;
      stub->object = proxy;
    }
  }
}

void resurrectProxies(AcRxClass* cls) {
  for (AcDbDatabase* db : std::vector<AcDbDatabase*>(databases())) {
    AcDbObjectIdArray resurrected;
    for (auto& entry : db->impl()->stubs) {
      AcDbStub* stub = entry.second.get();
      auto* proxy = AcDbProxyObject::cast(stub->object);
      if (proxy == nullptr) continue;
      // A proxy keeps either the object's DWG record or its DXF groups.
      DxfProxyRecord dxf;
      const bool fromDxf = readDxfProxyRecord(*proxy->record(), dxf);
      if ((fromDxf ? dxf.className : std::wstring(proxy->originalClassName())) != cls->name()) continue;
      AcDbObject* object = AcDbObject::cast(cls->create());
      if (object == nullptr) continue;
      object->bindStub(stub);
      object->setOwnerId(proxy->ownerId());
      object->setNewObject(false);
      object->openState() = AcDbObject::OpenState();
      const Acad::ErrorStatus es = fromDxf ? restoreFromGroups(object, db, dxf.items)
                                           : restoreFromRecord(object, db, proxy->record()->bytes, AcDb::kFileFiler);
      if (es != Acad::eOk) {
        // What the class cannot read stays a proxy, with all it holds.
        delete object;
        continue;
      }
      stub->object = object;
      delete proxy;
      resurrected.append(AcDbObjectId(stub));
    }
    if (!resurrected.isEmpty())
      notifyDb(db, [&](AcDbDatabaseReactor* r) { r->proxyResurrectionCompleted(db, cls->appName(), resurrected); });
  }
}

}  // namespace kvhost

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
  if (redraw) kvhost::redrawEntity(this);
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
  if (redraw) kvhost::redrawEntity(this);
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

// ---- Entities ----

Acad::ErrorStatus AcDbEntity::setLayer(const ACHAR* name) {
  assertWriteEnabled();
  m_layer = name ? name : L"0";
  return Acad::eOk;
}
Acad::ErrorStatus AcDbEntity::setColorIndex(Adesk::UInt16 color) {
  assertWriteEnabled();
  m_color = color;
  return Acad::eOk;
}
Acad::ErrorStatus AcDbEntity::recordGraphicsModified(bool setModified) {
  assertWriteEnabled(false, true);
  openState().graphicsModified = setModified;
  return Acad::eOk;
}

// Reads the groups of one subclass until the next subclass marker.
template <class F>
static Acad::ErrorStatus readSubclass(AcDbDxfFiler* filer, const ACHAR* subclass, F&& take) {
  if (!filer->atSubclassData(subclass)) return filer->filerStatus();
  resbuf rb;
  while (filer->readItem(&rb) == Acad::eOk) {
    if (rb.restype == AcDb::kDxfSubclass || rb.restype == 0) {
      filer->pushBackItem();
      break;
    }
    take(rb);
  }
  return filer->filerStatus();
}

Acad::ErrorStatus AcDbEntity::dwgInFields(AcDbDwgFiler* filer) {
  Acad::ErrorStatus es = AcDbObject::dwgInFields(filer);
  if (es != Acad::eOk) return es;
  filer->readString(m_layer);
  return filer->readUInt16(&m_color);
}
Acad::ErrorStatus AcDbEntity::dwgOutFields(AcDbDwgFiler* filer) const {
  Acad::ErrorStatus es = AcDbObject::dwgOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writeString(m_layer.c_str());
  return filer->writeUInt16(m_color);
}
Acad::ErrorStatus AcDbEntity::dxfInFields(AcDbDxfFiler* filer) {
  Acad::ErrorStatus es = AcDbObject::dxfInFields(filer);
  if (es != Acad::eOk) return es;
  return readSubclass(filer, L"AcDbEntity", [&](const resbuf& rb) {
    if (rb.restype == AcDb::kDxfLayerName) m_layer = rb.text;
    if (rb.restype == AcDb::kDxfColor) m_color = static_cast<Adesk::UInt16>(rb.int32);
  });
}
Acad::ErrorStatus AcDbEntity::dxfOutFields(AcDbDxfFiler* filer) const {
  Acad::ErrorStatus es = AcDbObject::dxfOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writeString(AcDb::kDxfSubclass, L"AcDbEntity");
  filer->writeString(AcDb::kDxfLayerName, m_layer.c_str());
  if (m_color != 256) filer->writeInt16(AcDb::kDxfColor, static_cast<Adesk::Int16>(m_color));
  return filer->filerStatus();
}

Acad::ErrorStatus AcDbLine::setStartPoint(const AcGePoint3d& p) {
  assertWriteEnabled();
  m_start = p;
  return Acad::eOk;
}
Acad::ErrorStatus AcDbLine::setEndPoint(const AcGePoint3d& p) {
  assertWriteEnabled();
  m_end = p;
  return Acad::eOk;
}
Acad::ErrorStatus AcDbLine::dwgInFields(AcDbDwgFiler* filer) {
  Acad::ErrorStatus es = AcDbEntity::dwgInFields(filer);
  if (es != Acad::eOk) return es;
  filer->readPoint3d(&m_start);
  return filer->readPoint3d(&m_end);
}
Acad::ErrorStatus AcDbLine::dwgOutFields(AcDbDwgFiler* filer) const {
  Acad::ErrorStatus es = AcDbEntity::dwgOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writePoint3d(m_start);
  return filer->writePoint3d(m_end);
}
Acad::ErrorStatus AcDbLine::dxfInFields(AcDbDxfFiler* filer) {
  Acad::ErrorStatus es = AcDbEntity::dxfInFields(filer);
  if (es != Acad::eOk) return es;
  return readSubclass(filer, L"AcDbLine", [&](const resbuf& rb) {
    if (rb.restype == 10) m_start = rb.point;
    if (rb.restype == 11) m_end = rb.point;
  });
}
Acad::ErrorStatus AcDbLine::dxfOutFields(AcDbDxfFiler* filer) const {
  Acad::ErrorStatus es = AcDbEntity::dxfOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writeString(AcDb::kDxfSubclass, L"AcDbLine");
  filer->writePoint3d(static_cast<AcDb::DxfCode>(10), m_start);
  return filer->writePoint3d(static_cast<AcDb::DxfCode>(11), m_end);
}

Acad::ErrorStatus AcDbCircle::setCenter(const AcGePoint3d& p) {
  assertWriteEnabled();
  m_center = p;
  return Acad::eOk;
}
Acad::ErrorStatus AcDbCircle::setRadius(double r) {
  if (r <= 0) return Acad::eInvalidInput;
  assertWriteEnabled();
  m_radius = r;
  return Acad::eOk;
}
Acad::ErrorStatus AcDbCircle::dwgInFields(AcDbDwgFiler* filer) {
  Acad::ErrorStatus es = AcDbEntity::dwgInFields(filer);
  if (es != Acad::eOk) return es;
  filer->readPoint3d(&m_center);
  return filer->readDouble(&m_radius);
}
Acad::ErrorStatus AcDbCircle::dwgOutFields(AcDbDwgFiler* filer) const {
  Acad::ErrorStatus es = AcDbEntity::dwgOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writePoint3d(m_center);
  return filer->writeDouble(m_radius);
}
Acad::ErrorStatus AcDbCircle::dxfInFields(AcDbDxfFiler* filer) {
  Acad::ErrorStatus es = AcDbEntity::dxfInFields(filer);
  if (es != Acad::eOk) return es;
  return readSubclass(filer, L"AcDbCircle", [&](const resbuf& rb) {
    if (rb.restype == 10) m_center = rb.point;
    if (rb.restype == 40) m_radius = rb.real;
  });
}
Acad::ErrorStatus AcDbCircle::dxfOutFields(AcDbDxfFiler* filer) const {
  Acad::ErrorStatus es = AcDbEntity::dxfOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writeString(AcDb::kDxfSubclass, L"AcDbCircle");
  filer->writePoint3d(static_cast<AcDb::DxfCode>(10), m_center);
  return filer->writeDouble(AcDb::kDxfReal, m_radius);
}

Acad::ErrorStatus AcDbText::setPosition(const AcGePoint3d& p) {
  assertWriteEnabled();
  m_position = p;
  return Acad::eOk;
}
Acad::ErrorStatus AcDbText::setTextString(const ACHAR* text) {
  assertWriteEnabled();
  m_text = text ? text : L"";
  return Acad::eOk;
}
Acad::ErrorStatus AcDbText::dwgInFields(AcDbDwgFiler* filer) {
  Acad::ErrorStatus es = AcDbEntity::dwgInFields(filer);
  if (es != Acad::eOk) return es;
  filer->readPoint3d(&m_position);
  return filer->readString(m_text);
}
Acad::ErrorStatus AcDbText::dwgOutFields(AcDbDwgFiler* filer) const {
  Acad::ErrorStatus es = AcDbEntity::dwgOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writePoint3d(m_position);
  return filer->writeString(m_text.c_str());
}
Acad::ErrorStatus AcDbText::dxfInFields(AcDbDxfFiler* filer) {
  Acad::ErrorStatus es = AcDbEntity::dxfInFields(filer);
  if (es != Acad::eOk) return es;
  auto take = [&](const resbuf& rb) {
    if (rb.restype == 10) m_position = rb.point;
    if (rb.restype == 1) m_text = rb.text;
  };
  // The second marker (alignment) is missing in files of earlier versions.
  readSubclass(filer, L"AcDbText", take);
  return readSubclass(filer, L"AcDbText", take);
}
Acad::ErrorStatus AcDbText::dxfOutFields(AcDbDxfFiler* filer) const {
  Acad::ErrorStatus es = AcDbEntity::dxfOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writeString(AcDb::kDxfSubclass, L"AcDbText");
  filer->writePoint3d(static_cast<AcDb::DxfCode>(10), m_position);
  filer->writeDouble(AcDb::kDxfReal, 2.5);
  filer->writeString(AcDb::kDxfText, m_text.c_str());
  return filer->writeString(AcDb::kDxfSubclass, L"AcDbText");
}

AcDbProxyObject::AcDbProxyObject(Record* record) : m_pRecord(record ? record : new Record) {}
AcDbProxyObject::~AcDbProxyObject() { delete m_pRecord; }
const ACHAR* AcDbProxyObject::originalClassName() const { return m_pRecord->className.c_str(); }

// A proxy read from DXF gives back the groups it was read with; one that
// holds a DWG record files it as hex chunks, as proxies do in DXF. Group 91,
// the class number, is the file's business and is set by the file writer.
Acad::ErrorStatus AcDbProxyObject::dxfOutFields(AcDbDxfFiler* filer) const {
  Acad::ErrorStatus es = AcDbObject::dxfOutFields(filer);
  if (es != Acad::eOk) return es;
  kvhost::DxfProxyRecord dxf;
  if (kvhost::readDxfProxyRecord(*m_pRecord, dxf)) {
    for (const resbuf& rb : dxf.items) filer->writeItem(rb);
    return filer->filerStatus();
  }
  const std::vector<unsigned char>& bytes = m_pRecord->bytes;
  filer->writeString(AcDb::kDxfSubclass, L"AcDbProxyObject");
  filer->writeInt32(AcDb::kDxfInt32, 499);
  filer->writeInt32(static_cast<AcDb::DxfCode>(91), 0);
  filer->writeInt32(static_cast<AcDb::DxfCode>(95), 0);
  filer->writeInt16(AcDb::kDxfInt16, 0);  // the data is a DWG record
  filer->writeInt32(static_cast<AcDb::DxfCode>(93), static_cast<Adesk::Int32>(bytes.size() * 8));
  static const wchar_t kHex[] = L"0123456789ABCDEF";
  for (size_t at = 0; at < bytes.size(); at += 127) {
    std::wstring chunk;
    for (size_t i = at; i < std::min(bytes.size(), at + 127); ++i) {
      chunk += kHex[bytes[i] >> 4];
      chunk += kHex[bytes[i] & 15];
    }
    filer->writeString(static_cast<AcDb::DxfCode>(310), chunk.c_str());
  }
  filer->writeInt32(static_cast<AcDb::DxfCode>(94), 0);
  return filer->filerStatus();
}

Acad::ErrorStatus AcDbProxyObject::dxfInFields(AcDbDxfFiler* filer) {
  Acad::ErrorStatus es = AcDbObject::dxfInFields(filer);
  if (es != Acad::eOk) return es;
  if (!filer->atSubclassData(L"AcDbProxyObject"))
    return filer->setError(Acad::eInvalidDxfCode, L"\nError: expected subclass %ls", L"AcDbProxyObject");
  std::vector<unsigned char> bytes;
  long bits = -1;
  int format = 0;
  bool badChunk = false;
  resbuf rb;
  while (filer->readItem(&rb) == Acad::eOk) {
    if (rb.restype == AcDb::kDxfSubclass || rb.restype == 0) {
      filer->pushBackItem();
      break;
    }
    if (rb.restype == 70) format = rb.int32;
    if (rb.restype == 93) bits = rb.int32;
    if (rb.restype != 310) continue;
    if (rb.text.size() % 2 != 0) badChunk = true;
    auto nibble = [&](wchar_t c) {
      if (c >= L'0' && c <= L'9') return c - L'0';
      if (c >= L'A' && c <= L'F') return c - L'A' + 10;
      if (c >= L'a' && c <= L'f') return c - L'a' + 10;
      badChunk = true;
      return 0;
    };
    for (size_t i = 0; i + 1 < rb.text.size(); i += 2)
      bytes.push_back(static_cast<unsigned char>(nibble(rb.text[i]) << 4 | nibble(rb.text[i + 1])));
  }
  if (filer->filerStatus() != Acad::eOk) return filer->filerStatus();
  // Only the DWG form is kept; a size that disagrees means a damaged record.
  if (format != 0 || badChunk || (bits >= 0 && static_cast<size_t>(bits) != bytes.size() * 8))
    return filer->setError(Acad::eInvalidDxfCode, L"\nError: unreadable proxy data");
  m_pRecord->bytes = std::move(bytes);
  return filer->filerStatus();
}

// ---- Dictionaries ----

struct AcDbDictionary::Impl {
  std::map<std::wstring, AcDbObjectId> entries;
};

AcDbDictionary::AcDbDictionary() : m_pImpl(new Impl) {}
AcDbDictionary::~AcDbDictionary() { delete m_pImpl; }

Acad::ErrorStatus AcDbDictionary::getAt(const ACHAR* key, AcDbObjectId& id) const {
  assertReadEnabled();
  auto it = m_pImpl->entries.find(key ? key : L"");
  if (it == m_pImpl->entries.end() || it->second.isErased()) return Acad::eKeyNotFound;
  id = it->second;
  return Acad::eOk;
}
bool AcDbDictionary::has(const ACHAR* key) const {
  AcDbObjectId id;
  return getAt(key, id) == Acad::eOk;
}
Acad::ErrorStatus AcDbDictionary::setAt(const ACHAR* key, AcDbObject* object, AcDbObjectId& id) {
  if (key == nullptr || object == nullptr) return Acad::eInvalidInput;
  if (database() == nullptr) return Acad::eNotInDatabase;
  assertWriteEnabled();
  if (object->database() == nullptr) {
    Acad::ErrorStatus es = database()->addAcDbObject(id, object);
    if (es != Acad::eOk) return es;
  }
  object->setOwnerId(objectId());
  id = object->objectId();
  m_pImpl->entries[key] = id;
  return Acad::eOk;
}
Acad::ErrorStatus AcDbDictionary::remove(const ACHAR* key) {
  assertWriteEnabled();
  return m_pImpl->entries.erase(key ? key : L"") ? Acad::eOk : Acad::eKeyNotFound;
}
int AcDbDictionary::numEntries() const {
  assertReadEnabled();
  return static_cast<int>(m_pImpl->entries.size());
}
void AcDbDictionary::entries(std::function<void(const ACHAR* key, AcDbObjectId id)> visit) const {
  for (auto& e : m_pImpl->entries)
    if (!e.second.isErased()) visit(e.first.c_str(), e.second);
}
Acad::ErrorStatus AcDbDictionary::dwgInFields(AcDbDwgFiler* filer) {
  Acad::ErrorStatus es = AcDbObject::dwgInFields(filer);
  if (es != Acad::eOk) return es;
  Adesk::UInt32 n = 0;
  if (filer->readUInt32(&n) != Acad::eOk) return filer->filerStatus();
  m_pImpl->entries.clear();
  for (Adesk::UInt32 i = 0; i < n && filer->filerStatus() == Acad::eOk; ++i) {
    std::wstring key;
    AcDbObjectId id;
    filer->readString(key);
    filer->readHardOwnershipId(&id);
    if (filer->filerStatus() == Acad::eOk) m_pImpl->entries[key] = id;
  }
  return filer->filerStatus();
}
Acad::ErrorStatus AcDbDictionary::dwgOutFields(AcDbDwgFiler* filer) const {
  Acad::ErrorStatus es = AcDbObject::dwgOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writeUInt32(static_cast<Adesk::UInt32>(m_pImpl->entries.size()));
  for (auto& e : m_pImpl->entries) {
    filer->writeString(e.first.c_str());
    filer->writeHardOwnershipId(e.second);
  }
  return filer->filerStatus();
}
Acad::ErrorStatus AcDbDictionary::dxfInFields(AcDbDxfFiler* filer) {
  Acad::ErrorStatus es = AcDbObject::dxfInFields(filer);
  if (es != Acad::eOk) return es;
  m_pImpl->entries.clear();
  std::wstring key;
  bool haveKey = false;
  return readSubclass(filer, L"AcDbDictionary", [&](const resbuf& rb) {
    if (rb.restype == AcDb::kDxfXTextString) {
      key = rb.text;
      haveKey = true;
    } else if ((rb.restype == 350 || rb.restype == 360) && haveKey) {
      wchar_t* end = nullptr;
      unsigned long long handle = std::wcstoull(rb.text.c_str(), &end, 16);
      if (handle != 0 && end != rb.text.c_str() && *end == 0 && database() != nullptr)
        m_pImpl->entries[key] = database()->getObjectId(handle);
      haveKey = false;
    }
  });
}
Acad::ErrorStatus AcDbDictionary::dxfOutFields(AcDbDxfFiler* filer) const {
  Acad::ErrorStatus es = AcDbObject::dxfOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writeString(AcDb::kDxfSubclass, L"AcDbDictionary");
  filer->writeInt16(static_cast<AcDb::DxfCode>(281), 1);
  for (auto& e : m_pImpl->entries) {
    if (e.second.isErased()) continue;
    filer->writeString(AcDb::kDxfXTextString, e.first.c_str());
    filer->writeObjectId(static_cast<AcDb::DxfCode>(350), e.second);
  }
  return filer->filerStatus();
}

// ---- Database reactors: every notification does nothing by default ----

AcDbDatabaseReactor::~AcDbDatabaseReactor() = default;
void AcDbDatabaseReactor::objectAppended(const AcDbDatabase*, const AcDbObject*) {}
void AcDbDatabaseReactor::objectUnAppended(const AcDbDatabase*, const AcDbObject*) {}
void AcDbDatabaseReactor::objectReAppended(const AcDbDatabase*, const AcDbObject*) {}
void AcDbDatabaseReactor::objectOpenedForModify(const AcDbDatabase*, const AcDbObject*) {}
void AcDbDatabaseReactor::objectModified(const AcDbDatabase*, const AcDbObject*) {}
void AcDbDatabaseReactor::objectErased(const AcDbDatabase*, const AcDbObject*, Adesk::Boolean) {}
void AcDbDatabaseReactor::headerSysVarWillChange(const AcDbDatabase*, const ACHAR*) {}
void AcDbDatabaseReactor::headerSysVarChanged(const AcDbDatabase*, const ACHAR*, Adesk::Boolean) {}
void AcDbDatabaseReactor::proxyResurrectionCompleted(const AcDbDatabase*, const ACHAR*, AcDbObjectIdArray&) {}
void AcDbDatabaseReactor::goodbye(const AcDbDatabase*) {}

// ---- Databases ----

AcDbDatabase::AcDbDatabase(bool buildDefaultDrawing, bool) : m_pImpl(new Impl) {
  kvhost::databases().push_back(this);
  if (buildDefaultDrawing) {
    auto* nod = new AcDbDictionary;
    addAcDbObject(m_pImpl->nod, nod);
    nod->close();
    m_pImpl->header[L"CLAYER"] = L"0";
  }
  m_pImpl->undoGroups.clear();  // building the drawing is not undoable
  kvhost::notifyEventReactors([&](AcRxEventReactor* r) { r->databaseConstructed(this); });
}

AcDbDatabase::~AcDbDatabase() {
  kvhost::notifyEventReactors([&](AcRxEventReactor* r) { r->databaseToBeDestroyed(this); });
  kvhost::notifyDb(this, [&](AcDbDatabaseReactor* r) { r->goodbye(this); });
  kvhost::forgetPickfirstOf(this);
  kvhost::forgetRedrawsOf(this);
  if (acdbHostApplicationServices()->workingDatabase() == this) acdbHostApplicationServices()->setWorkingDatabase(nullptr);
  auto& all = kvhost::databases();
  all.erase(std::remove(all.begin(), all.end(), this), all.end());
  for (auto& entry : m_pImpl->stubs) delete entry.second->object;
  delete m_pImpl;
}

Acad::ErrorStatus AcDbDatabase::addAcDbObject(AcDbObjectId& id, AcDbObject* object) {
  if (object == nullptr) return Acad::eInvalidInput;
  if (object->database() != nullptr) return Acad::eAlreadyInDb;
  AcDbStub* stub = m_pImpl->stubFor(this, m_pImpl->nextHandle);
  stub->object = object;
  object->bindStub(stub);
  id = AcDbObjectId(stub);
  kvhost::recordAppendForUndo(object);
  kvhost::notifyDb(this, [&](AcDbDatabaseReactor* r) { r->objectAppended(this, object); });
  return Acad::eOk;
}

AcDbObjectId AcDbDatabase::namedObjectsDictionaryId() const { return m_pImpl->nod; }

Acad::ErrorStatus AcDbDatabase::getNamedObjectsDictionary(AcDbDictionary*& dict, AcDb::OpenMode mode) {
  return acdbOpenObject(dict, m_pImpl->nod, mode);
}

void AcDbDatabase::addReactor(AcDbDatabaseReactor* reactor) const { m_pImpl->reactors.add(reactor); }
void AcDbDatabase::removeReactor(AcDbDatabaseReactor* reactor) const { m_pImpl->reactors.remove(reactor); }
AcArray<AcDbDatabaseReactor*> AcDbDatabase::reactors() const { return m_pImpl->reactors.live(); }

bool AcDbDatabase::undoRecording() const { return !m_pImpl->undoDisabled; }
void AcDbDatabase::disableUndoRecording(bool disable) { m_pImpl->undoDisabled = disable; }

const ACHAR* AcDbDatabase::headerSysVar(const ACHAR* name) const {
  auto it = m_pImpl->header.find(name ? name : L"");
  return it == m_pImpl->header.end() ? nullptr : it->second.c_str();
}

Acad::ErrorStatus AcDbDatabase::setHeaderSysVar(const ACHAR* name, const ACHAR* value) {
  if (name == nullptr || value == nullptr) return Acad::eInvalidInput;
  kvhost::notifyDb(this, [&](AcDbDatabaseReactor* r) { r->headerSysVarWillChange(this, name); });
  m_pImpl->header[name] = value;
  kvhost::notifyDb(this, [&](AcDbDatabaseReactor* r) { r->headerSysVarChanged(this, name, true); });
  return Acad::eOk;
}

AcDbObjectIdArray AcDbDatabase::objectIds(bool includeErased) const {
  AcDbObjectIdArray ids;
  for (auto& entry : m_pImpl->stubs) {
    AcDbStub* stub = entry.second.get();
    if (stub->object != nullptr && (includeErased || !stub->erased)) ids.append(AcDbObjectId(stub));
  }
  return ids;
}

AcDbObjectId AcDbDatabase::getObjectId(AcDbHandle handle) const {
  return AcDbObjectId(m_pImpl->stubFor(const_cast<AcDbDatabase*>(this), handle));
}

AcDbHandle AcDbDatabase::handseed() const { return m_pImpl->nextHandle; }

Acad::ErrorStatus AcDbDatabase::getFilename(const ACHAR*& fileName) const {
  fileName = m_pImpl->fileName.c_str();
  return Acad::eOk;
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
