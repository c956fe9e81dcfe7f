// Reading a drawing from ASCII DXF. Every record of the file becomes an
// object of the drawing with its handle and keeps the groups the file held
// of it; the drawing keeps the file around them (its header, classes and
// the order of every section), so that it is saved as it was read. A file
// without tables (as an earlier version of this writer wrote them) gets its
// frame built at each save, and the standard root entries it held are
// skipped when it is read.
#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>
#include "database/dbinternal.h"
#include "files/dxfframe.h"
#include "files/fileinternal.h"
#include "kvhost.h"
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
  bool markerless = false;
  bool rootDictionary = false;  // the first record of the objects
  AcDbHandle handle = 0;
  AcDbHandle owner = 0;
  std::vector<resbuf> items;
  KeptGroups held;  // every group after the type, its sub-entities' records too
  size_t section = 0, item = 0;  // where it stands in the kept file
};

// Records that belong to the entity before them.
bool isSubEntity(const std::wstring& type) { return type == L"VERTEX" || type == L"SEQEND" || type == L"ATTRIB"; }

// Takes the frame's objects out of what was read: the standard entries of
// the root dictionary and the objects they own. False when the root
// dictionary itself would go with them. Entities stay: no frame holds one.
bool dropFrame(std::vector<InRecord>& records, InRecord& nodRecord) {
  if (nodRecord.type != L"DICTIONARY") return true;  // refused as a root dictionary later
  std::set<AcDbHandle> frame;
  std::vector<resbuf>& root = nodRecord.items;
  const AcDbHandle nod = nodRecord.handle;
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
  records.erase(std::remove_if(records.begin(), records.end(),
                               [&](const InRecord& rec) { return !rec.entity && rec.handle != 0 && frame.count(rec.handle); }),
                records.end());
  return true;
}

// A file's sections read into header variables, classes and records as its
// tags come, each record made into an object of the database once it is
// whole (an entity once its sub-entities are there too). Records wait to the
// end only when the file gives them no handle, or when it has no tables,
// for its objects then may be the frame's.
class DxfReader {
 public:
  // start: the file's first bytes; a frame this writer built for a drawing
  // that keeps none is built again at each save.
  DxfReader(AcDbDatabase* db, const std::string& start)
      : m_pDb(db), m_start(start), m_file(std::make_unique<KeptFile>()) {}
  // The file's tags as they come, comments left out.
  void take(DxfTag&& tag) {
    if (m_status != Acad::eOk) return;
    if (tag.code == 0 && !m_tags.empty()) readUnit();
    m_tags.push_back(std::move(tag));
  }
  // After the file's EOF.
  Acad::ErrorStatus finish();
  // eOk while the records so far may be a drawing.
  Acad::ErrorStatus status() const { return m_status; }

 private:
  enum class Section { kNone, kHeader, kClasses, kRecords, kSkipped, kOther };

  bool isZero(size_t at, const char* value) const {
    return at < m_tags.size() && m_tags[at].code == 0 && trimDxf(m_tags[at].value) == value;
  }
  std::wstring text(size_t at) const { return decodeDxf(trimDxf(m_tags[at].value), m_encoding); }
  // A record's type: written as any text is, escapes and all.
  std::wstring typeName(size_t at) const { return unescapeDxfText(text(at), m_encoding); }
  KeptGroups keep(size_t from, size_t to) const;
  // m_tags holds a group of code 0 and those up to the next one.
  void readUnit();
  Acad::ErrorStatus readTags();
  Acad::ErrorStatus beginSection(const std::wstring& section);
  Acad::ErrorStatus readHeader(size_t at, size_t end);
  Acad::ErrorStatus readClass();
  Acad::ErrorStatus readRecord();
  void readOther(size_t at, size_t end);
  bool readRecordStart(size_t first, size_t end, InRecord& rec, size_t& body) const;
  // The entity read last, with its sub-entities.
  Acad::ErrorStatus endEntity();
  Acad::ErrorStatus place(InRecord&& rec);
  Acad::ErrorStatus build(InRecord& rec);
  void numberRecords();
  const ClassInfo* findClass(const std::wstring& dxfName) const;
  Acad::ErrorStatus buildObject(InRecord& rec);
  AcDbObject* createObject(const InRecord& rec, const ClassInfo* info, AcRxClass*& reader) const;
  Acad::ErrorStatus fill(AcDbStub* stub, AcDbObject* object, InRecord& rec, bool readGroups = true);
  Acad::ErrorStatus takeBackDwgRecord(AcDbStub* stub, AcDbProxyObject* proxy, const InRecord& rec);
  Acad::ErrorStatus keepAsProxy(AcDbStub* stub, InRecord& rec, const ClassInfo* info, const AcRxClass* reader);
  Acad::ErrorStatus setRootDictionary();
  // Refuses the file for a record that could not be kept, naming it.
  Acad::ErrorStatus refuse(const InRecord& rec, const std::string& why,
                           Acad::ErrorStatus es = Acad::eDwgNeedsRecovery) const {
    setOpenError("the " + toUtf8(rec.type) + " " + dxfHex(rec.handle) + " " + why);
    return es;
  }

