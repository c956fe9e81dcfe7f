// Writing a drawing as ASCII DXF. Every object files its own groups through
// a DXF filer; the file's frame adds what a DXF reader expects around them.
#include <algorithm>
#include <memory>
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

// Room for what a built frame adds around the drawing's own records.
constexpr size_t kFrameBytes = 1 << 16;
// Room enough for most records, taken at once (what is not used is never
// touched).
constexpr size_t kBytesPerRecord = 192;

struct ClassEntry {
  std::wstring dxfName, className, appName;
  int proxyFlags = 0;
  bool wasProxy = false, isEntity = false;
  int count = 0;
};

// A record that is written from its groups where it goes: one a file held,
// and the root dictionary, which the frame adds to.
struct PendingRecord {
  std::wstring type;
  std::vector<resbuf> items;
  const KeptGroups* held;  // null: the record is new
};

// A record of the file: rendered as soon as it is collected, but for its
// owner, which depends on where it goes; or pending.
struct OutRecord {
  AcDbHandle handle = 0;
  AcDbHandle owner = 0;
  bool entity = false;
  bool kept = false;  // the file holds it in one of its sections: it is written there
  bool written = false;
  // Its start (type and handle) and its groups in the writer's rendered
  // text; the owner goes between them.
  size_t start = 0, groups = 0, end = 0;
  std::unique_ptr<PendingRecord> pending;
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
  explicit DxfWriter(AcDbDatabase* db);
  // The objects' own groups, before anything is written: a failure leaves
  // the file untouched.
  Acad::ErrorStatus collect();
  DxfText text();

 private:
  // The object's type and groups, in m_type and m_items.
  Acad::ErrorStatus collectObject(AcDbObject* object, OutRecord& rec);
  int typeProxy(AcDbProxyObject* proxy, OutRecord& rec);
  Acad::ErrorStatus checkReleaseHolds(const AcDbObject* object, const KeptGroups* held) const;
  void note(const OutRecord& rec);
  void render(OutRecord& rec, const std::wstring& type, const std::vector<resbuf>& items);
  std::set<std::wstring> layers() const;
  std::set<std::wstring> apps() const;
  void writeClasses(DxfText& out, const DxfFrame& frame) const;
  void writeEntities(DxfText& out, const DxfFrame& frame);
  void writeObjects(DxfText& out, const DxfFrame& frame);
  void writeRecord(DxfText& out, OutRecord& rec, AcDbHandle owner);
  // A drawing read from a file: the file as it was, with what is new.
  DxfText keptText(const KeptFile& file);
  void writeHeader(DxfText& out, const DxfFrame* frame) const;
  void writeVariable(DxfText& out, const KeptFile::Variable& var, const ACHAR* now, DxfEncoding encoding) const;
  void writeKeptClasses(DxfText& out, const KeptFile& file) const;
  void writeNew(DxfText& out, bool entities, AcDbHandle modelSpace);
  bool markers() const { return m_bMarkers; }

  AcDbDatabase* m_pDb;
  const KeptFile* m_pFile;
  bool m_bMarkers;
  std::vector<OutRecord> m_entities, m_objects;
  ClassList m_classes;
  DxfText m_rendered;
  std::set<std::wstring> m_layers;  // of the entities
  AcDbHandle m_keptModelSpace = 0;  // the first block record of the model space
  // The groups of the object being collected, and its type.
  std::vector<resbuf> m_items;
  std::wstring m_type;
};

// A file read as a release before 13 writes records without subclass markers.
DxfWriter::DxfWriter(AcDbDatabase* db)
    : m_pDb(db),
      m_pFile(keptFrame(db)),
      m_bMarkers(!m_pFile || m_pFile->release().empty() || m_pFile->release() > L"AC1009"),
      m_rendered(m_pFile ? dxfEncodingOf(m_pFile->release()) : DxfEncoding::kUtf8) {}

