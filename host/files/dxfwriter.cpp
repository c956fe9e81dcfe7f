// Writing a drawing as ASCII DXF. Every object files its own groups through
// a DXF filer; the file's frame adds what a DXF reader expects around them.
#include <map>
#include <set>
#include <string>
#include <vector>
#include "database/dbinternal.h"
#include "database/memfiler.h"
#include "files/dxfframe.h"
#include "files/fileinternal.h"
#include "kvhost.h"

namespace kvhost {
namespace {

struct ClassEntry {
  std::wstring dxfName, className, appName;
  int proxyFlags = 0;
  bool wasProxy = false, isEntity = false;
  int count = 0;
};

struct OutRecord {
  std::wstring type;
  AcDbHandle handle = 0;
  AcDbHandle owner = 0;
  bool entity = false;
  int proxyClass = -1;  // the class of a proxy's DWG record
  std::vector<resbuf> items;
  const KeptGroups* held = nullptr;  // what the file it was read from held of it
  bool written = false;
};

void writeClass(DxfText& out, const ClassEntry& c) {
  out.tag(0, "CLASS");
  out.tag(1, c.dxfName);
  out.tag(2, c.className);
  out.tag(3, c.appName);
  out.tag(90, c.proxyFlags);
  out.tag(91, c.count);
  out.tag(280, c.wasProxy ? 1 : 0);
  out.tag(281, c.isEntity ? 1 : 0);
}

// The classes the file lists, in the order their first objects come, each
// with the number of its objects.
class ClassList {
 public:
  // The entry's number in the list.
  size_t add(const ClassEntry& entry) {
    for (size_t i = 0; i < m_classes.size(); ++i) {
      if (m_classes[i].dxfName != entry.dxfName) continue;
      // A registered class outranks a proxy's memory of one under the same
      // name: listed as the proxy's, its own objects would come back as proxies.
      if (m_classes[i].wasProxy && !entry.wasProxy) {
        int count = m_classes[i].count;
        m_classes[i] = entry;
        m_classes[i].count = count;
      }
      m_classes[i].count += 1;
      return i;
    }
    m_classes.push_back(entry);
    m_classes.back().count = 1;
    return m_classes.size() - 1;
  }
  const std::vector<ClassEntry>& entries() const { return m_classes; }

 private:
  std::vector<ClassEntry> m_classes;
};

// A drawing's own objects as the file holds them, the root dictionary first
// among the objects, with the frame built around them.
class DxfWriter {
 public:
  explicit DxfWriter(AcDbDatabase* db) : m_pDb(db) {}
  // The objects' own groups, before anything is written: a failure leaves
  // the file untouched.
  Acad::ErrorStatus collect();
  std::string text();

 private:
  Acad::ErrorStatus collectObject(AcDbObject* object, OutRecord& rec);
  void typeProxy(AcDbProxyObject* proxy, OutRecord& rec);
  std::set<std::wstring> layers() const;
  std::set<std::wstring> apps() const;
  void writeClasses(DxfText& out, const DxfFrame& frame) const;
  void writeEntities(DxfText& out, const DxfFrame& frame) const;
  void writeObjects(DxfText& out, const DxfFrame& frame) const;
  void writeRecord(DxfText& out, const OutRecord& rec, AcDbHandle owner) const;
  // A drawing read from a file: the file as it was, with what is new.
  std::string keptText(const KeptFile& file);
  void writeKeptHeader(DxfText& out, const KeptFile& file) const;
  void writeKeptClasses(DxfText& out, const KeptFile& file) const;
  void writeNew(DxfText& out, bool entities, AcDbHandle modelSpace);
  AcDbHandle keptModelSpace() const;
  bool markers() const { return m_bMarkers; }

