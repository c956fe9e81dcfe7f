// Reading a drawing from ASCII DXF. The frame around the drawing's own
// objects (tables, blocks, the standard root entries) is skipped, so the
// database holds exactly what it held when it was saved.
#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>
#include "database/dbinternal.h"
#include "files/dxfframe.h"
#include "files/fileinternal.h"
#include "rx/rxinternal.h"

namespace kvhost {
namespace {

struct ClassInfo {
  std::wstring dxfName, className, appName;
  Adesk::Int32 proxyFlags = 0;
  bool isEntity = false;
};

struct InRecord {
  std::wstring type;
  bool entity = false;
  AcDbHandle handle = 0;
  AcDbHandle owner = 0;
  std::vector<resbuf> items;
};

// Takes the frame's objects out of what was read: the standard entries of
// the root dictionary and the objects they own. False when the root
// dictionary itself would go with them.
bool dropFrame(std::vector<InRecord>& records, size_t& nodRecord) {
  if (records[nodRecord].type != L"DICTIONARY") return true;  // refused as a root dictionary later
  std::set<AcDbHandle> frame;
  std::vector<resbuf>& root = records[nodRecord].items;
  const AcDbHandle nod = records[nodRecord].handle;
  for (size_t i = 0; i + 1 < root.size();) {
    AcDbHandle h = 0;
    bool entry = root[i].restype == AcDb::kDxfXTextString && (root[i + 1].restype == 350 || root[i + 1].restype == 360);
    if (!entry || !DxfFrame::isRootEntry(root[i].text)) {
      ++i;
      continue;
    }
    if (parseDxfHandle(root[i + 1].text, h) && h != 0) frame.insert(h);
    root.erase(root.begin() + i, root.begin() + i + 2);
  }
  if (frame.empty()) return true;
  for (bool grown = true; grown;) {
    grown = false;
    for (const InRecord& rec : records)
      if (!rec.entity && rec.owner != 0 && frame.count(rec.owner) && rec.handle != 0 && frame.insert(rec.handle).second)
        grown = true;
  }
  if (frame.count(nod)) return false;
  std::vector<InRecord> kept;
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].handle != 0 && frame.count(records[i].handle)) continue;
    if (i == nodRecord) nodRecord = kept.size();
    kept.push_back(std::move(records[i]));
  }
  records = std::move(kept);
  return true;
}

// A file's sections read into header variables, classes and records, then
// the records made into the database's objects.
class DxfReader {
 public:
  DxfReader(AcDbDatabase* db, std::vector<DxfTag> tags) : m_pDb(db), m_tags(std::move(tags)) {}
  Acad::ErrorStatus read();

 private:
  bool isZero(size_t at, const wchar_t* value) const {
    return at < m_tags.size() && m_tags[at].code == 0 && trimDxf(m_tags[at].value) == value;
  }
  Acad::ErrorStatus readSections();
  Acad::ErrorStatus readSection(const std::wstring& section, size_t at, size_t end);
  Acad::ErrorStatus readHeader(size_t at, size_t end);
  Acad::ErrorStatus readClasses(size_t at, size_t end);
  Acad::ErrorStatus readRecords(size_t at, size_t end, bool entities);
  bool readRecordStart(size_t first, size_t end, InRecord& rec, size_t& body) const;
  void numberRecords();
  const ClassInfo* findClass(const std::wstring& dxfName) const;
  Acad::ErrorStatus buildObject(const InRecord& rec);
  AcDbObject* createObject(const InRecord& rec, const ClassInfo* info, AcRxClass*& reader) const;
  Acad::ErrorStatus takeBackDwgRecord(AcDbStub* stub, AcDbProxyObject* proxy, const InRecord& rec);
  void keepAsProxy(AcDbStub* stub, const InRecord& rec, const ClassInfo* info, const AcRxClass* reader);
  Acad::ErrorStatus setRootDictionary();

