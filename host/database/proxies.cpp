// Proxies: objects whose class is not here keep what they were filed as,
// and turn back into their class when it comes.
#include <cstring>
#include "database/dbimpl.h"
#include "database/memfiler.h"
#include "rx/rxinternal.h"

namespace kvhost {
namespace {

void turnInstancesIntoProxies(AcRxClass* cls) {
  for (AcDbDatabase* db : databases()) {
    db->impl()->stubs.forEach([&](AcDbStub* stub) {
      if (stub->object == nullptr || stub->object->isA() != cls) return;
      auto* record = new AcDbProxyObject::Record;
      record->className = cls->name();
      DwgMemoryFiler filer(AcDb::kFileFiler, db);
      ++stub->object->openState().readers;  // its record is written as if open for read
      stub->object->dwgOutFields(&filer);
      record->bytes = filer.bytes();
      auto* proxy = new AcDbProxyObject(record);
      proxy->setOwnerId(stub->object->ownerId());
      delete stub->object;
      placeObject(stub, proxy);
    });
  }
}

void resurrectProxies(AcRxClass* cls) {
  for (AcDbDatabase* db : std::vector<AcDbDatabase*>(databases())) {
    AcDbObjectIdArray resurrected;
    db->impl()->stubs.forEach([&](AcDbStub* stub) {
      auto* proxy = AcDbProxyObject::cast(stub->object);
      if (proxy == nullptr) return;
      // A proxy keeps either the object's DWG record or its DXF groups.
      DxfProxyRecord dxf;
      const bool fromDxf = readDxfProxyRecord(*proxy->record(), dxf);
      if ((fromDxf ? dxf.className : std::wstring(proxy->originalClassName())) != cls->name()) return;
      AcDbObject* object = AcDbObject::cast(cls->create());
      if (object == nullptr) return;
      object->setOwnerId(proxy->ownerId());
      placeObject(stub, object);
      const Acad::ErrorStatus es = fromDxf ? restoreFromGroups(object, db, dxf.items)
                                           : restoreFromRecord(object, db, proxy->record()->bytes, AcDb::kFileFiler);
      if (es != Acad::eOk) {
        // What the class cannot read stays a proxy, with all it holds.
        stub->object = proxy;
        delete object;
        return;
      }
      delete proxy;
      resurrected.append(AcDbObjectId(stub));
    });
    if (!resurrected.isEmpty())
      notifyDb(db, [&](AcDbDatabaseReactor* r) { r->proxyResurrectionCompleted(db, cls->appName(), resurrected); });
  }
}

// The database keeps the objects of a class that goes as proxies and
// gives them back to the class when a module registers it again.
class ProxyKeeper : public ClassReactor {
 public:
  void classRegistered(AcRxClass* cls) override { resurrectProxies(cls); }
  void classToBeRemoved(AcRxClass* cls) override { turnInstancesIntoProxies(cls); }
};

// Attached as the host is loaded, before any module registers a class.
[[maybe_unused]] const bool kProxyKeeperAttached = classReactors().add(new ProxyKeeper);

}  // namespace

namespace {
const wchar_t kDxfProxyTag[] = L"|dxf";
const char kDxfProxyMagic[8] = {'K', 'V', 'D', 'X', 'F', 'P', 'X', '1'};
}

AcDbProxyObject::Record* makeDxfProxyRecord(const DxfProxyRecord& data) {
  DwgMemoryFiler out(AcDb::kFileFiler, nullptr);
  out.writeBytes(kDxfProxyMagic, sizeof kDxfProxyMagic);
  out.writeString(data.dxfName.c_str());
  out.writeString(data.appName.c_str());
  out.writeInt32(data.proxyFlags);
  out.writeBool(data.isEntity);
  out.writeUInt32(static_cast<Adesk::UInt32>(data.items.size()));
  for (const resbuf& rb : data.items) {
    out.writeInt16(rb.restype);
    out.writeString(rb.text.c_str());
    out.writeDouble(rb.real);
    out.writeInt32(rb.int32);
    out.writePoint3d(rb.point);
  }
  return new AcDbProxyObject::Record{data.className + kDxfProxyTag, out.bytes()};
}

bool readDxfProxyRecord(const AcDbProxyObject::Record& record, DxfProxyRecord& data) {
  const std::wstring tag = kDxfProxyTag;
  const std::wstring& name = record.className;
  if (name.size() < tag.size() || name.compare(name.size() - tag.size(), tag.size(), tag) != 0) return false;
  DwgMemoryFiler in(AcDb::kFileFiler, nullptr, record.bytes);
  char magic[sizeof kDxfProxyMagic] = {};
  in.readBytes(magic, sizeof magic);
  if (in.filerStatus() != Acad::eOk || std::memcmp(magic, kDxfProxyMagic, sizeof magic) != 0) return false;
  data = DxfProxyRecord();
  data.className = name.substr(0, name.size() - tag.size());
  in.readString(data.dxfName);
  in.readString(data.appName);
  in.readInt32(&data.proxyFlags);
  in.readBool(&data.isEntity);
  Adesk::UInt32 n = 0;
  in.readUInt32(&n);
  for (Adesk::UInt32 i = 0; i < n && in.filerStatus() == Acad::eOk; ++i) {
    resbuf rb;
    in.readInt16(&rb.restype);
    in.readString(rb.text);
    in.readDouble(&rb.real);
    in.readInt32(&rb.int32);
    in.readPoint3d(&rb.point);
    if (in.filerStatus() == Acad::eOk) data.items.push_back(rb);
  }
  return in.filerStatus() == Acad::eOk;
}

}  // namespace kvhost