Acad::ErrorStatus DxfWriter::collect() {
  const AcDbObjectId nodId = m_pDb->namedObjectsDictionaryId();
  AcDbObjectIdArray ids = m_pDb->objectIds();
  m_entities.reserve(static_cast<size_t>(ids.length()));
  m_rendered.reserve(static_cast<size_t>(ids.length()) * kBytesPerRecord);
  for (int i = 0; i < ids.length(); ++i) {
    OutRecord rec;
    rec.handle = ids[i].handle();
    Acad::ErrorStatus es = collectObject(ids[i].stub()->object, rec);
    if (es != Acad::eOk) return refuseUnwritable(ids[i].stub()->object, es);
    const KeptGroups* held = ids[i].stub()->keptGroups();
    if (!markers() && (es = checkReleaseHolds(ids[i].stub()->object, held)) != Acad::eOk) return es;
    note(rec);
    if (held || ids[i] == nodId) {
      rec.pending.reset(new PendingRecord{m_type, std::move(m_items), held});
      m_items.clear();
    } else {
      render(rec, m_type, m_items);
    }
    if (ids[i] == nodId)
      m_objects.insert(m_objects.begin(), std::move(rec));
    else
      (rec.entity ? m_entities : m_objects).push_back(std::move(rec));
  }
  return Acad::eOk;
}

Acad::ErrorStatus DxfWriter::collectObject(AcDbObject* object, OutRecord& rec) {
  rec.owner = object->ownerId().isNull() ? 0 : object->ownerId().handle();
  Acad::ErrorStatus es = dxfGroupsOf(object, m_pDb, m_items);
  if (es != Acad::eOk) return es;
  AcRxClass* cls = object->isA();
  if (const wchar_t* name = builtinDxfName(cls)) {  // most records
    m_type = name;
    rec.entity = cls->isDerivedFrom(AcDbEntity::desc());
    return Acad::eOk;
  }
  if (auto* proxy = AcDbProxyObject::cast(object)) {
    if (int proxyClass = typeProxy(proxy, rec); proxyClass >= 0)
      for (resbuf& rb : m_items)
        if (rb.restype == 91) rb.int32 = 500 + proxyClass;
    return Acad::eOk;
  }
  rec.entity = AcDbEntity::cast(object) != nullptr;
  if (auto* entity = AcDbProxyEntity::cast(object)) {
    m_type = entity->originalDxfName();
  } else {
    m_type = cls->dxfName() && *cls->dxfName() ? cls->dxfName() : cls->name();
    m_classes.add({m_type, cls->name(), cls->appName(), cls->proxyFlags(), false, rec.entity});
  }
  return Acad::eOk;
}

// The number of the class a DWG record's proxy names, or -1.
int DxfWriter::typeProxy(AcDbProxyObject* proxy, OutRecord& rec) {
  DxfProxyRecord dxf;
  if (readDxfProxyRecord(*proxy->record(), dxf)) {
    m_type = dxf.dxfName;
    rec.entity = dxf.isEntity;
    if (!builtinDxfClass(dxf.dxfName))
      m_classes.add({dxf.dxfName, dxf.className, dxf.appName, dxf.proxyFlags, true, dxf.isEntity});
    return -1;
  }
  // A DWG record whose class is gone: the class is named so that it can
  // take its object back when it is there at reading.
  std::wstring name = proxy->originalClassName();
  m_type = L"ACAD_PROXY_OBJECT";
  return static_cast<int>(m_classes.add({name, name, L"", 0, true, false}));
}

// A file of a release before 13 has no groups for a layer's plot setting
// and lineweight: a state of the object's own that the file did not hold
// would be lost.
Acad::ErrorStatus DxfWriter::checkReleaseHolds(const AcDbObject* object, const KeptGroups* held) const {
  for (const resbuf& rb : m_items) {
    const wchar_t* what = rb.restype == 290 ? L"a plot setting" : rb.restype == 370 ? L"a lineweight" : nullptr;
    if (what == nullptr) continue;
    bool wasHeld = false;
    for (size_t i = 0; held && i < held->size() && !wasHeld; ++i) wasHeld = held->code(i) == rb.restype;
    if (wasHeld) continue;
    return refuseSave(L"the " + recordName(object) + L" has " + what + L", which a file of release " +
                          m_pFile->release() + L" cannot hold, and would be lost",
                      Acad::eInvalidInput);
  }
  return Acad::eOk;
}

// What the frame and the new records take from the object being collected:
// the layers of entities, the model space of a file's block records.
void DxfWriter::note(const OutRecord& rec) {
  if (rec.entity) {
    for (const resbuf& rb : m_items)
      if (rb.restype == AcDb::kDxfLayerName && !rb.text.empty()) m_layers.insert(rb.text);
    return;
  }
  if (m_keptModelSpace != 0 || m_type != L"BLOCK_RECORD") return;
  for (const resbuf& rb : m_items)
    if (rb.restype == 2 && (rb.text == L"*Model_Space" || rb.text == L"*MODEL_SPACE")) m_keptModelSpace = rec.handle;
}