  AcDbDatabase* m_pDb;
  std::vector<DxfTag> m_tags;
  AcDbHandle m_seed = 0;
  std::vector<std::pair<std::wstring, std::wstring>> m_header;
  std::vector<ClassInfo> m_classes;
  std::vector<InRecord> m_records;
  bool m_bHaveObjects = false;
  size_t m_nodRecord = SIZE_MAX;
};

Acad::ErrorStatus DxfReader::read() {
  Acad::ErrorStatus es = readSections();
  if (es != Acad::eOk) return es;
  if (m_nodRecord != SIZE_MAX && !dropFrame(m_records, m_nodRecord)) return Acad::eDwgNeedsRecovery;
  numberRecords();
  for (const InRecord& rec : m_records)
    if ((es = buildObject(rec)) != Acad::eOk) return es;
  for (auto& var : m_header) m_pDb->setHeaderSysVar(var.first.c_str(), var.second.c_str());
  return setRootDictionary();
}

Acad::ErrorStatus DxfReader::readSections() {
  size_t i = 0;
  while (!isZero(i, L"EOF")) {
    if (!isZero(i, L"SECTION") || i + 1 >= m_tags.size() || m_tags[i + 1].code != 2) return Acad::eDwgNeedsRecovery;
    size_t end = i + 2;
    while (end < m_tags.size() && !isZero(end, L"ENDSEC") && !isZero(end, L"EOF")) ++end;
    if (!isZero(end, L"ENDSEC")) return Acad::eDwgNeedsRecovery;
    Acad::ErrorStatus es = readSection(trimDxf(m_tags[i + 1].value), i + 2, end);
    if (es != Acad::eOk) return es;
    i = end + 1;
  }
  return Acad::eOk;
}

Acad::ErrorStatus DxfReader::readSection(const std::wstring& section, size_t at, size_t end) {
  if (section == L"HEADER") return readHeader(at, end);
  if (section == L"CLASSES") return readClasses(at, end);
  if (section == L"ENTITIES" || section == L"OBJECTS") return readRecords(at, end, section == L"ENTITIES");
  return Acad::eOk;  // tables, blocks and sections of no interest are rebuilt at each save
}

Acad::ErrorStatus DxfReader::readHeader(size_t at, size_t end) {
  while (at < end) {
    if (m_tags[at].code != 9) return Acad::eDwgNeedsRecovery;
    std::wstring name = trimDxf(m_tags[at].value);
    size_t first = ++at;
    while (at < end && m_tags[at].code != 9) ++at;
    if (name == L"$HANDSEED") {
      if (at != first + 1 || !parseDxfHandle(trimDxf(m_tags[first].value), m_seed)) return Acad::eDwgNeedsRecovery;
    } else if (at == first + 1 && name.size() > 1 && name[0] == L'$' && !DxfFrame::isFileVariable(name.substr(1))) {
      // Variables of one value are the host's; points and such are not kept.
      m_header.emplace_back(name.substr(1), unescapeDxfText(m_tags[first].value));
    }
  }
  return Acad::eOk;
}

Acad::ErrorStatus DxfReader::readClasses(size_t at, size_t end) {
  while (at < end) {
    if (!isZero(at, L"CLASS")) return Acad::eDwgNeedsRecovery;
    size_t first = ++at;
    while (at < end && m_tags[at].code != 0) ++at;
    std::vector<resbuf> items;
    if (!toDxfGroups(m_tags, first, at, items)) return Acad::eDwgNeedsRecovery;
    ClassInfo info;
    for (const resbuf& rb : items) {
      if (rb.restype == 1) info.dxfName = rb.text;
      if (rb.restype == 2) info.className = rb.text;
      if (rb.restype == 3) info.appName = rb.text;
      if (rb.restype == 90) info.proxyFlags = rb.int32;
      if (rb.restype == 281) info.isEntity = rb.int32 != 0;
    }
    m_classes.push_back(info);
  }
  return Acad::eOk;
}

