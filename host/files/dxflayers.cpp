// The layer table of a drawing: the records of the file it was read from, or
// those of the frame a save builds; and the records a save adds to a file's
// table for the layers the drawing's entities are on and the table lacks.
#include <cwctype>
#include <memory>
#include <set>
#include <string_view>
#include "database/dbinternal.h"
#include "files/dxfframe.h"
#include "files/fileinternal.h"
#include "kvhost.h"

namespace kvhost {
namespace {

// Layer names are the same whatever the case of their letters.
std::wstring folded(const std::wstring& name) {
  std::wstring out = name;
  for (wchar_t& c : out) c = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(c)));
  return out;
}

const KeptGroups* heldGroups(AcDbDatabase* db, AcDbHandle handle) {
  return handle == 0 ? nullptr : db->getObjectId(handle).stub()->keptGroups();
}

// The first text of the group code in a record's held groups, as read.
std::wstring heldText(const KeptGroups* held, int code, DxfEncoding encoding) {
  for (size_t i = 0; held && i < held->size(); ++i)
    if (held->code(i) == code) return unescapeDxfText(trimDxf(fromUtf8(std::string(held->text(i)))), encoding);
  return L"";
}

// The layer table of a file: its TABLE record, its records and the place
// of its end, in the TABLES section the drawing keeps.
struct LayerTable {
  KeptFile::Section* section = nullptr;
  AcDbHandle table = 0;
  std::vector<AcDbHandle> records;
  size_t end = 0;  // the item that ends the table
};

bool findLayerTable(AcDbDatabase* db, KeptFile& file, LayerTable& found) {
  const DxfEncoding encoding = dxfEncodingOf(file.release());
  for (KeptFile::Section& section : file.sections) {
    if (section.name != L"TABLES") continue;
    for (size_t i = 0; i < section.items.size(); ++i) {
      const KeptFile::Item& item = section.items[i];
      if (found.table == 0) {
        if (item.type == L"TABLE" && folded(heldText(heldGroups(db, item.handle), 2, encoding)) == L"LAYER")
          found = {&section, item.handle, {}, 0};
      } else if (item.type == L"ENDTAB") {
        found.end = i;
        return true;
      } else if (item.handle != 0) {
        found.records.push_back(item.handle);
      }
    }
  }
  return false;
}

std::wstring layerName(AcDbDatabase* db, AcDbHandle record, DxfEncoding encoding) {
  AcDbStub* stub = db->getObjectId(record).stub();
  if (auto* layer = AcDbLayerTableRecord::cast(stub->object)) return layer->name();
  return heldText(stub->keptGroups(), 2, encoding);
}

// The layers the drawing's live entities and its current layer are on; a
// name already found costs no copy.
std::set<std::wstring> usedLayerNames(AcDbDatabase* db) {
  std::set<std::wstring, std::less<>> names;
  if (const ACHAR* current = db->headerSysVar(L"CLAYER")) names.insert(current);
  const AcDbObjectIdArray ids = db->objectIds();
  for (int i = 0; i < ids.length(); ++i) {
    const auto* entity = AcDbEntity::cast(ids[i].stub()->object);
    if (entity && names.find(std::wstring_view(entity->layer())) == names.end()) names.emplace(entity->layer());
  }
  names.erase(L"");
  return {names.begin(), names.end()};
}

