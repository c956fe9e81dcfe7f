// The in-memory DWG and DXF filers, and objects filled from their filing.
#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstring>
#include <cwchar>
#include "database/dbinternal.h"
#include "database/memfiler.h"
#include "kvhost.h"

AcDbDwgFiler::~AcDbDwgFiler() = default;
AcDbDxfFiler::~AcDbDxfFiler() = default;

namespace kvhost {

void DwgMemoryFiler::rewriteUInt32(size_t at, Adesk::UInt32 value) { std::memcpy(m_bytes.data() + at, &value, sizeof value); }

Acad::ErrorStatus DwgMemoryFiler::readBool(bool* value) {
  unsigned char byte = 0;
  Acad::ErrorStatus es = readRaw(&byte, 1);
  if (es == Acad::eOk) *value = byte != 0;
  return es;
}

Acad::ErrorStatus DwgMemoryFiler::readPoint3d(AcGePoint3d* value) {
  readDouble(&value->x);
  readDouble(&value->y);
  return readDouble(&value->z);
}

Acad::ErrorStatus DwgMemoryFiler::writePoint3d(const AcGePoint3d& value) {
  writeDouble(value.x);
  writeDouble(value.y);
  return writeDouble(value.z);
}

// Strings are UTF-8; ASCII, as most are, is taken and given as it stands.
bool DwgMemoryFiler::readUtf8InPlace(std::string_view& text) {
  Adesk::UInt32 n = 0;
  if (readUInt32(&n) != Acad::eOk) return false;
  const unsigned char* at = readInPlace(n);
  if (at != nullptr) text = std::string_view(reinterpret_cast<const char*>(at), n);
  return at != nullptr;
}

Acad::ErrorStatus DwgMemoryFiler::readString(std::wstring& value) {
  std::string_view utf8;
  if (!readUtf8InPlace(utf8)) return m_status;
  if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    value.assign(utf8.begin(), utf8.end());
  else
    value = fromUtf8(std::string(utf8));
  return Acad::eOk;
}

Acad::ErrorStatus DwgMemoryFiler::writeString(std::wstring_view text) {
  if (!std::all_of(text.begin(), text.end(), [](wchar_t c) { return static_cast<uint32_t>(c) < 0x80; })) {
    const std::string utf8 = toUtf8(std::wstring(text));
    writeUInt32(static_cast<Adesk::UInt32>(utf8.size()));
    return writeRaw(utf8.data(), utf8.size());
  }
  writeUInt32(static_cast<Adesk::UInt32>(text.size()));
  const size_t at = m_bytes.size();
  m_bytes.resize(at + text.size());
  std::transform(text.begin(), text.end(), m_bytes.begin() + static_cast<std::ptrdiff_t>(at),
                 [](wchar_t c) { return static_cast<unsigned char>(c); });
  return m_status;
}

Acad::ErrorStatus DwgMemoryFiler::readId(AcDbObjectId* id) {
  Adesk::UInt64 handle = 0;
  if (readUInt64(&handle) != Acad::eOk) return m_status;
  *id = handle == 0 || m_pDb == nullptr ? AcDbObjectId::kNull : m_pDb->getObjectId(handle);
  return Acad::eOk;
}

Acad::ErrorStatus DwgMemoryFiler::writeId(const AcDbObjectId& id) { return writeUInt64(id.isNull() ? 0 : id.handle()); }

DxfValueKind dxfValueKind(int code) {
  if ((code >= 10 && code <= 18) || code == 210 || (code >= 110 && code <= 112) || (code >= 1010 && code <= 1013))
    return DxfValueKind::kPoint;
  if (code == 5 || code == 105 || (code >= 320 && code <= 369) || (code >= 390 && code <= 399) || code == 1005)
    return DxfValueKind::kHandle;
  if ((code >= 40 && code <= 59) || (code >= 140 && code <= 149) || (code >= 460 && code <= 469) ||
      (code >= 1040 && code <= 1042))
    return DxfValueKind::kReal;
  if ((code >= 60 && code <= 79) || (code >= 170 && code <= 179) || (code >= 270 && code <= 299) ||
      (code >= 370 && code <= 389) || (code >= 400 && code <= 409) || (code >= 1060 && code <= 1070))
    return DxfValueKind::kInt16;
  if ((code >= 90 && code <= 99) || (code >= 420 && code <= 459) || code == 1071) return DxfValueKind::kInt32;
  return DxfValueKind::kText;
}

Acad::ErrorStatus DxfMemoryFiler::setError(Acad::ErrorStatus status, const ACHAR* format, ...) {
  wchar_t message[512];
  va_list args;
  va_start(args, format);
  vswprintf(message, sizeof message / sizeof message[0], format, args);
  va_end(args);
  m_status = status;
  m_error = message;
  return status;
}

Acad::ErrorStatus DxfMemoryFiler::readItem(resbuf* item) {
  // A release that names no subclasses has no markers: a group 100 in it ends no subclass's data.
  while (m_bMarkerless && m_pos < m_items.size() && m_items[m_pos].restype == AcDb::kDxfSubclass) ++m_pos;
  if (m_pos >= m_items.size()) {
    m_bCanPushBack = false;
    return Acad::eEndOfFile;
  }
  *item = m_items[m_pos++];
  m_bCanPushBack = true;
  return Acad::eOk;
}

Acad::ErrorStatus DxfMemoryFiler::pushBackItem() {
  if (!m_bCanPushBack) return Acad::eNotApplicable;
  --m_pos;
  m_bCanPushBack = false;
  return Acad::eOk;
}

bool DxfMemoryFiler::atSubclassData(const ACHAR* subClassName) {
  if (m_bMarkerless) {
    m_pos = 0;
    m_bCanPushBack = false;
    return !m_items.empty();
  }
  if (m_pos >= m_items.size()) return false;
  const resbuf& next = m_items[m_pos];
  if (next.restype != AcDb::kDxfSubclass || next.text != subClassName) return false;
  ++m_pos;  // the marker is consumed when it is the one asked for
  m_bCanPushBack = false;
  return true;
}

Acad::ErrorStatus DxfMemoryFiler::writeItem(const resbuf& item) {
  m_items.push_back(item);
  return m_status;
}

resbuf& DxfMemoryFiler::newItem(AcDb::DxfCode code) {
  resbuf& rb = m_items.emplace_back();
  rb.restype = static_cast<short>(code);
  return rb;
}

Acad::ErrorStatus DxfMemoryFiler::writeString(AcDb::DxfCode code, const ACHAR* value) {
  resbuf& rb = newItem(code);
  if (value) rb.text = value;
  return m_status;
}
Acad::ErrorStatus DxfMemoryFiler::writeInt16(AcDb::DxfCode code, Adesk::Int16 value) {
  newItem(code).int32 = value;
  return m_status;
}
Acad::ErrorStatus DxfMemoryFiler::writeUInt16(AcDb::DxfCode code, Adesk::UInt16 value) {
  return writeInt16(code, static_cast<Adesk::Int16>(value));
}
Acad::ErrorStatus DxfMemoryFiler::writeInt32(AcDb::DxfCode code, Adesk::Int32 value) {
  newItem(code).int32 = value;
  return m_status;
}
Acad::ErrorStatus DxfMemoryFiler::writeDouble(AcDb::DxfCode code, double value) {
  newItem(code).real = value;
  return m_status;
}
Acad::ErrorStatus DxfMemoryFiler::writePoint3d(AcDb::DxfCode code, const AcGePoint3d& value) {
  newItem(code).point = value;
  return m_status;
}
Acad::ErrorStatus DxfMemoryFiler::writeObjectId(AcDb::DxfCode code, const AcDbObjectId& id) {
  char hex[24];
  const char* end = std::to_chars(hex, hex + sizeof hex, static_cast<unsigned long long>(id.isNull() ? 0 : id.handle()), 16).ptr;
  std::wstring& text = newItem(code).text;
  for (const char* c = hex; c < end; ++c) text += static_cast<wchar_t>(*c >= 'a' ? *c - 'a' + 'A' : *c);
  return m_status;
}

// Objects filled from their filing are open for write for it, without the
// notifications of an open.
class RestoreScope {
 public:
  explicit RestoreScope(AcDbObject* object) : m_pObject(object), m_saved(object->openState()) {
    object->openState().writer = true;
    object->openState().writeAsserted = true;
  }
  ~RestoreScope() { m_pObject->openState() = m_saved; }
  RestoreScope(const RestoreScope&) = delete;
  RestoreScope& operator=(const RestoreScope&) = delete;