Acad::ErrorStatus DxfReader::readRecords(size_t at, size_t end, bool entities) {
  m_bHaveObjects = m_bHaveObjects || !entities;
  while (at < end) {
    if (m_tags[at].code != 0) return Acad::eDwgNeedsRecovery;
    InRecord rec;
    rec.type = trimDxf(m_tags[at].value);
    rec.entity = entities;
    size_t first = ++at;
    while (at < end && m_tags[at].code != 0) ++at;
    size_t body = first;
    if (!readRecordStart(first, at, rec, body) || !toDxfGroups(m_tags, body, at, rec.items))
      return Acad::eDwgNeedsRecovery;
    if (!entities && m_nodRecord == SIZE_MAX) m_nodRecord = m_records.size();
    m_records.push_back(std::move(rec));
  }
  return Acad::eOk;
}

// Before the first subclass marker: the handle, the owner and application
// groups ({ ... } pairs of 102), which the file keeps. body is where the
// object's own groups start; false for a handle that does not parse.
bool DxfReader::readRecordStart(size_t first, size_t end, InRecord& rec, size_t& body) const {
  bool inGroup = false, haveOwner = false;
  for (body = first; body < end && m_tags[body].code != 100; ++body) {
    const DxfTag& tag = m_tags[body];
    if (tag.code == 102) inGroup = trimDxf(tag.value) != L"}";
    if (tag.code == 5 && !parseDxfHandle(trimDxf(tag.value), rec.handle)) return false;
    if (tag.code == 330 && !inGroup && !haveOwner) {
      if (!parseDxfHandle(trimDxf(tag.value), rec.owner)) return false;
      haveOwner = true;
    }
  }
  return true;
}

// Records without a handle (files from releases that had none) get new ones.
void DxfReader::numberRecords() {
  AcDbHandle highest = 0;
  for (const InRecord& rec : m_records) highest = std::max(highest, rec.handle);
  AcDbHandle next = std::max(m_seed, highest + 1);
  for (InRecord& rec : m_records)
    if (rec.handle == 0) rec.handle = next++;
  raiseHandseed(m_pDb, next);
}

const ClassInfo* DxfReader::findClass(const std::wstring& dxfName) const {
  for (const ClassInfo& c : m_classes)
    if (c.dxfName == dxfName) return &c;
  return nullptr;
}

Acad::ErrorStatus DxfReader::buildObject(const InRecord& rec) {
  AcDbStub* stub = stubForHandle(m_pDb, rec.handle);
  if (stub->object != nullptr) return Acad::eDwgNeedsRecovery;  // the same handle twice
  const ClassInfo* info = findClass(rec.type);
  const bool dwgProxy = rec.type == L"ACAD_PROXY_OBJECT";
  AcRxClass* reader = nullptr;
  AcDbObject* object = dwgProxy ? new AcDbProxyObject : createObject(rec, info, reader);
  // An entity among the objects would be saved among the entities, owned
  // by the model space, and the other way round.
  if (object != nullptr && !dwgProxy && (AcDbEntity::cast(object) != nullptr) != rec.entity) {
    delete object;
    return Acad::eDwgNeedsRecovery;
  }
  if (object != nullptr) {
    placeObject(stub, object);
    if (!rec.entity && rec.owner != 0) object->setOwnerId(m_pDb->getObjectId(rec.owner));
    Acad::ErrorStatus es = restoreFromGroups(object, m_pDb, rec.items);
    if (es == Acad::eOk)
      return dwgProxy ? takeBackDwgRecord(stub, static_cast<AcDbProxyObject*>(object), rec) : Acad::eOk;
    stub->object = nullptr;
    delete object;
    if (es != Acad::eMakeMeProxy) return es;
  }
  keepAsProxy(stub, rec, info, reader);
  return Acad::eOk;
}

// Records are typed by their DXF name: a class registered here under it
// reads them also from a file that lists another class for it, or none.
// Kept as a proxy instead, the record would share its name with the class's
// own objects at the next save and be read by the class then.
AcDbObject* DxfReader::createObject(const InRecord& rec, const ClassInfo* info, AcRxClass*& reader) const {
  if (AcRxClass* cls = builtinDxfClass(rec.type)) return AcDbObject::cast(cls->create());
  reader = info != nullptr ? AcRxClass::cast(acrxClassDictionary()->at(info->className.c_str())) : nullptr;
  if (reader == nullptr) reader = classByDxfName(rec.type);
  if (reader != nullptr && reader->isDerivedFrom(AcDbObject::desc())) return AcDbObject::cast(reader->create());
  return nullptr;
}