  AcDbDatabase* m_pDb;
  const std::string& m_start;
  std::vector<DxfTag> m_tags;
  std::unique_ptr<KeptFile> m_file;
  Acad::ErrorStatus m_status = Acad::eOk;
  Section m_section = Section::kNone;
  std::wstring m_sectionName;
  DxfEncoding m_encoding = DxfEncoding::kUtf8;
  bool m_bMarkers = true;  // the release names subclasses
  bool m_bHaveTables = false;
  bool m_bBuiltFrame = false;
  bool m_bStarted = false;  // the first section was read
  AcDbHandle m_seed = 0, m_highest = 0;
  std::vector<std::pair<std::wstring, std::wstring>> m_header;
  std::vector<ClassInfo> m_classes;
  InRecord m_entity;  // valid while m_bAfterEntity
  bool m_bAfterEntity = false;
  std::vector<InRecord> m_waiting;  // in file order
  bool m_bHaveObjects = false, m_bHaveRoot = false;
  AcDbHandle m_nod = 0;
  std::vector<resbuf> m_written;  // what the object read last writes of itself; its room serves the next
  std::vector<resbuf> m_recordStart;  // the start of the record read last, parsed to be checked; its room serves the next
};

bool opensWithBuiltFrameComment(const std::string& bytes) {
  std::string start = bytes.substr(0, 64);
  start.erase(std::remove(start.begin(), start.end(), '\r'), start.end());
  return start.rfind(kBuiltFrameComment, 0) == 0;
}

void DxfReader::readUnit() {
  if (m_status == Acad::eOk) m_status = readTags();
  m_tags.clear();
}

Acad::ErrorStatus DxfReader::readTags() {
  if (m_section == Section::kNone) {
    if (isZero(0, "EOF")) return Acad::eOk;
    if (!isZero(0, "SECTION") || m_tags.size() < 2 || m_tags[1].code != 2) {
      setOpenError(isZero(0, "SECTION") ? "a section without its name" : "a record outside any section");
      return Acad::eDwgNeedsRecovery;
    }
    if (!m_bStarted) m_bBuiltFrame = opensWithBuiltFrameComment(m_start);
    m_bStarted = true;
    return beginSection(text(1));
  }
  if (isZero(0, "ENDSEC")) {
    m_section = Section::kNone;
    Acad::ErrorStatus es = endEntity();
    return es != Acad::eOk || m_tags.size() == 1 ? es : Acad::eDwgNeedsRecovery;
  }
  if (isZero(0, "EOF")) return Acad::eDwgNeedsRecovery;  // inside a section
  switch (m_section) {
    case Section::kClasses: return readClass();
    case Section::kRecords: return readRecord();
    case Section::kSkipped: return Acad::eOk;
    case Section::kOther: readOther(0, m_tags.size()); return Acad::eOk;
    case Section::kHeader:
    case Section::kNone: break;
  }
  return Acad::eDwgNeedsRecovery;  // a record in the header
}