AcDbProxyObject::AcDbProxyObject(Record* record) : m_pRecord(record ? record : new Record) {}
AcDbProxyObject::~AcDbProxyObject() { delete m_pRecord; }
const ACHAR* AcDbProxyObject::originalClassName() const { return m_pRecord->className.c_str(); }

// A proxy read from DXF gives back the groups it was read with but its
// xdata, which is the file's and written where it stood; one that
// holds a DWG record files it as hex chunks, as proxies do in DXF. Group 91,
// the class number, is the file's business and is set by the file writer.
Acad::ErrorStatus AcDbProxyObject::dxfOutFields(AcDbDxfFiler* filer) const {
  Acad::ErrorStatus es = AcDbObject::dxfOutFields(filer);
  if (es != Acad::eOk) return es;
  kvhost::DxfProxyRecord dxf;
  if (kvhost::readDxfProxyRecord(*m_pRecord, dxf)) {
    // Its xdata goes back with the rest of what the file held of it, once.
    for (const resbuf& rb : dxf.items) {
      if (rb.restype >= 1000) break;  // xdata: from the first of the codes from 1000 on
      filer->writeItem(rb);
    }
    return filer->filerStatus();
  }
  const std::vector<unsigned char>& bytes = m_pRecord->bytes;
  filer->writeString(AcDb::kDxfSubclass, L"AcDbProxyObject");
  filer->writeInt32(AcDb::kDxfInt32, 499);
  filer->writeInt32(static_cast<AcDb::DxfCode>(91), 0);
  filer->writeInt32(static_cast<AcDb::DxfCode>(95), 0);
  filer->writeInt16(AcDb::kDxfInt16, 0);  // the data is a DWG record
  filer->writeInt32(static_cast<AcDb::DxfCode>(93), static_cast<Adesk::Int32>(bytes.size() * 8));
  static const wchar_t kHex[] = L"0123456789ABCDEF";
  for (size_t at = 0; at < bytes.size(); at += 127) {
    std::wstring chunk;
    for (size_t i = at; i < std::min(bytes.size(), at + 127); ++i) {
      chunk += kHex[bytes[i] >> 4];
      chunk += kHex[bytes[i] & 15];
    }
    filer->writeString(static_cast<AcDb::DxfCode>(310), chunk.c_str());
  }
  filer->writeInt32(static_cast<AcDb::DxfCode>(94), 0);
  return filer->filerStatus();
}

Acad::ErrorStatus AcDbProxyObject::dxfInFields(AcDbDxfFiler* filer) {
  Acad::ErrorStatus es = AcDbObject::dxfInFields(filer);
  if (es != Acad::eOk) return es;
  if (!filer->atSubclassData(L"AcDbProxyObject"))
    return filer->setError(Acad::eInvalidDxfCode, L"\nError: expected subclass %ls", L"AcDbProxyObject");
  std::vector<unsigned char> bytes;
  long bits = -1;
  int format = 0;
  bool badChunk = false;
  resbuf rb;
  while (filer->readItem(&rb) == Acad::eOk) {
    if (rb.restype == AcDb::kDxfSubclass || rb.restype == 0) {
      filer->pushBackItem();
      break;
    }
    if (rb.restype == 70) format = rb.int32;
    if (rb.restype == 93) bits = rb.int32;
    if (rb.restype != 310) continue;
    if (rb.text.size() % 2 != 0) badChunk = true;
    auto nibble = [&](wchar_t c) {
      if (c >= L'0' && c <= L'9') return c - L'0';
      if (c >= L'A' && c <= L'F') return c - L'A' + 10;
      if (c >= L'a' && c <= L'f') return c - L'a' + 10;
      badChunk = true;
      return 0;
    };
    for (size_t i = 0; i + 1 < rb.text.size(); i += 2)
      bytes.push_back(static_cast<unsigned char>(nibble(rb.text[i]) << 4 | nibble(rb.text[i + 1])));
  }
  if (filer->filerStatus() != Acad::eOk) return filer->filerStatus();
  // Only the DWG form is kept; a size that disagrees means a damaged record.
  if (format != 0 || badChunk || (bits >= 0 && static_cast<size_t>(bits) != bytes.size() * 8))
    return filer->setError(Acad::eInvalidDxfCode, L"\nError: unreadable proxy data");
  m_pRecord->bytes = std::move(bytes);
  return filer->filerStatus();
}
