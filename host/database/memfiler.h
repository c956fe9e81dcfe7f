// Filers that keep a record in memory: the DWG form as bytes (undo records,
// proxies, drawing files) and the DXF form as a list of groups.
#pragma once
#include <cstring>
#include <string>
#include <string_view>
#include <vector>
#include "dbmain.h"

namespace kvhost {

class DwgMemoryFiler : public AcDbDwgFiler {
 public:
  // Writing: an object's record is some tens of bytes, and one is taken at
  // every first change of an object in a command; room for it from the
  // start spares the buffer's growing steps.
  DwgMemoryFiler(AcDb::FilerType type, AcDbDatabase* db) : m_type(type), m_pDb(db) { m_bytes.reserve(128); }
  DwgMemoryFiler(AcDb::FilerType type, AcDbDatabase* db, std::vector<unsigned char> bytes)
      : m_type(type), m_pDb(db), m_bytes(std::move(bytes)) {}
  // Reading bytes held elsewhere, which outlive the filer.
  DwgMemoryFiler(AcDb::FilerType type, AcDbDatabase* db, const unsigned char* bytes, size_t size)
      : m_type(type), m_pDb(db), m_pHeld(bytes), m_heldSize(size) {}

  // What was written.
  const std::vector<unsigned char>& bytes() const { return m_bytes; }
  // How many bytes there are to read, and whether all were read.
  size_t size() const { return m_pHeld ? m_heldSize : m_bytes.size(); }
  bool atEnd() const { return m_pos >= size(); }
  // The next n bytes where they are, read past; null (and eEndOfFile) when
  // fewer are left.
  const unsigned char* readInPlace(size_t n) {
    if (m_status != Acad::eOk) return nullptr;
    if (n > size() - m_pos) {
      m_status = Acad::eEndOfFile;
      return nullptr;
    }
    const unsigned char* at = data() + m_pos;
    m_pos += n;
    return at;
  }
  // A string's UTF-8 where it is, read past; false when it is cut short.
  bool readUtf8InPlace(std::string_view& text);
  void reserve(size_t bytes) { m_bytes.reserve(bytes); }
  // A number written earlier at offset at of the bytes written, written anew.
  void rewriteUInt32(size_t at, Adesk::UInt32 value);

  Acad::ErrorStatus filerStatus() const override { return m_status; }
  AcDb::FilerType filerType() const override { return m_type; }
  void setFilerStatus(Acad::ErrorStatus status) override { m_status = status; }
  void resetFilerStatus() override { m_status = Acad::eOk; }

  Acad::ErrorStatus readBool(bool* value) override;
  Acad::ErrorStatus readInt16(Adesk::Int16* value) override { return readRaw(value, sizeof *value); }
  Acad::ErrorStatus readUInt16(Adesk::UInt16* value) override { return readRaw(value, sizeof *value); }
  Acad::ErrorStatus readInt32(Adesk::Int32* value) override { return readRaw(value, sizeof *value); }
  Acad::ErrorStatus readUInt32(Adesk::UInt32* value) override { return readRaw(value, sizeof *value); }
  Acad::ErrorStatus readDouble(double* value) override { return readRaw(value, sizeof *value); }
  Acad::ErrorStatus readPoint3d(AcGePoint3d* value) override;
  Acad::ErrorStatus readString(std::wstring& value) override;
  Acad::ErrorStatus readHardOwnershipId(AcDbObjectId* id) override { return readId(id); }
  Acad::ErrorStatus readSoftPointerId(AcDbObjectId* id) override { return readId(id); }
  Acad::ErrorStatus readBytes(void* buffer, Adesk::UIntPtr length) override { return readRaw(buffer, length); }
  Acad::ErrorStatus readUInt64(Adesk::UInt64* value) { return readRaw(value, sizeof *value); }

  Acad::ErrorStatus writeBool(bool value) override { return writeRaw(&value, 1); }
  Acad::ErrorStatus writeInt16(Adesk::Int16 value) override { return writeRaw(&value, sizeof value); }
  Acad::ErrorStatus writeUInt16(Adesk::UInt16 value) override { return writeRaw(&value, sizeof value); }
  Acad::ErrorStatus writeInt32(Adesk::Int32 value) override { return writeRaw(&value, sizeof value); }
  Acad::ErrorStatus writeUInt32(Adesk::UInt32 value) override { return writeRaw(&value, sizeof value); }
  Acad::ErrorStatus writeDouble(double value) override { return writeRaw(&value, sizeof value); }
  Acad::ErrorStatus writePoint3d(const AcGePoint3d& value) override;
  Acad::ErrorStatus writeString(const ACHAR* value) override { return writeString(std::wstring_view(value ? value : L"")); }
  Acad::ErrorStatus writeString(std::wstring_view text);
  Acad::ErrorStatus writeHardOwnershipId(const AcDbObjectId& id) override { return writeId(id); }
  Acad::ErrorStatus writeSoftPointerId(const AcDbObjectId& id) override { return writeId(id); }
  Acad::ErrorStatus writeBytes(const void* buffer, Adesk::UIntPtr length) override { return writeRaw(buffer, length); }
  Acad::ErrorStatus writeUInt64(Adesk::UInt64 value) { return writeRaw(&value, sizeof value); }