Acad::ErrorStatus DxfReader::finish() {
  if (!m_tags.empty()) readUnit();
  if (m_status != Acad::eOk) return m_status;
  if (m_section != Section::kNone) return Acad::eDwgNeedsRecovery;
  auto root = std::find_if(m_waiting.begin(), m_waiting.end(), [](const InRecord& rec) { return rec.rootDictionary; });
  if (!m_bHaveTables && root != m_waiting.end() && !dropFrame(m_waiting, *root)) return Acad::eDwgNeedsRecovery;
  numberRecords();
  Acad::ErrorStatus es = Acad::eOk;
  for (InRecord& rec : m_waiting)
    if ((es = build(rec)) != Acad::eOk) return es;
  for (auto& var : m_header) m_pDb->setHeaderSysVar(var.first.c_str(), var.second.c_str());
  if ((es = setRootDictionary()) != Acad::eOk) return es;
  if (!m_bHaveTables) {  // the frame, with its entries of the root dictionary, is built at each save
    m_file->classes.clear();
    m_file->sections.clear();
    m_pDb->namedObjectsDictionaryId().stub()->kept = KeptGroups();
  }
  setKeptFile(m_pDb, std::move(m_file));
  // A header the frame built at each save could not hold is refused now, not at the save.
  if (const std::wstring unfit = unfitHeaderVariable(m_pDb); !unfit.empty()) {
    setOpenError(toUtf8(unfit) + ", which a save would lose");
    return Acad::eDwgNeedsRecovery;
  }
  return Acad::eOk;
}

KeptGroups DxfReader::keep(size_t from, size_t to) const {
  KeptGroups held;
  size_t bytes = 0;
  for (size_t i = from; i < to; ++i) bytes += m_tags[i].value.size();
  held.reserve(to - from, bytes);
  for (size_t i = from; i < to; ++i) {
    const std::string& bytes = m_tags[i].value;
    const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) == 0; });
    if (ascii)
      held.add(m_tags[i].code, bytes);
    else
      held.add(m_tags[i].code, toUtf8(decodeDxf(bytes, m_encoding)));
  }
  return held;
}

// The section's start: its name and the groups before its first record.
Acad::ErrorStatus DxfReader::beginSection(const std::wstring& section) {
  const size_t at = 2, end = m_tags.size();
  m_sectionName = section;
  if (section == L"HEADER" && !m_file->sections.empty()) {
    // Records before it would have been read as of another release.
    setOpenError("its HEADER section comes after the sections of records");
    return Acad::eDwgNeedsRecovery;
  }
  if (section == L"HEADER") {
    m_section = Section::kHeader;
    return readHeader(at, end);
  }
  if (section == L"CLASSES") {
    m_section = Section::kClasses;
    return at == end ? Acad::eOk : Acad::eDwgNeedsRecovery;
  }
  if (m_bBuiltFrame && (section == L"TABLES" || section == L"BLOCKS")) {
    m_section = Section::kSkipped;  // built again
    return Acad::eOk;
  }
  m_file->sections.push_back({section, {}});
  if (section == L"TABLES") m_bHaveTables = true;
  if (section == L"OBJECTS" && !m_bMarkers && !m_bHaveTables) {
    // Its frame would be built at a save, of a release that names subclasses: objects read
    // without them could not be kept for what they are.
    setOpenError("it has objects but no tables, in a release before R13");
    return Acad::eDwgNeedsRecovery;
  }
  if (section == L"ENTITIES" || section == L"OBJECTS" || section == L"TABLES" || section == L"BLOCKS") {
    m_section = Section::kRecords;
    m_bHaveObjects = m_bHaveObjects || section == L"OBJECTS";
    return at == end ? Acad::eOk : Acad::eDwgNeedsRecovery;
  }
  m_section = Section::kOther;
  readOther(at, end);
  return Acad::eOk;
}

// A section of no interest here is kept as its records.
void DxfReader::readOther(size_t at, size_t end) {
  while (at < end) {
    KeptFile::Item item;
    item.type = m_tags[at].code == 0 ? m_file->typeName(typeName(at)) : L"";
    size_t first = m_tags[at].code == 0 ? at + 1 : at;
    for (at = first; at < end && m_tags[at].code != 0;) ++at;
    item.groups = keep(first, at);
    m_file->sections.back().items.push_back(std::move(item));
  }
}