  AcDbDatabase* m_pDb;
  std::vector<OutRecord> m_entities, m_objects;
  ClassList m_classes;
  bool m_bMarkers = true;
};

Acad::ErrorStatus DxfWriter::collect() {
  const AcDbObjectId nodId = m_pDb->namedObjectsDictionaryId();
  AcDbObjectIdArray ids = m_pDb->objectIds();
  for (int i = 0; i < ids.length(); ++i) {
    OutRecord rec;
    rec.handle = ids[i].handle();
    Acad::ErrorStatus es = collectObject(ids[i].stub()->object, rec);
    if (es != Acad::eOk) return refuseUnwritable(ids[i].stub()->object, es);
    rec.held = ids[i].stub()->kept.get();
    if (ids[i] == nodId)
      m_objects.insert(m_objects.begin(), std::move(rec));
    else
      (rec.entity ? m_entities : m_objects).push_back(std::move(rec));
  }
  for (OutRecord& rec : m_objects)
    for (resbuf& rb : rec.items)
      if (rec.proxyClass >= 0 && rb.restype == 91) rb.int32 = 500 + rec.proxyClass;
  return Acad::eOk;
}

Acad::ErrorStatus DxfWriter::collectObject(AcDbObject* object, OutRecord& rec) {
  rec.owner = object->ownerId().isNull() ? 0 : object->ownerId().handle();
  Acad::ErrorStatus es = dxfGroupsOf(object, m_pDb, rec.items);
  if (es != Acad::eOk) return es;
  if (auto* proxy = AcDbProxyObject::cast(object)) {
    typeProxy(proxy, rec);
    return Acad::eOk;
  }
  AcRxClass* cls = object->isA();
  rec.entity = AcDbEntity::cast(object) != nullptr;
  if (auto* entity = AcDbProxyEntity::cast(object)) {
    rec.type = entity->originalDxfName();
  } else if (const wchar_t* name = builtinDxfName(cls)) {
    rec.type = name;
  } else {
    std::wstring dxfName = cls->dxfName() && *cls->dxfName() ? cls->dxfName() : cls->name();
    rec.type = dxfName;
    m_classes.add({dxfName, cls->name(), cls->appName(), cls->proxyFlags(), false, rec.entity});
  }
  return Acad::eOk;
}

void DxfWriter::typeProxy(AcDbProxyObject* proxy, OutRecord& rec) {
  DxfProxyRecord dxf;
  if (readDxfProxyRecord(*proxy->record(), dxf)) {
    rec.type = dxf.dxfName;
    rec.entity = dxf.isEntity;
    if (!builtinDxfClass(dxf.dxfName))
      m_classes.add({dxf.dxfName, dxf.className, dxf.appName, dxf.proxyFlags, true, dxf.isEntity});
    return;
  }
  // A DWG record whose class is gone: the class is named so that it can
  // take its object back when it is there at reading.
  std::wstring name = proxy->originalClassName();
  rec.type = L"ACAD_PROXY_OBJECT";
  rec.proxyClass = static_cast<int>(m_classes.add({name, name, L"", 0, true, false}));
}

std::set<std::wstring> DxfWriter::layers() const {
  std::set<std::wstring> layers = {L"0"};
  if (const ACHAR* current = m_pDb->headerSysVar(L"CLAYER")) layers.insert(current);
  for (const OutRecord& rec : m_entities)
    for (const resbuf& rb : rec.items)
      if (rb.restype == AcDb::kDxfLayerName && !rb.text.empty()) layers.insert(rb.text);
  return layers;
}

std::set<std::wstring> DxfWriter::apps() const {
  std::set<std::wstring> apps = {L"ACAD"};
  for (const ClassEntry& c : m_classes.entries())
    if (!c.appName.empty()) apps.insert(c.appName);
  return apps;
}

std::string DxfWriter::text() {
  if (const KeptFile* file = keptFile(m_pDb)) return keptText(*file);
  // What the file adds takes handles above every handle of the database.
  DxfFrame frame(m_pDb->namedObjectsDictionaryId().handle(), m_pDb->handseed(), layers(), apps());
  frame.addRootEntries(m_objects.front().items);
  DxfText out;
  out.raw(999, kBuiltFrameComment + 4);
  frame.header(out, headerSysVars(m_pDb));
  writeClasses(out, frame);
  frame.tables(out);
  frame.blocks(out);
  writeEntities(out, frame);
  writeObjects(out, frame);
  out.tag(0, "EOF");
  return out.str();
}

void DxfWriter::writeClasses(DxfText& out, const DxfFrame& frame) const {
  out.tag(0, "SECTION");
  out.tag(2, "CLASSES");
  std::set<std::wstring> names;
  for (const ClassEntry& c : m_classes.entries()) {
    names.insert(c.dxfName);
    writeClass(out, c);
  }
  frame.classes(out, names);
  out.tag(0, "ENDSEC");
}

void DxfWriter::writeEntities(DxfText& out, const DxfFrame& frame) const {
  out.tag(0, "SECTION");
  out.tag(2, "ENTITIES");
  for (const OutRecord& rec : m_entities) writeRecord(out, rec, frame.modelSpace());
  out.tag(0, "ENDSEC");
}

void DxfWriter::writeObjects(DxfText& out, const DxfFrame& frame) const {
  out.tag(0, "SECTION");
  out.tag(2, "OBJECTS");
  for (const OutRecord& rec : m_objects) writeRecord(out, rec, rec.owner);
  frame.objects(out);
  out.tag(0, "ENDSEC");
}

void DxfWriter::writeRecord(DxfText& out, const OutRecord& rec, AcDbHandle owner) const {
  writeDxfRecord(out, rec.type, rec.handle, owner, rec.held, rec.items, markers());
}

std::string DxfWriter::keptText(const KeptFile& file) {
  const std::wstring release = file.release();
  m_bMarkers = release.empty() || release > L"AC1009";
  std::map<AcDbHandle, OutRecord*> byHandle;
  for (std::vector<OutRecord>* list : {&m_entities, &m_objects})
    for (OutRecord& rec : *list) byHandle[rec.handle] = &rec;
  const AcDbHandle modelSpace = keptModelSpace();
  DxfText out(dxfEncodingOf(release));
  writeKeptHeader(out, file);
  writeKeptClasses(out, file);
  bool entitiesDone = false, objectsDone = false;
  for (const KeptFile::Section& section : file.sections) {
    if (section.name == L"OBJECTS" && !entitiesDone) writeNew(out, true, modelSpace), entitiesDone = true;
    out.tag(0, "SECTION");
    out.tag(2, section.name);
    for (const KeptFile::Item& item : section.items) {
      if (item.handle == 0) {
        if (!item.type.empty()) out.tag(0, item.type);
        for (size_t i = 0; i < item.groups.size(); ++i) out.tag(item.groups.code(i), item.groups.text(i));
        continue;
      }
      auto it = byHandle.find(item.handle);
      if (it == byHandle.end()) continue;  // erased
      writeRecord(out, *it->second, 0);
      it->second->written = true;
    }
    if (section.name == L"ENTITIES" || section.name == L"OBJECTS") {
      const bool entities = section.name == L"ENTITIES";
      for (OutRecord& rec : entities ? m_entities : m_objects)
        if (!rec.written) writeRecord(out, rec, entities ? modelSpace : rec.owner), rec.written = true;
      (entities ? entitiesDone : objectsDone) = true;
    }
    out.tag(0, "ENDSEC");
  }
  if (!entitiesDone) writeNew(out, true, modelSpace);
  if (!objectsDone) writeNew(out, false, modelSpace);
  out.tag(0, "EOF");
  return out.str();
}

// A section the file did not have, for what is new of the drawing.
void DxfWriter::writeNew(DxfText& out, bool entities, AcDbHandle modelSpace) {
  std::vector<OutRecord>& records = entities ? m_entities : m_objects;
  bool any = false;
  for (const OutRecord& rec : records) any = any || !rec.written;
  if (!any) return;
  out.tag(0, "SECTION");
  out.tag(2, entities ? "ENTITIES" : "OBJECTS");
  for (OutRecord& rec : records)
    if (!rec.written) writeRecord(out, rec, entities ? modelSpace : rec.owner), rec.written = true;
  out.tag(0, "ENDSEC");
}

AcDbHandle DxfWriter::keptModelSpace() const {
  for (const OutRecord& rec : m_objects) {
    if (rec.type != L"BLOCK_RECORD") continue;
    for (const resbuf& rb : rec.items)
      if (rb.restype == 2 && (rb.text == L"*Model_Space" || rb.text == L"*MODEL_SPACE")) return rec.handle;
  }
  return 0;
}

void DxfWriter::writeKeptHeader(DxfText& out, const KeptFile& file) const {
  out.tag(0, "SECTION");
  out.tag(2, "HEADER");
  std::set<std::wstring> held;
  for (const KeptFile::Variable& var : file.header) {
    held.insert(var.name);
    out.tag(9, L"$" + var.name);
    const ACHAR* now = m_pDb->headerSysVar(var.name.c_str());
    if (var.name == L"HANDSEED" && !var.groups.empty()) {
      out.handle(var.groups.code(0), m_pDb->handseed());
    } else if (now && var.groups.size() == 1 &&
               unescapeDxfText(fromUtf8(var.groups.text(0)), out.encoding()) != now) {
      resbuf rb;
      rb.restype = static_cast<short>(var.groups.code(0));
      std::vector<DxfTag> tag{{rb.restype, toUtf8(now)}};
      std::vector<resbuf> parsed;
      if (toDxfGroups(tag, 0, 1, parsed, DxfEncoding::kUtf8)) out.item(parsed.front());
    } else {
      for (size_t i = 0; i < var.groups.size(); ++i) out.tag(var.groups.code(i), var.groups.text(i));
    }
  }
  for (const auto& var : headerSysVars(m_pDb)) {
    if (held.count(var.first) || DxfFrame::isFileVariable(var.first)) continue;
    out.tag(9, L"$" + var.first);
    out.tag(var.first == L"CLAYER" ? 8 : 1, var.second);
  }
  out.tag(0, "ENDSEC");
}

void DxfWriter::writeKeptClasses(DxfText& out, const KeptFile& file) const {
  bool added = false;
  for (const ClassEntry& c : m_classes.entries()) added = added || !c.wasProxy;
  if (file.classes.empty() && !added) return;  // a file that has none (or an empty section)
  out.tag(0, "SECTION");
  out.tag(2, "CLASSES");
  std::set<std::wstring> names;
  for (const KeptGroups& groups : file.classes) {
    out.tag(0, "CLASS");
    for (size_t i = 0; i < groups.size(); ++i) {
      if (groups.code(i) == 1) names.insert(fromUtf8(trimDxf(groups.text(i))));
      out.tag(groups.code(i), groups.text(i));
    }
  }
  for (const ClassEntry& c : m_classes.entries()) {
    if (!names.count(c.dxfName) && !c.wasProxy) writeClass(out, c);
  }
  out.tag(0, "ENDSEC");
}

}  // namespace
}  // namespace kvhost

Acad::ErrorStatus AcDbDatabase::dxfOut(const ACHAR* fileName) {
  if (fileName == nullptr || *fileName == 0) return Acad::eInvalidInput;
  AcDbObjectId nodId = namedObjectsDictionaryId();
  if (nodId.isNull() || nodId.stub()->object == nullptr || nodId.isErased()) return Acad::eNoDatabase;
  kvhost::addMissingLayers(this);
  kvhost::DxfWriter writer(this);
  Acad::ErrorStatus es = kvhost::checkHeaderFits(this);
  if (es == Acad::eOk) es = writer.collect();
  if (es == Acad::eOk) es = kvhost::replaceFile(fileName, writer.text());
  if (es == Acad::eOk) kvhost::setDatabaseFileName(this, fileName);
  return es;
}
