// Drawing files in the host's own binary form: a header, then every object
// of the database as its class name and its DWG record.
#include <algorithm>
#include "database/dbinternal.h"
#include "database/memfiler.h"
#include "files/fileinternal.h"

namespace {

const char kMagic[8] = {'K', 'V', 'D', 'W', 'G', '\r', '\n', '\x1a'};
const Adesk::UInt16 kFileVersion = 1;

}  // namespace

namespace kvhost {
namespace {

// Writes an object's record as if it were open for read.
std::vector<unsigned char> recordOf(AcDbObject* object, AcDbDatabase* db, Acad::ErrorStatus& es) {
  DwgMemoryFiler filer(AcDb::kFileFiler, db);
  es = Acad::eOk;
  if (auto* proxy = AcDbProxyObject::cast(object)) return proxy->record()->bytes;
  AcDbObject::OpenState saved = object->openState();
  object->openState().readers += 1;
  es = object->dwgOutFields(&filer);
  if (es == Acad::eOk) es = filer.filerStatus();
  object->openState() = saved;
  return filer.bytes();
}

// Reads one object: its handle, its class name and its record. An object
// whose class is not here, or whose record is newer than its class, is kept
// as a proxy.
Acad::ErrorStatus readObject(DwgMemoryFiler& filer, AcDbDatabase* db) {
  Adesk::UInt64 handle = 0;
  Adesk::UInt32 length = 0;
  std::wstring className;
  filer.readUInt64(&handle);
  filer.readString(className);
  filer.readUInt32(&length);
  std::vector<unsigned char> record(std::min<size_t>(length, filer.bytes().size()));
  if (filer.filerStatus() != Acad::eOk || record.size() != length || handle == 0) return Acad::eDwgNeedsRecovery;
  filer.readBytes(record.data(), record.size());
  if (filer.filerStatus() != Acad::eOk) return Acad::eDwgNeedsRecovery;
  AcDbStub* stub = stubForHandle(db, handle);
  if (stub->object != nullptr) return Acad::eDwgNeedsRecovery;  // the same handle twice
  AcRxClass* cls = AcRxClass::cast(acrxClassDictionary()->at(className.c_str()));
  if (AcDbObject* object = cls ? AcDbObject::cast(cls->create()) : nullptr) {
    placeObject(stub, object);
    Acad::ErrorStatus filing = restoreFromRecord(object, db, record, AcDb::kFileFiler);
    if (filing == Acad::eOk) return Acad::eOk;
    stub->object = nullptr;
    delete object;
    // A record newer than its class here stays a proxy, as one of an unknown class does.
    if (filing != Acad::eMakeMeProxy) return Acad::eDwgNeedsRecovery;
  }
  placeObject(stub, new AcDbProxyObject(new AcDbProxyObject::Record{className, record}));
  return Acad::eOk;
}

}  // namespace
}  // namespace kvhost

Acad::ErrorStatus AcDbDatabase::saveAs(const ACHAR* fileName) {
  if (fileName == nullptr || *fileName == 0) return Acad::eInvalidInput;
  kvhost::DwgMemoryFiler out(AcDb::kFileFiler, this);
  out.writeBytes(kMagic, sizeof kMagic);
  out.writeUInt16(kFileVersion);
  out.writeUInt64(handseed());
  auto header = kvhost::headerSysVars(this);
  out.writeUInt32(static_cast<Adesk::UInt32>(header.size()));
  for (auto& var : header) {
    out.writeString(var.first.c_str());
    out.writeString(var.second.c_str());
  }
  out.writeUInt64(namedObjectsDictionaryId().handle());
  AcDbObjectIdArray ids = objectIds();
  out.writeUInt32(static_cast<Adesk::UInt32>(ids.length()));
  for (int i = 0; i < ids.length(); ++i) {
    AcDbObject* object = ids[i].stub()->object;
    auto* proxy = AcDbProxyObject::cast(object);
    Acad::ErrorStatus filing = Acad::eOk;
    std::vector<unsigned char> record = kvhost::recordOf(object, this, filing);
    if (filing != Acad::eOk) return filing;  // a drawing with a record missing is no drawing
    out.writeUInt64(ids[i].handle());
    out.writeString(proxy ? proxy->originalClassName() : object->isA()->name());
    out.writeUInt32(static_cast<Adesk::UInt32>(record.size()));
    out.writeBytes(record.data(), record.size());
  }
  const auto& bytes = out.bytes();
  Acad::ErrorStatus es = kvhost::replaceFile(fileName, std::string(bytes.begin(), bytes.end()));
  if (es == Acad::eOk) kvhost::setDatabaseFileName(this, fileName);
  return es;
}

Acad::ErrorStatus AcDbDatabase::readDwgFile(const ACHAR* fileName) {
  if (fileName == nullptr) return Acad::eInvalidInput;
  if (!objectIds(true).isEmpty()) return Acad::eAlreadyInDb;
  std::string contents;
  if (Acad::ErrorStatus es = kvhost::readFile(fileName, contents); es != Acad::eOk) return es;
  kvhost::DwgMemoryFiler filer(AcDb::kFileFiler, this, std::vector<unsigned char>(contents.begin(), contents.end()));
  char magic[sizeof kMagic] = {};
  Adesk::UInt16 version = 0;
  filer.readBytes(magic, sizeof magic);
  filer.readUInt16(&version);
  if (filer.filerStatus() != Acad::eOk || !std::equal(magic, magic + sizeof magic, kMagic)) return Acad::eBadDwgHeader;
  if (version > kFileVersion) return Acad::eInvalidFileVersion;
  Adesk::UInt64 seed = 0, nodHandle = 0;
  Adesk::UInt32 headerCount = 0, objectCount = 0;
  filer.readUInt64(&seed);
  filer.readUInt32(&headerCount);
  for (Adesk::UInt32 i = 0; i < headerCount && filer.filerStatus() == Acad::eOk; ++i) {
    std::wstring name, value;
    filer.readString(name);
    filer.readString(value);
    if (filer.filerStatus() == Acad::eOk) setHeaderSysVar(name.c_str(), value.c_str());
  }
  filer.readUInt64(&nodHandle);
  filer.readUInt32(&objectCount);
  for (Adesk::UInt32 i = 0; i < objectCount && filer.filerStatus() == Acad::eOk; ++i)
    if (Acad::ErrorStatus es = kvhost::readObject(filer, this); es != Acad::eOk) return es;
  if (filer.filerStatus() != Acad::eOk) return Acad::eDwgNeedsRecovery;
  AcDbObjectId nod = getObjectId(nodHandle);
  if (!AcDbDictionary::cast(nod.stub()->object)) return Acad::eDwgNeedsRecovery;
  kvhost::setNamedObjectsDictionary(this, nod);
  kvhost::raiseHandseed(this, seed);
  kvhost::setDatabaseFileName(this, fileName);
  return Acad::eOk;
}