Acad::ErrorStatus DxfReader::readHeader(size_t at, size_t end) {
  for (size_t i = at; i < end; ++i)
    if (m_tags[i].code == 9 && trimDxf(m_tags[i].value) == "$ACADVER" && i + 1 < end) {
      const std::wstring release = decodeDxf(trimDxf(m_tags[i + 1].value), DxfEncoding::kUtf8);
      m_encoding = dxfEncodingOf(release);
      m_bMarkers = release.empty() || release > L"AC1009";
    }
  while (at < end) {
    if (m_tags[at].code != 9) return Acad::eDwgNeedsRecovery;
    std::wstring name = text(at);
    // Kept without its $, which the writer gives every name back.
    if (name.empty() || name[0] != L'$') {
      setOpenError("the header holds \"" + toUtf8(name) + "\" where a variable's name, starting with $, is expected");
      return Acad::eDwgNeedsRecovery;
    }
    size_t first = ++at;
    while (at < end && m_tags[at].code != 9) ++at;
    m_file->header.push_back({name.substr(1), keep(first, at)});
    if (name == L"$HANDSEED") {
      if (at != first + 1 || !parseDxfHandle(text(first), m_seed)) return Acad::eDwgNeedsRecovery;
    } else if (at == first + 1 && name.size() > 1 && !DxfFrame::isFileVariable(name.substr(1))) {
      // Variables of one value are the host's as text; all are kept with their groups.
      m_header.emplace_back(name.substr(1), unescapeDxfText(decodeDxf(m_tags[first].value, m_encoding), m_encoding));
    }
  }
  return Acad::eOk;
}

Acad::ErrorStatus DxfReader::readClass() {
  if (!isZero(0, "CLASS")) return Acad::eDwgNeedsRecovery;
  const size_t first = 1, end = m_tags.size();
  std::vector<resbuf> items;
  if (!toDxfGroups(m_tags, first, end, items, m_encoding)) return Acad::eDwgNeedsRecovery;
  m_file->classes.push_back(keep(first, end));
  ClassInfo info;
  for (const resbuf& rb : items) {
    if (rb.restype == 1) info.dxfName = rb.text;
    if (rb.restype == 2) info.className = rb.text;
    if (rb.restype == 3) info.appName = rb.text;
    if (rb.restype == 90) info.proxyFlags = rb.int32;
    if (rb.restype == 281) info.isEntity = rb.int32 != 0;
  }
  m_classes.push_back(info);
  return Acad::eOk;
}

Acad::ErrorStatus DxfReader::readRecord() {
  KeptFile::Section& kept = m_file->sections.back();
  const size_t first = 1, end = m_tags.size();
  InRecord rec;
  rec.type = typeName(0);
  if (rec.type == L"ENDTAB") {
    kept.items.push_back({0, m_file->typeName(rec.type), keep(first, end)});
    return Acad::eOk;
  }
  size_t body = first;
  if (!readRecordStart(first, end, rec, body)) return Acad::eDwgNeedsRecovery;
  m_highest = std::max(m_highest, rec.handle);
  if (m_bAfterEntity && isSubEntity(rec.type)) {
    // Kept with its entity, as the file holds it.
    m_entity.held.add(0, toUtf8(text(0)));
    m_entity.held.append(keep(first, end));
    return Acad::eOk;
  }
  Acad::ErrorStatus es = endEntity();
  if (es != Acad::eOk) return es;
  rec.entity = m_sectionName == L"ENTITIES" ||
               (m_sectionName == L"BLOCKS" && rec.type != L"BLOCK" && rec.type != L"ENDBLK");
  // Every value must read as its code's kind, those among the start's groups too (a save may put
  // them elsewhere); a start of handles and application groups only, as most are, has none.
  const bool plainStart = std::all_of(m_tags.begin() + static_cast<std::ptrdiff_t>(first),
                                      m_tags.begin() + static_cast<std::ptrdiff_t>(body), [](const DxfTag& tag) {
                                        return tag.code == 5 || tag.code == 105 || tag.code == 330 || tag.code == 102;
                                      });
  m_recordStart.clear();
  if ((!plainStart && !toDxfGroups(m_tags, first, body, m_recordStart, m_encoding)) ||
      !toDxfGroups(m_tags, body, end, rec.items, m_encoding))
    return Acad::eDwgNeedsRecovery;
  // The object's own groups end where its extended data starts: the file
  // writer puts back from there on what the file held, as it was.
  rec.items.erase(std::find_if(rec.items.begin(), rec.items.end(), [](const resbuf& rb) { return rb.restype >= 1000; }),
                  rec.items.end());
  rec.markerless = !m_bMarkers;
  rec.held = keep(first, end);
  rec.section = m_file->sections.size() - 1;
  rec.item = kept.items.size();
  kept.items.push_back({0, m_file->typeName(rec.type), {}});
  rec.rootDictionary = m_sectionName == L"OBJECTS" && !m_bHaveRoot;
  m_bHaveRoot = m_bHaveRoot || rec.rootDictionary;
  if (!rec.entity) return place(std::move(rec));
  m_entity = std::move(rec);
  m_bAfterEntity = true;
  return Acad::eOk;
}

