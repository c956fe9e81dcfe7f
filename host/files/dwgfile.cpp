// Drawing files in the host's own binary form: a header, then every object
// of the database as its class name and its DWG record.
#include <algorithm>
#include <memory>
#include "database/dbinternal.h"
#include "database/memfiler.h"
#include "files/fileinternal.h"
#include "kvhost.h"

namespace {

const char kMagic[8] = {'K', 'V', 'D', 'W', 'G', '\r', '\n', '\x1a'};
// Version 2 adds what a drawing keeps of the file it was read from.
const Adesk::UInt16 kFileVersion = 2;
// Room enough for most objects' records, taken at once (what is not used is
// never touched).
const size_t kBytesPerObject = 128;

}  // namespace

namespace kvhost {
namespace {

// Writes an object: its handle, its class name and its record, which it
// files as if it were open for read (a proxy's as it holds it).
Acad::ErrorStatus writeObject(DwgMemoryFiler& out, AcDbObjectId id) {
  AcDbObject* object = id.stub()->object;
  auto* proxy = AcDbProxyObject::cast(object);
  out.writeUInt64(id.handle());
  out.writeString(proxy ? proxy->originalClassName() : object->isA()->name());
  const size_t lengthAt = out.bytes().size();
  out.writeUInt32(0);  // the record's length, once it is written
  Acad::ErrorStatus es = Acad::eOk;
  if (proxy) {
    out.writeBytes(proxy->record()->bytes.data(), proxy->record()->bytes.size());
  } else {
    AcDbObject::OpenState saved = object->openState();
    object->openState().readers += 1;
    es = object->dwgOutFields(&out);
    if (es == Acad::eOk) es = out.filerStatus();
    object->openState() = saved;
  }
  out.rewriteUInt32(lengthAt, static_cast<Adesk::UInt32>(out.bytes().size() - lengthAt - sizeof(Adesk::UInt32)));
  return es;
}

// The class of the objects read last, by its name as the file holds it:
// most objects are of the class of the one before them.
class ClassNames {
 public:
  AcRxClass* find(std::string_view utf8) {
    if (utf8 != m_lastUtf8) {
      m_lastUtf8 = utf8;
      m_lastName = fromUtf8(m_lastUtf8);
      m_pLast = AcRxClass::cast(acrxClassDictionary()->at(m_lastName.c_str()));
    }
    return m_pLast;
  }
  const std::wstring& lastName() const { return m_lastName; }