// A new record as the file would hold it, read as a record of the file is:
// in the file's release, with the linetype and the plot style of the
// table's first record (which the file's tables hold). Its handle.
AcDbHandle addLayerRecord(AcDbDatabase* db, const LayerTable& table, const std::wstring& name, const std::wstring& release) {
  const DxfEncoding encoding = dxfEncodingOf(release);
  const bool markers = release.empty() || release > L"AC1009";
  const KeptGroups* model = table.records.empty() ? nullptr : heldGroups(db, table.records.front());
  std::wstring linetype = heldText(model, 6, encoding);
  if (linetype.empty()) linetype = markers ? L"Continuous" : L"CONTINUOUS";
  const AcDbHandle handle = db->handseed();
  std::vector<DxfTag> tags;
  auto add = [&](int code, const std::wstring& value) { tags.push_back({code, dxfEscape(value, encoding)}); };
  if (markers || !heldText(model, 5, encoding).empty()) add(5, fromUtf8(dxfHex(handle)));
  if (markers) {
    add(330, fromUtf8(dxfHex(table.table)));
    add(AcDb::kDxfSubclass, L"AcDbSymbolTableRecord");
    add(AcDb::kDxfSubclass, L"AcDbLayerTableRecord");
  }
  const size_t body = tags.size() - (markers ? 2 : 0);
  add(2, name);
  add(70, L"0");
  add(62, L"7");
  add(6, linetype);
  if (markers && release >= L"AC1015") add(370, std::to_wstring(AcDbLayerTableRecord::kDefaultLineWeight));
  if (const std::wstring plotStyle = heldText(model, 390, encoding); markers && !plotStyle.empty()) add(390, plotStyle);

  std::vector<resbuf> items;
  KeptGroups held = KeptGroups::ofRecord();
  for (const DxfTag& tag : tags) held.add(tag.code, toUtf8(decodeDxf(tag.value, encoding)));
  auto* layer = new AcDbLayerTableRecord;
  AcDbStub* stub = stubForHandle(db, handle);
  placeObject(stub, layer);
  layer->setOwnerId(db->getObjectId(table.table));
  std::vector<resbuf> written;
  toDxfGroups(tags, body, tags.size(), items, encoding);
  restoreFromGroups(layer, db, items, !markers);
  dxfGroupsOf(layer, db, written);
  assignRoles(held, written, encoding, !markers);
  stub->kept = std::move(held);
  return handle;
}

// The table's count of records, which a proxy of its TABLE record holds.
void countAdded(AcDbDatabase* db, AcDbHandle table, int added) {
  auto* proxy = AcDbProxyObject::cast(db->getObjectId(table).stub()->object);
  DxfProxyRecord record;
  if (proxy == nullptr || !readDxfProxyRecord(*proxy->record(), record)) return;
  for (resbuf& rb : record.items)
    if (rb.restype == 70) rb.int32 += added;
  const std::unique_ptr<AcDbProxyObject::Record> counted(makeDxfProxyRecord(record));
  *proxy->record() = *counted;
}

}  // namespace

void addMissingLayers(AcDbDatabase* db) {
  KeptFile* file = keptFrame(db);
  LayerTable table;
  if (file == nullptr || !findLayerTable(db, *file, table)) return;
  const std::wstring release = file->release();
  std::set<std::wstring> held;
  for (AcDbHandle record : table.records) held.insert(folded(layerName(db, record, dxfEncodingOf(release))));
  std::vector<KeptFile::Item> added;
  for (const std::wstring& name : usedLayerNames(db)) {
    if (!held.insert(folded(name)).second) continue;
    added.push_back({addLayerRecord(db, table, name, release), L"LAYER", {}});
  }
  if (added.empty()) return;
  std::vector<KeptFile::Item>& items = table.section->items;
  items.insert(items.begin() + static_cast<std::ptrdiff_t>(table.end), std::make_move_iterator(added.begin()),
               std::make_move_iterator(added.end()));
  countAdded(db, table.table, static_cast<int>(added.size()));
}

std::vector<Layer> drawingLayers(AcDbDatabase* db) {
  std::vector<Layer> layers;
  KeptFile* file = keptFrame(db);
  LayerTable table;
  if (file == nullptr || !findLayerTable(db, *file, table)) {
    // Built at each save; a drawing whose file has tables and no layer table keeps none.
    if (file != nullptr) return layers;
    for (const std::wstring& name : DxfFrame::layerNames(usedLayerNames(db))) {
      layers.push_back({name});
      layers.back().plotted = DxfFrame::isPlotted(name);
    }
    return layers;
  }
  for (AcDbHandle record : table.records) {
    const auto* layer = AcDbLayerTableRecord::cast(db->getObjectId(record).stub()->object);
    if (layer == nullptr) continue;
    layers.push_back({layer->name(), record, layer->colorIndex(), layer->isOff(), layer->isFrozen(), layer->isLocked(),
                      layer->isPlottable(), layer->lineWeight(), layer->linetypeName()});
  }
  return layers;
}

}  // namespace kvhost