Acad::ErrorStatus DxfReader::endEntity() {
  if (!m_bAfterEntity) return Acad::eOk;
  m_bAfterEntity = false;
  return place(std::move(m_entity));
}

Acad::ErrorStatus DxfReader::place(InRecord&& rec) {
  if (rec.handle != 0 && (rec.entity || m_bHaveTables)) return build(rec);
  m_waiting.push_back(std::move(rec));
  return Acad::eOk;
}

Acad::ErrorStatus DxfReader::build(InRecord& rec) {
  Acad::ErrorStatus es = buildObject(rec);
  if (es != Acad::eOk) return es;
  m_file->sections[rec.section].items[rec.item].handle = rec.handle;
  if (rec.rootDictionary) m_nod = rec.handle;
  return Acad::eOk;
}

// The record's start: the handle, the owner and application groups
// ({ ... } pairs of 102), up to the first subclass marker where the release
// has them. body is where the object's own groups start;
// false for a handle that does not parse.
bool DxfReader::readRecordStart(size_t first, size_t end, InRecord& rec, size_t& body) const {
  bool inGroup = false, haveOwner = false;
  for (body = first; body < end; ++body) {
    const DxfTag& tag = m_tags[body];
    if (tag.code == 102) {
      inGroup = trimDxf(tag.value) != "}";
    } else if (tag.code == 5 || tag.code == 105) {
      if (!parseDxfHandle(text(body), rec.handle)) return false;
    } else if (tag.code == 330 && !inGroup && !haveOwner) {
      if (!parseDxfHandle(text(body), rec.owner)) return false;
      haveOwner = true;
    } else if (!inGroup && (!m_bMarkers || tag.code == AcDb::kDxfSubclass)) {
      break;  // the object's own groups: from its first subclass, or those of a release that names none
    }
  }
  return true;
}

// Records without a handle (files from releases that had none) get new ones.
void DxfReader::numberRecords() {
  AcDbHandle next = std::max(m_seed, m_highest + 1);
  for (InRecord& rec : m_waiting)
    if (rec.handle == 0) rec.handle = next++;
  raiseHandseed(m_pDb, next);
}

const ClassInfo* DxfReader::findClass(const std::wstring& dxfName) const {
  for (const ClassInfo& c : m_classes)
    if (c.dxfName == dxfName) return &c;
  return nullptr;
}

Acad::ErrorStatus DxfReader::buildObject(InRecord& rec) {
  AcDbStub* stub = stubForHandle(m_pDb, rec.handle);
  if (stub->object != nullptr) return refuse(rec, "has the handle of a record before it");
  const ClassInfo* info = findClass(rec.type);
  const bool dwgProxy = rec.type == L"ACAD_PROXY_OBJECT";
  AcRxClass* reader = nullptr;
  AcDbObject* object = dwgProxy ? new AcDbProxyObject : createObject(rec, info, reader);
  // An entity among the objects would be saved among the entities, owned
  // by the model space, and the other way round.
  if (object != nullptr && !dwgProxy && (AcDbEntity::cast(object) != nullptr) != rec.entity) {
    delete object;
    return refuse(rec, rec.entity ? "is an object among the entities" : "is an entity among the objects");
  }
  if (object != nullptr) {
    Acad::ErrorStatus es = fill(stub, object, rec);
    if (es == Acad::eOk)
      return dwgProxy ? takeBackDwgRecord(stub, static_cast<AcDbProxyObject*>(object), rec) : Acad::eOk;
    const std::string cls = toUtf8(object->isA()->name());
    stub->object = nullptr;
    delete object;
    // A proxy's data in a form of another program's stays the groups it is.
    if (es != Acad::eMakeMeProxy && !dwgProxy) return refuse(rec, "cannot be read as its class " + cls + " reads it", es);
  }
  return keepAsProxy(stub, rec, info, reader);
}

