// Drawing files in the host's own binary form: a header, then every object
// of the database as its class name and its DWG record.
#include <algorithm>
#include <memory>
#include "database/dbinternal.h"
#include "database/memfiler.h"
#include "files/fileinternal.h"

namespace {

const char kMagic[8] = {'K', 'V', 'D', 'W', 'G', '\r', '\n', '\x1a'};
// Version 2 adds what a drawing keeps of the file it was read from.
const Adesk::UInt16 kFileVersion = 2;

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

// A group's role as stored; a filler that keeps its object's value is
// followed by that value (files written before it was kept hold kFiller).
constexpr unsigned char kFillerWithValue = KeptGroups::kFiller + 1;

void writeText(DwgMemoryFiler& out, const std::string& text) {
  out.writeUInt32(static_cast<Adesk::UInt32>(text.size()));
  out.writeBytes(text.data(), text.size());
}

bool readText(DwgMemoryFiler& in, std::string& text) {
  Adesk::UInt32 length = 0;
  in.readUInt32(&length);
  if (in.filerStatus() != Acad::eOk || length > in.bytes().size()) return false;
  text.assign(length, '\0');
  return in.readBytes(text.data(), length) == Acad::eOk;
}

void writeGroups(DwgMemoryFiler& out, const KeptGroups& groups) {
  out.writeUInt32(static_cast<Adesk::UInt32>(groups.size()));
  for (size_t i = 0; i < groups.size(); ++i) {
    out.writeInt16(static_cast<Adesk::Int16>(groups.code(i)));
    const std::string* fillerValue = groups.fillerValue(i);
    const unsigned char role = fillerValue ? kFillerWithValue : static_cast<unsigned char>(groups.role(i));
    out.writeBytes(&role, 1);
    writeText(out, groups.text(i));
    if (fillerValue) writeText(out, *fillerValue);
  }
}

bool readGroups(DwgMemoryFiler& in, KeptGroups& groups) {
  Adesk::UInt32 count = 0;
  in.readUInt32(&count);
  for (Adesk::UInt32 i = 0; i < count && in.filerStatus() == Acad::eOk; ++i) {
    Adesk::Int16 code = 0;
    unsigned char role = 0;
    std::string text, fillerValue;
    in.readInt16(&code);
    in.readBytes(&role, 1);
    if (role > kFillerWithValue || !readText(in, text)) return false;
    if (role == kFillerWithValue && !readText(in, fillerValue)) return false;
    groups.add(code, text, static_cast<KeptGroups::Role>(std::min<unsigned char>(role, KeptGroups::kFiller)));
    if (role == kFillerWithValue) groups.setFiller(groups.size() - 1, fillerValue);
  }
  return in.filerStatus() == Acad::eOk;
}

// What the drawing keeps of a DXF file it was read from: each object's
// groups, then the file around them.
void writeKept(DwgMemoryFiler& out, AcDbDatabase* db, const AcDbObjectIdArray& ids) {
  Adesk::UInt32 count = 0;
  for (int i = 0; i < ids.length(); ++i) count += ids[i].stub()->kept != nullptr;
  out.writeUInt32(count);
  for (int i = 0; i < ids.length(); ++i) {
    if (!ids[i].stub()->kept) continue;
    out.writeUInt64(ids[i].handle());
    writeGroups(out, *ids[i].stub()->kept);
  }
  const KeptFile* file = keptFile(db);
  out.writeBool(file != nullptr);
  if (file == nullptr) return;
  out.writeUInt32(static_cast<Adesk::UInt32>(file->header.size()));
  for (const KeptFile::Variable& var : file->header) {
    out.writeString(var.name.c_str());
    writeGroups(out, var.groups);
  }
  out.writeUInt32(static_cast<Adesk::UInt32>(file->classes.size()));
  for (const KeptGroups& groups : file->classes) writeGroups(out, groups);
  out.writeUInt32(static_cast<Adesk::UInt32>(file->sections.size()));
  for (const KeptFile::Section& section : file->sections) {
    out.writeString(section.name.c_str());
    out.writeUInt32(static_cast<Adesk::UInt32>(section.items.size()));
    for (const KeptFile::Item& item : section.items) {
      out.writeUInt64(item.handle);
      out.writeString(item.type.c_str());
      writeGroups(out, item.groups);
    }
  }
}

bool readKept(DwgMemoryFiler& in, AcDbDatabase* db) {
  Adesk::UInt32 count = 0;
  in.readUInt32(&count);
  for (Adesk::UInt32 i = 0; i < count && in.filerStatus() == Acad::eOk; ++i) {
    Adesk::UInt64 handle = 0;
    in.readUInt64(&handle);
    auto groups = std::make_unique<KeptGroups>();
    if (!readGroups(in, *groups)) return false;
    AcDbStub* stub = stubForHandle(db, handle);
    if (stub->object == nullptr) return false;
    stub->kept = std::move(groups);
  }
  bool hasFile = false;
  in.readBool(&hasFile);
  if (in.filerStatus() != Acad::eOk || !hasFile) return in.filerStatus() == Acad::eOk;
  auto file = std::make_unique<KeptFile>();
  auto readCount = [&](Adesk::UInt32& n) {
    in.readUInt32(&n);
    return in.filerStatus() == Acad::eOk && n <= in.bytes().size();
  };
  Adesk::UInt32 n = 0;
  if (!readCount(n)) return false;
  file->header.resize(n);
  for (KeptFile::Variable& var : file->header)
    if (in.readString(var.name) != Acad::eOk || !readGroups(in, var.groups)) return false;
  if (!readCount(n)) return false;
  file->classes.resize(n);
  for (KeptGroups& groups : file->classes)
    if (!readGroups(in, groups)) return false;
  if (!readCount(n)) return false;
  file->sections.resize(n);
  for (KeptFile::Section& section : file->sections) {
    if (in.readString(section.name) != Acad::eOk || !readCount(n)) return false;
    section.items.resize(n);
    for (KeptFile::Item& item : section.items) {
      Adesk::UInt64 handle = 0;
      in.readUInt64(&handle);
      item.handle = handle;
      if (in.readString(item.type) != Acad::eOk || !readGroups(in, item.groups)) return false;
    }
  }
  setKeptFile(db, std::move(file));
  return true;
}

}  // namespace
}  // namespace kvhost

Acad::ErrorStatus AcDbDatabase::saveAs(const ACHAR* fileName) {
  if (fileName == nullptr || *fileName == 0) return Acad::eInvalidInput;
  kvhost::addMissingLayers(this);
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
    if (filing != Acad::eOk) return kvhost::refuseUnwritable(object, filing);  // a drawing with a record missing is no drawing
    out.writeUInt64(ids[i].handle());
    out.writeString(proxy ? proxy->originalClassName() : object->isA()->name());
    out.writeUInt32(static_cast<Adesk::UInt32>(record.size()));
    out.writeBytes(record.data(), record.size());
  }
  kvhost::writeKept(out, this, ids);
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
  if (version >= 2 && !kvhost::readKept(filer, this)) return Acad::eDwgNeedsRecovery;
  AcDbObjectId nod = getObjectId(nodHandle);
  if (!AcDbDictionary::cast(nod.stub()->object)) return Acad::eDwgNeedsRecovery;
  kvhost::setNamedObjectsDictionary(this, nod);
  kvhost::raiseHandseed(this, seed);
  kvhost::setDatabaseFileName(this, fileName);
  return Acad::eOk;
}