 private:
  // Inline: records are made of numbers, a few bytes each.
  Acad::ErrorStatus readRaw(void* out, size_t n) {
    const unsigned char* at = readInPlace(n);
    if (at == nullptr) return m_status;
    if (n > 0) std::memcpy(out, at, n);  // an empty record may come with no storage at all
    return Acad::eOk;
  }
  Acad::ErrorStatus writeRaw(const void* in, size_t n) {
    const auto* p = static_cast<const unsigned char*>(in);
    m_bytes.insert(m_bytes.end(), p, p + n);
    return m_status;
  }
  Acad::ErrorStatus readId(AcDbObjectId* id);
  Acad::ErrorStatus writeId(const AcDbObjectId& id);

  const unsigned char* data() const { return m_pHeld ? m_pHeld : m_bytes.data(); }

  AcDb::FilerType m_type;
  AcDbDatabase* m_pDb;
  std::vector<unsigned char> m_bytes;
  const unsigned char* m_pHeld = nullptr;  // read instead of m_bytes when set
  size_t m_heldSize = 0;
  size_t m_pos = 0;
  Acad::ErrorStatus m_status = Acad::eOk;
};

class DxfMemoryFiler : public AcDbDxfFiler {
 public:
  DxfMemoryFiler(AcDb::FilerType type, AcDbDatabase* db) : m_type(type), m_pDb(db) {}
  DxfMemoryFiler(AcDb::FilerType type, AcDbDatabase* db, std::vector<resbuf> items)
      : m_type(type), m_pDb(db), m_items(std::move(items)) {}
  const std::vector<resbuf>& items() const { return m_items; }
  std::vector<resbuf> takeItems() { return std::move(m_items); }
  // A record that names no subclass: every subclass asked for reads it
  // from its start.
  void setMarkerless(bool markerless) { m_bMarkerless = markerless; }

  Acad::ErrorStatus filerStatus() const override { return m_status; }
  AcDb::FilerType filerType() const override { return m_type; }
  void resetFilerStatus() override {
    m_status = Acad::eOk;
    m_error.clear();
  }
  Acad::ErrorStatus setError(Acad::ErrorStatus status, const ACHAR* format, ...) override;
  const ACHAR* errorMessage() const override { return m_error.c_str(); }

  Acad::ErrorStatus readItem(resbuf* item) override;
  Acad::ErrorStatus pushBackItem() override;
  bool atEOF() override { return m_pos >= m_items.size(); }
  bool atSubclassData(const ACHAR* subClassName) override;

  Acad::ErrorStatus writeItem(const resbuf& item) override;
  Acad::ErrorStatus writeString(AcDb::DxfCode code, const ACHAR* value) override;
  Acad::ErrorStatus writeInt16(AcDb::DxfCode code, Adesk::Int16 value) override;
  Acad::ErrorStatus writeUInt16(AcDb::DxfCode code, Adesk::UInt16 value) override;
  Acad::ErrorStatus writeInt32(AcDb::DxfCode code, Adesk::Int32 value) override;
  Acad::ErrorStatus writeDouble(AcDb::DxfCode code, double value) override;
  Acad::ErrorStatus writePoint3d(AcDb::DxfCode code, const AcGePoint3d& value) override;
  Acad::ErrorStatus writeObjectId(AcDb::DxfCode code, const AcDbObjectId& id) override;

  AcDbDatabase* database() const { return m_pDb; }

 private:
  // A new group of the code at the end, its value still to be set.
  resbuf& newItem(AcDb::DxfCode code);

  AcDb::FilerType m_type;
  AcDbDatabase* m_pDb;
  std::vector<resbuf> m_items;
  size_t m_pos = 0;
  bool m_bCanPushBack = false;
  bool m_bMarkerless = false;
  Acad::ErrorStatus m_status = Acad::eOk;
  std::wstring m_error;
};

// How a group code's value is carried in the DXF form.
enum class DxfValueKind { kText, kInt16, kInt32, kReal, kPoint, kHandle };
DxfValueKind dxfValueKind(int groupCode);

}  // namespace kvhost