// Reads an object from its groups and keeps with it what the file held.
Acad::ErrorStatus DxfReader::fill(AcDbStub* stub, AcDbObject* object, InRecord& rec, bool readGroups) {
  placeObject(stub, object);
  if (!rec.entity && rec.owner != 0) object->setOwnerId(m_pDb->getObjectId(rec.owner));
  Acad::ErrorStatus es = readGroups ? restoreFromGroups(object, m_pDb, rec.items, rec.markerless) : Acad::eOk;
  if (es != Acad::eOk) return es;
  if ((es = dxfGroupsOf(object, m_pDb, m_written)) != Acad::eOk) return es;
  assignRoles(rec.held, m_written, m_encoding, rec.markerless);
  stub->kept = std::move(rec.held);
  return Acad::eOk;
}

// Records are typed by their DXF name: a class registered here under it
// reads them also from a file that lists another class for it, or none.
// Kept as a proxy instead, the record would share its name with the class's
// own objects at the next save and be read by the class then.
AcDbObject* DxfReader::createObject(const InRecord& rec, const ClassInfo* info, AcRxClass*& reader) const {
  if (AcRxClass* cls = builtinDxfClass(rec.type)) return AcDbObject::cast(cls->create());
  reader = classByDxfName(rec.type);
  if (reader == nullptr && info != nullptr) reader = AcRxClass::cast(acrxClassDictionary()->at(info->className.c_str()));
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
// its groups until it is saved again; an entity is an entity still.
Acad::ErrorStatus DxfReader::keepAsProxy(AcDbStub* stub, InRecord& rec, const ClassInfo* info,
                                         const AcRxClass* reader) {
  if (rec.entity) {
    auto* entity = new AcDbProxyEntity(rec.type.c_str());
    Acad::ErrorStatus es = fill(stub, entity, rec);
    if (es != Acad::eOk) {
      stub->object = nullptr;
      delete entity;
    }
    return es;
  }
  DxfProxyRecord dxf;
  dxf.dxfName = rec.type;
  dxf.className = reader ? reader->name() : info ? info->className : rec.type;
  dxf.appName = reader ? reader->appName() : info ? info->appName : L"";
  dxf.proxyFlags = info ? info->proxyFlags : 0;
  dxf.isEntity = rec.entity;
  dxf.items = rec.items;
  return fill(stub, new AcDbProxyObject(makeDxfProxyRecord(dxf)), rec, false);
}

Acad::ErrorStatus DxfReader::setRootDictionary() {
  if (m_bHaveObjects) {
    if (!m_bHaveRoot) return Acad::eDwgNeedsRecovery;
    AcDbObjectId nod = m_pDb->getObjectId(m_nod);
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
  std::unique_ptr<kvhost::DxfReader> records;
  kvhost::DxfTagReader reader([&records](kvhost::DxfTag&& tag) { records->take(std::move(tag)); });
  records = std::make_unique<kvhost::DxfReader>(this, reader.start());
  // A file refused by its records is read no further.
  Acad::ErrorStatus es = kvhost::readFile(fileName, [&](const char* bytes, size_t size) {
    const Acad::ErrorStatus tags = reader.take(bytes, size);
    return tags != Acad::eOk ? tags : records->status();
  });
  if (es == Acad::eOk) es = reader.finish();
  if (es != Acad::eOk) {
    if (!reader.why().empty()) kvhost::setOpenError(reader.why());
    return es;
  }
  es = records->finish();
  if (es == Acad::eOk) kvhost::setDatabaseFileName(this, fileName);
  return es;
}