// A record the file did not hold: its type, its handle, then its groups;
// without markers, as releases before 13 write records, no subclass is named.
void DxfWriter::render(OutRecord& rec, const std::wstring& type, const std::vector<resbuf>& items) {
  rec.start = m_rendered.view().size();
  m_rendered.tag(0, type);
  m_rendered.handle(5, rec.handle);
  rec.groups = m_rendered.view().size();
  for (const resbuf& rb : items)
    if (markers() || rb.restype != AcDb::kDxfSubclass) m_rendered.item(rb);
  rec.end = m_rendered.view().size();
}

std::set<std::wstring> DxfWriter::layers() const {
  std::set<std::wstring> layers = m_layers;
  layers.insert(L"0");
  if (const ACHAR* current = m_pDb->headerSysVar(L"CLAYER")) layers.insert(current);
  return layers;
}

std::set<std::wstring> DxfWriter::apps() const {
  std::set<std::wstring> apps = {L"ACAD"};
  for (const ClassEntry& c : m_classes.entries())
    if (!c.appName.empty()) apps.insert(c.appName);
  return apps;
}

DxfText DxfWriter::text() {
  if (m_pFile) return keptText(*m_pFile);
  // What the file adds takes handles above every handle of the database.
  DxfFrame frame(m_pDb->namedObjectsDictionaryId().handle(), m_pDb->handseed(), layers(), apps());
  frame.addRootEntries(m_objects.front().pending->items);
  DxfText out;
  out.reserve(m_rendered.view().size() + kFrameBytes);
  out.raw(999, kBuiltFrameComment + 4);
  writeHeader(out, &frame);
  writeClasses(out, frame);
  frame.tables(out);
  frame.blocks(out);
  writeEntities(out, frame);
  writeObjects(out, frame);
  out.tag(0, "EOF");
  return out;
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

void DxfWriter::writeEntities(DxfText& out, const DxfFrame& frame) {
  out.tag(0, "SECTION");
  out.tag(2, "ENTITIES");
  for (OutRecord& rec : m_entities) writeRecord(out, rec, frame.modelSpace());
  out.tag(0, "ENDSEC");
}

void DxfWriter::writeObjects(DxfText& out, const DxfFrame& frame) {
  out.tag(0, "SECTION");
  out.tag(2, "OBJECTS");
  for (OutRecord& rec : m_objects) writeRecord(out, rec, rec.owner);
  frame.objects(out);
  out.tag(0, "ENDSEC");
}

// The owner goes right after the handle (none when 0, or without markers).
void DxfWriter::writeRecord(DxfText& out, OutRecord& rec, AcDbHandle owner) {
  if (const PendingRecord* pending = rec.pending.get()) {
    if (pending->held)
      return writeDxfRecord(out, pending->type, rec.handle, owner, *pending->held, pending->items, markers());
    if (rec.end == 0) render(rec, pending->type, pending->items);
  }
  const std::string_view rendered = m_rendered.view();
  out.lines(rendered.substr(rec.start, rec.groups - rec.start));
  // Releases before 13 name no owners, but an object the session added
  // keeps its own, as its handle.
  if (owner != 0 && (markers() || !rec.entity)) out.handle(330, owner);
  out.lines(rendered.substr(rec.groups, rec.end - rec.groups));
}

DxfText DxfWriter::keptText(const KeptFile& file) {
  std::vector<std::pair<AcDbHandle, OutRecord*>> byHandle;
  byHandle.reserve(m_entities.size() + m_objects.size());
  for (std::vector<OutRecord>* list : {&m_entities, &m_objects})
    for (OutRecord& rec : *list) byHandle.emplace_back(rec.handle, &rec);
  std::sort(byHandle.begin(), byHandle.end());
  // Each item's record, in the file's order (none for an item that is no
  // object, or one erased), found once.
  std::vector<OutRecord*> placed;
  for (const KeptFile::Section& section : file.sections)
    for (const KeptFile::Item& item : section.items) {
      auto it = std::lower_bound(byHandle.begin(), byHandle.end(), item.handle,
                                 [](const auto& entry, AcDbHandle h) { return entry.first < h; });
      OutRecord* rec = item.handle != 0 && it != byHandle.end() && it->first == item.handle ? it->second : nullptr;
      if (rec != nullptr) rec->kept = true;
      placed.push_back(rec);
    }
  auto next = placed.begin();
  const AcDbHandle modelSpace = m_keptModelSpace;
  DxfText out(m_rendered.encoding());
  out.reserve(m_rendered.view().size() + kFrameBytes);
  writeHeader(out, nullptr);
  writeKeptClasses(out, file);
  bool entitiesDone = false, objectsDone = false;
  for (const KeptFile::Section& section : file.sections) {
    if (section.name == L"OBJECTS" && !entitiesDone) writeNew(out, true, modelSpace), entitiesDone = true;
    out.tag(0, "SECTION");
    out.tag(2, section.name);
    for (const KeptFile::Item& item : section.items) {
      OutRecord* rec = *next++;
      if (item.handle == 0) {
        if (!item.type.empty()) out.tag(0, std::wstring(item.type));
        for (size_t i = 0; i < item.groups.size(); ++i) out.tag(item.groups.code(i), item.groups.text(i));
        continue;
      }
      if (rec == nullptr) continue;  // erased
      writeRecord(out, *rec, 0);
      rec->written = true;
    }
    // What is new goes at the end of its section; what a later section holds is written there.
    if (section.name == L"ENTITIES" || section.name == L"OBJECTS") {
      const bool entities = section.name == L"ENTITIES";
      for (OutRecord& rec : entities ? m_entities : m_objects)
        if (!rec.written && !rec.kept) writeRecord(out, rec, entities ? modelSpace : rec.owner), rec.written = true;
      (entities ? entitiesDone : objectsDone) = true;
    }
    out.tag(0, "ENDSEC");
  }
  if (!entitiesDone) writeNew(out, true, modelSpace);
  if (!objectsDone) writeNew(out, false, modelSpace);
  out.tag(0, "EOF");
  return out;
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

// A variable as the file held it, or with its value now in its one group.
void DxfWriter::writeVariable(DxfText& out, const KeptFile::Variable& var, const ACHAR* now,
                              DxfEncoding encoding) const {
  out.tag(9, L"$" + var.name);
  if (var.name == L"HANDSEED" && !var.groups.empty()) {
    out.handle(var.groups.code(0), m_pDb->handseed());
  } else if (now && var.groups.size() == 1 && !heldVariableReads(var.groups, now, encoding)) {
    resbuf group;
    if (headerGroup(var.groups.code(0), now, group)) out.item(group);
  } else {
    for (size_t i = 0; i < var.groups.size(); ++i) out.tag(var.groups.code(i), var.groups.text(i));
  }
}

// The variables the file held, with the drawing's values where they
// changed, then the drawing's others. In a frame the save builds, the frame
// gives the variables a file states about itself.
void DxfWriter::writeHeader(DxfText& out, const DxfFrame* frame) const {
  out.tag(0, "SECTION");
  out.tag(2, "HEADER");
  if (frame) frame->fileVariables(out);
  std::set<std::wstring> written;
  if (const KeptFile* file = keptFile(m_pDb)) {
    const DxfEncoding encoding = dxfEncodingOf(file->release());  // as it was read
    for (const KeptFile::Variable& var : file->header) {
      if (frame && DxfFrame::isFileVariable(var.name)) continue;
      written.insert(var.name);
      writeVariable(out, var, m_pDb->headerSysVar(var.name.c_str()), encoding);
    }
  }
  for (const auto& [name, value] : headerSysVars(m_pDb)) {
    if (DxfFrame::isFileVariable(name) || !written.insert(name).second) continue;
    out.tag(9, L"$" + name);
    out.tag(DxfFrame::variableCode(name), value);
  }
  if (frame) DxfFrame::requiredVariables(out, written);
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
      if (groups.code(i) == 1) names.insert(fromUtf8(std::string(trimDxf(groups.text(i)))));
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
  if (Acad::ErrorStatus es = kvhost::checkRootDictionary(this); es != Acad::eOk) return es;
  kvhost::addMissingLayers(this);
  kvhost::DxfWriter writer(this);
  Acad::ErrorStatus es = kvhost::checkHeaderFits(this);
  if (es == Acad::eOk) es = writer.collect();
  if (es == Acad::eOk) es = kvhost::replaceFile(fileName, writer.text().view());
  if (es == Acad::eOk) kvhost::setDatabaseFileName(this, fileName);
  return es;
}
