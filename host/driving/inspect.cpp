// What a test suite reads back from a session: the undo marker a module
// keeps in a drawing, the reactors attached, the modules in the process.
#include "database/dbinternal.h"
#include "database/memfiler.h"
#include "docman/docinternal.h"
#include "editor/edinternal.h"
#include "files/fileinternal.h"
#include "kvhost.h"
#include "rx/dynamiclibrary.h"

namespace kvhost {
namespace {

AcDbObjectId dictionaryEntry(AcDbObjectId dictId, const ACHAR* key) {
  AcDbDictionaryPointer dict(dictId, AcDb::kForRead);
  AcDbObjectId id;
  if (!dict || dict->getAt(key, id) != Acad::eOk) return AcDbObjectId::kNull;
  return id;
}


}  // namespace

// The marker's class belongs to the module, so it is read as any reader of
// a drawing reads an object of a class it does not know: by its DXF groups,
// the counter being the 32-bit integer of its own subclass.
std::optional<int> undoMarkerCounter(AcApDocument* doc) {
  if (doc == nullptr || !isOpenDocument(doc)) return std::nullopt;
  AcDbDatabase* db = doc->database();
  AcDbObjectId id =
      dictionaryEntry(dictionaryEntry(db->namedObjectsDictionaryId(), L"KOVA_UNDO_DICTIONARY"), L"KOVA_UNDO_OBJECT");
  AcDbObjectPointer<AcDbObject> marker(id, AcDb::kForRead);
  if (!marker) return std::nullopt;
  DxfMemoryFiler filer(AcDb::kFileFiler, db);
  if (marker->dxfOutFields(&filer) != Acad::eOk) return std::nullopt;
  bool inSubclass = false;
  for (const resbuf& item : filer.items()) {
    if (item.restype == AcDb::kDxfSubclass) inSubclass = item.text == L"KOVA_UNDO_OBJECT";
    if (inSubclass && item.restype == AcDb::kDxfInt32) return item.int32;
  }
  return std::nullopt;
}

std::vector<Layer> layers(AcApDocument* doc) {
  return doc && isOpenDocument(doc) ? drawingLayers(doc->database()) : std::vector<Layer>();
}

void setUndoRecording(AcApDocument* doc, bool on) {
  if (doc && isOpenDocument(doc)) doc->database()->disableUndoRecording(!on);
}

AttachedReactors attachedReactors(AcApDocument* doc) {
  AttachedReactors counts;
  counts.editor = editorReactors().live().length();
  counts.documentManager = documentManagerReactors().live().length();
  if (doc && isOpenDocument(doc)) counts.database = databaseReactors(doc->database()).live().length();
  return counts;
}

bool isModuleLoaded(const std::wstring& fileName) {
  return AcRxDynamicLinker::cast(acrxSysRegistry()->at(ACRX_DYNAMIC_LINKER))->isModuleLoaded(fileName.c_str());
}

bool isModuleMapped(const std::wstring& fileName) {
  const std::string name = sys::fileNameOf(toUtf8(fileName));
  return !name.empty() && sys::isLibraryMapped(name);
}

namespace {
struct ClientCalls {
  std::vector<ClientFailure> failures;
  bool watched = true;
};
ClientCalls& clientCalls() {
  static ClientCalls calls;
  return calls;
}
}  // namespace

const std::vector<ClientFailure>& clientFailures() { return clientCalls().failures; }
void clearClientFailures() { clientCalls().failures.clear(); }
void recordClientFailure(const ClientFailure& failure) { clientCalls().failures.push_back(failure); }
void setClientCallWatch(bool on) { clientCalls().watched = on; }
bool clientCallWatch() { return clientCalls().watched; }

std::wstring moduleHolding(const void* address) {
  return AcRxDynamicLinker::cast(acrxSysRegistry()->at(ACRX_DYNAMIC_LINKER))->moduleHolding(address);
}

}  // namespace kvhost