 private:
  AcDbObject* m_pObject;
  AcDbObject::OpenState m_saved;
};

Acad::ErrorStatus restoreFromRecord(AcDbObject* object, AcDbDatabase* db, const std::vector<unsigned char>& bytes,
                                    AcDb::FilerType type) {
  return restoreFromRecord(object, db, bytes.data(), bytes.size(), type);
}

Acad::ErrorStatus restoreFromRecord(AcDbObject* object, AcDbDatabase* db, const unsigned char* bytes, size_t size,
                                    AcDb::FilerType type) {
  DwgMemoryFiler filer(type, db, bytes, size);
  Acad::ErrorStatus es;
  {
    RestoreScope open(object);
    es = object->dwgInFields(&filer);
  }
  return es != Acad::eOk ? es : filer.filerStatus();
}

Acad::ErrorStatus restoreFromGroups(AcDbObject* object, AcDbDatabase* db, const std::vector<resbuf>& items,
                                    bool markerless) {
  DxfMemoryFiler filer(AcDb::kFileFiler, db, items);
  filer.setMarkerless(markerless);
  Acad::ErrorStatus es;
  try {
    RestoreScope open(object);
    es = object->dxfInFields(&filer);
  } catch (...) {
    es = Acad::eFilerError;
  }
  return es != Acad::eOk ? es : filer.filerStatus();
}

void placeObject(AcDbStub* stub, AcDbObject* object) {
  object->bindStub(stub);
  object->setNewObject(false);
  object->openState() = AcDbObject::OpenState();
  stub->object = object;
}

}  // namespace kvhost
