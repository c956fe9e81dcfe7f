// Writing a drawing as ASCII DXF. Every object files its own groups through
// a DXF filer; the file's frame adds what a DXF reader expects around them.
#include <set>
#include <string>
#include <vector>
#include "database/dbinternal.h"
#include "database/memfiler.h"
#include "files/dxfframe.h"
#include "files/fileinternal.h"

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
};

// Files an object's own groups as if it were open for read.
Acad::ErrorStatus groupsOf(AcDbObject* object, AcDbDatabase* db, std::vector<resbuf>& items) {
  DxfMemoryFiler filer(AcDb::kFileFiler, db);
  AcDbObject::OpenState saved = object->openState();
  object->openState().readers += 1;
  Acad::ErrorStatus es;
  try {
    es = object->dxfOutFields(&filer);
  } catch (...) {
    es = Acad::eFilerError;
  }
  object->openState() = saved;
  if (es == Acad::eOk) es = filer.filerStatus();
  items = filer.items();
  return es;
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
  static void writeRecord(DxfText& out, const OutRecord& rec, AcDbHandle owner);

  AcDbDatabase* m_pDb;
  std::vector<OutRecord> m_entities, m_objects;
  ClassList m_classes;
};

Acad::ErrorStatus DxfWriter::collect() {
  const AcDbObjectId nodId = m_pDb->namedObjectsDictionaryId();
  AcDbObjectIdArray ids = m_pDb->objectIds();
  for (int i = 0; i < ids.length(); ++i) {
    OutRecord rec;
    rec.handle = ids[i].handle();
    Acad::ErrorStatus es = collectObject(ids[i].stub()->object, rec);
    if (es != Acad::eOk) return es;
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
  Acad::ErrorStatus es = groupsOf(object, m_pDb, rec.items);
  if (es != Acad::eOk) return es;
  if (auto* proxy = AcDbProxyObject::cast(object)) {
    typeProxy(proxy, rec);
    return Acad::eOk;
  }
  AcRxClass* cls = object->isA();
  rec.entity = AcDbEntity::cast(object) != nullptr;
  if (const wchar_t* name = builtinDxfName(cls)) {
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
  // What the file adds takes handles above every handle of the database.
  DxfFrame frame(m_pDb->namedObjectsDictionaryId().handle(), m_pDb->handseed(), layers(), apps());
  frame.addRootEntries(m_objects.front().items);
  DxfText out;
  out.tag(999, "KOVA host drawing");
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
    out.tag(0, "CLASS");
    out.tag(1, c.dxfName);
    out.tag(2, c.className);
    out.tag(3, c.appName);
    out.tag(90, c.proxyFlags);
    out.tag(91, c.count);
    out.tag(280, c.wasProxy ? 1 : 0);
    out.tag(281, c.isEntity ? 1 : 0);
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

void DxfWriter::writeRecord(DxfText& out, const OutRecord& rec, AcDbHandle owner) {
  out.tag(0, rec.type);
  out.handle(5, rec.handle);
  out.handle(330, owner);
  for (const resbuf& rb : rec.items) out.item(rb);
}

}  // namespace
}  // namespace kvhost

Acad::ErrorStatus AcDbDatabase::dxfOut(const ACHAR* fileName) {
  if (fileName == nullptr || *fileName == 0) return Acad::eInvalidInput;
  AcDbObjectId nodId = namedObjectsDictionaryId();
  if (nodId.isNull() || nodId.stub()->object == nullptr || nodId.isErased()) return Acad::eNoDatabase;
  kvhost::DxfWriter writer(this);
  Acad::ErrorStatus es = writer.collect();
  if (es == Acad::eOk) es = kvhost::replaceFile(fileName, writer.text());
  if (es == Acad::eOk) kvhost::setDatabaseFileName(this, fileName);
  return es;
}
