// Reading a drawing's undo marker through the host: where it is filed, its
// DWG record (base object's owner handle, version, counter) and its counter.
#pragma once
#include <kvhost.h>
#include <memfiler.h>
#include <cstring>
#include <vector>

namespace markers {

inline AcDbObjectId entry(AcDbObjectId dictId, const wchar_t* key) {
  AcDbDictionaryPointer dict(dictId, AcDb::kForRead);
  AcDbObjectId id;
  if (!dict || dict->getAt(key, id) != Acad::eOk) return AcDbObjectId::kNull;
  return id;
}
inline AcDbObjectId markerId(AcDbDatabase* db) {
  return entry(entry(db->namedObjectsDictionaryId(), L"KOVA_UNDO_DICTIONARY"), L"KOVA_UNDO_OBJECT");
}

// An object's whole DWG record; empty when it cannot be filed.
inline std::vector<unsigned char> dwgRecord(const AcDbObject* object) {
  kvhost::DwgMemoryFiler filer(AcDb::kFileFiler, object->database());
  if (object->dwgOutFields(&filer) != Acad::eOk) return {};
  return filer.bytes();
}

struct MarkerRecord {
  bool whole = false;  // exactly owner, version and counter
  Adesk::UInt16 version = 0;
  Adesk::Int32 counter = 0;
};
inline MarkerRecord parseRecord(const std::vector<unsigned char>& bytes) {
  MarkerRecord r;
  r.whole = bytes.size() == 14;
  if (!r.whole) return r;
  std::memcpy(&r.version, bytes.data() + 8, 2);
  std::memcpy(&r.counter, bytes.data() + 10, 4);
  return r;
}

// The counter of the drawing's marker, -1 when it has none.
inline int markerCounter(AcApDocument* doc) { return kvhost::undoMarkerCounter(doc).value_or(-1); }

// A database of no document holding one line, as a client makes one to
// work in apart; the caller deletes it.
inline AcDbDatabase* sideDatabaseWithLine(AcDbObjectId& line) {
  auto* side = new AcDbDatabase(true, false);
  auto* entity = new AcDbLine(AcGePoint3d(0, 0, 0), AcGePoint3d(1, 1, 0));
  side->addAcDbObject(line, entity);
  entity->close();
  return side;
}

}  // namespace markers