 private:
  std::string m_lastUtf8;
  std::wstring m_lastName;
  AcRxClass* m_pLast = nullptr;
};

// Reads one object: its handle, its class name and its record. An object
// whose class is not here, or whose record is newer than its class, is kept
// as a proxy.
Acad::ErrorStatus readObject(DwgMemoryFiler& filer, AcDbDatabase* db, ClassNames& classes) {
  Adesk::UInt64 handle = 0;
  Adesk::UInt32 length = 0;
  std::string_view className;
  filer.readUInt64(&handle);
  filer.readUtf8InPlace(className);
  filer.readUInt32(&length);
  const unsigned char* record = filer.readInPlace(length);
  if (record == nullptr || handle == 0) return Acad::eDwgNeedsRecovery;
  AcDbStub* stub = stubForHandle(db, handle);
  if (stub->object != nullptr) return Acad::eDwgNeedsRecovery;  // the same handle twice
  AcRxClass* cls = classes.find(className);
  if (AcDbObject* object = cls ? AcDbObject::cast(cls->create()) : nullptr) {
    placeObject(stub, object);
    Acad::ErrorStatus filing = restoreFromRecord(object, db, record, length, AcDb::kFileFiler);
    if (filing == Acad::eOk) return Acad::eOk;
    stub->object = nullptr;
    delete object;
    // A record newer than its class here stays a proxy, as one of an unknown class does.
    if (filing != Acad::eMakeMeProxy) return Acad::eDwgNeedsRecovery;
  }
  std::vector<unsigned char> bytes(record, record + length);
  placeObject(stub, new AcDbProxyObject(new AcDbProxyObject::Record{classes.lastName(), std::move(bytes)}));
  return Acad::eOk;
}

// A group's role as stored; a filler that keeps its object's value is
// followed by that value (files written before it was kept hold kFiller).
constexpr unsigned char kFillerWithValue = KeptGroups::kFiller + 1;

void writeText(DwgMemoryFiler& out, std::string_view text) {
  out.writeUInt32(static_cast<Adesk::UInt32>(text.size()));
  out.writeBytes(text.data(), text.size());
}

bool readText(DwgMemoryFiler& in, std::string& text) {
  Adesk::UInt32 length = 0;
  in.readUInt32(&length);
  if (in.filerStatus() != Acad::eOk || length > in.size()) return false;
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
  for (int i = 0; i < ids.length(); ++i) count += ids[i].stub()->kept.holdsRecord();
  out.writeUInt32(count);
  for (int i = 0; i < ids.length(); ++i) {
    if (!ids[i].stub()->kept.holdsRecord()) continue;
    out.writeUInt64(ids[i].handle());
    writeGroups(out, ids[i].stub()->kept);
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
      out.writeString(item.type);
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
    KeptGroups groups = KeptGroups::ofRecord();
    if (!readGroups(in, groups)) return false;
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
    return in.filerStatus() == Acad::eOk && n <= in.size();
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
  std::wstring type;
  for (KeptFile::Section& section : file->sections) {
    if (in.readString(section.name) != Acad::eOk || !readCount(n)) return false;
    section.items.resize(n);
    for (KeptFile::Item& item : section.items) {
      Adesk::UInt64 handle = 0;
      in.readUInt64(&handle);
      item.handle = handle;
      if (in.readString(type) != Acad::eOk || !readGroups(in, item.groups)) return false;
      item.type = file->typeName(type);
    }
  }
  setKeptFile(db, std::move(file));
  return true;
}

}  // namespace
}  // namespace kvhost

Acad::ErrorStatus AcDbDatabase::saveAs(const ACHAR* fileName) {
  if (fileName == nullptr || *fileName == 0) return Acad::eInvalidInput;
  if (Acad::ErrorStatus es = kvhost::checkRootDictionary(this); es != Acad::eOk) return es;
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
  out.reserve(static_cast<size_t>(ids.length()) * kBytesPerObject);
  out.writeUInt32(static_cast<Adesk::UInt32>(ids.length()));
  for (int i = 0; i < ids.length(); ++i) {
    // A drawing with a record missing is no drawing.
    if (Acad::ErrorStatus filing = kvhost::writeObject(out, ids[i]); filing != Acad::eOk)
      return kvhost::refuseUnwritable(ids[i].stub()->object, filing);
  }
  kvhost::writeKept(out, this, ids);
  const auto& bytes = out.bytes();
  Acad::ErrorStatus es =
      kvhost::replaceFile(fileName, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  if (es == Acad::eOk) kvhost::setDatabaseFileName(this, fileName);
  return es;
}

Acad::ErrorStatus AcDbDatabase::readDwgFile(const ACHAR* fileName) {
  if (fileName == nullptr) return Acad::eInvalidInput;
  if (!objectIds(true).isEmpty()) return Acad::eAlreadyInDb;
  std::string contents;
  if (Acad::ErrorStatus es = kvhost::readFile(fileName, contents); es != Acad::eOk) return es;
  kvhost::DwgMemoryFiler filer(AcDb::kFileFiler, this, reinterpret_cast<const unsigned char*>(contents.data()),
                               contents.size());
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
  kvhost::ClassNames classes;
  for (Adesk::UInt32 i = 0; i < objectCount && filer.filerStatus() == Acad::eOk; ++i)
    if (Acad::ErrorStatus es = kvhost::readObject(filer, this, classes); es != Acad::eOk) return es;
  if (filer.filerStatus() != Acad::eOk) return Acad::eDwgNeedsRecovery;
  if (version >= 2 && !kvhost::readKept(filer, this)) return Acad::eDwgNeedsRecovery;
  AcDbObjectId nod = getObjectId(nodHandle);
  if (!AcDbDictionary::cast(nod.stub()->object)) return Acad::eDwgNeedsRecovery;
  kvhost::setNamedObjectsDictionary(this, nod);
  kvhost::raiseHandseed(this, seed);
  kvhost::setDatabaseFileName(this, fileName);
  return Acad::eOk;
}