// The class of a proxy's DWG record may be here now to take it back.
Acad::ErrorStatus DxfReader::takeBackDwgRecord(AcDbStub* stub, AcDbProxyObject* proxy, const InRecord& rec) {
  long number = -1;
  for (const resbuf& rb : rec.items)
    if (rb.restype == 91) number = rb.int32 - 500;
  if (number < 0 || static_cast<size_t>(number) >= m_classes.size()) return Acad::eDwgNeedsRecovery;
  proxy->record()->className = m_classes[number].className;
  AcRxClass* cls = AcRxClass::cast(acrxClassDictionary()->at(proxy->record()->className.c_str()));
  AcDbObject* real = cls && cls->isDerivedFrom(AcDbObject::desc()) ? AcDbObject::cast(cls->create()) : nullptr;
  if (real == nullptr) return Acad::eOk;
  std::vector<unsigned char> record = proxy->record()->bytes;
  delete proxy;
  placeObject(stub, real);
  return restoreFromRecord(real, m_pDb, record, AcDb::kFileFiler) == Acad::eOk ? Acad::eOk : Acad::eDwgNeedsRecovery;
}

// A class unknown here, or a record newer than its class: the object keeps
// its groups until it is saved again.
void DxfReader::keepAsProxy(AcDbStub* stub, const InRecord& rec, const ClassInfo* info, const AcRxClass* reader) {
  DxfProxyRecord dxf;
  dxf.dxfName = rec.type;
  dxf.className = reader ? reader->name() : info ? info->className : rec.type;
  dxf.appName = reader ? reader->appName() : info ? info->appName : L"";
  dxf.proxyFlags = info ? info->proxyFlags : 0;
  dxf.isEntity = rec.entity;
  dxf.items = rec.items;
  auto* proxy = new AcDbProxyObject(makeDxfProxyRecord(dxf));
  placeObject(stub, proxy);
  if (!rec.entity && rec.owner != 0) proxy->setOwnerId(m_pDb->getObjectId(rec.owner));
}

Acad::ErrorStatus DxfReader::setRootDictionary() {
  if (m_bHaveObjects) {
    if (m_nodRecord == SIZE_MAX) return Acad::eDwgNeedsRecovery;
    AcDbObjectId nod = m_pDb->getObjectId(m_records[m_nodRecord].handle);
    if (!AcDbDictionary::cast(nod.stub()->object)) return Acad::eDwgNeedsRecovery;
    setNamedObjectsDictionary(m_pDb, nod);
    return Acad::eOk;
  }
  // Files from releases without objects still need a named-object dictionary.
  bool wasDisabled = !m_pDb->undoRecording();
  m_pDb->disableUndoRecording(true);
  auto* nod = new AcDbDictionary;
  AcDbObjectId nodId;
  m_pDb->addAcDbObject(nodId, nod);
  nod->close();
  m_pDb->disableUndoRecording(wasDisabled);
  setNamedObjectsDictionary(m_pDb, nodId);
  return Acad::eOk;
}

}  // namespace
}  // namespace kvhost

Acad::ErrorStatus AcDbDatabase::dxfIn(const ACHAR* fileName) {
  if (fileName == nullptr) return Acad::eInvalidInput;
  if (!objectIds(true).isEmpty()) return Acad::eAlreadyInDb;
  std::string bytes;
  Acad::ErrorStatus es = kvhost::readFile(fileName, bytes);
  if (es != Acad::eOk) return es;
  std::vector<kvhost::DxfTag> tags;
  es = kvhost::readDxfTags(bytes, tags);
  if (es != Acad::eOk) return es;
  es = kvhost::DxfReader(this, std::move(tags)).read();
  if (es == Acad::eOk) kvhost::setDatabaseFileName(this, fileName);
  return es;
}
