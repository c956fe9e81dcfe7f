// Dictionaries: named entries, each owning its object.
#include <cwchar>
#include <map>
#include <string_view>
#include "database/dbimpl.h"

using kvhost::readSubclass;

// ---- Dictionaries ----

struct AcDbDictionary::Impl {
  // Found by the caller's key as it is, without making a string of it.
  std::map<std::wstring, AcDbObjectId, std::less<>> entries;
};

AcDbDictionary::AcDbDictionary() : m_pImpl(new Impl) {}
AcDbDictionary::~AcDbDictionary() { delete m_pImpl; }

Acad::ErrorStatus AcDbDictionary::getAt(const ACHAR* key, AcDbObjectId& id) const {
  assertReadEnabled();
  auto it = m_pImpl->entries.find(std::wstring_view(key ? key : L""));
  if (it == m_pImpl->entries.end() || it->second.isErased()) return Acad::eKeyNotFound;
  id = it->second;
  return Acad::eOk;
}
bool AcDbDictionary::has(const ACHAR* key) const {
  AcDbObjectId id;
  return getAt(key, id) == Acad::eOk;
}
Acad::ErrorStatus AcDbDictionary::setAt(const ACHAR* key, AcDbObject* object, AcDbObjectId& id) {
  if (key == nullptr || object == nullptr) return Acad::eInvalidInput;
  if (database() == nullptr) return Acad::eNotInDatabase;
  assertWriteEnabled();
  if (object->database() == nullptr) {
    Acad::ErrorStatus es = database()->addAcDbObject(id, object);
    if (es != Acad::eOk) return es;
  }
  object->setOwnerId(objectId());
  id = object->objectId();
  m_pImpl->entries[key] = id;
  return Acad::eOk;
}
Acad::ErrorStatus AcDbDictionary::remove(const ACHAR* key) {
  assertWriteEnabled();
  return m_pImpl->entries.erase(key ? key : L"") ? Acad::eOk : Acad::eKeyNotFound;
}
int AcDbDictionary::numEntries() const {
  assertReadEnabled();
  return static_cast<int>(m_pImpl->entries.size());
}
void AcDbDictionary::entries(std::function<void(const ACHAR* key, AcDbObjectId id)> visit) const {
  for (auto& e : m_pImpl->entries)
    if (!e.second.isErased()) visit(e.first.c_str(), e.second);
}
Acad::ErrorStatus AcDbDictionary::dwgInFields(AcDbDwgFiler* filer) {
  Acad::ErrorStatus es = AcDbObject::dwgInFields(filer);
  if (es != Acad::eOk) return es;
  Adesk::UInt32 n = 0;
  if (filer->readUInt32(&n) != Acad::eOk) return filer->filerStatus();
  m_pImpl->entries.clear();
  for (Adesk::UInt32 i = 0; i < n && filer->filerStatus() == Acad::eOk; ++i) {
    std::wstring key;
    AcDbObjectId id;
    filer->readString(key);
    filer->readHardOwnershipId(&id);
    if (filer->filerStatus() == Acad::eOk) m_pImpl->entries[key] = id;
  }
  return filer->filerStatus();
}
Acad::ErrorStatus AcDbDictionary::dwgOutFields(AcDbDwgFiler* filer) const {
  Acad::ErrorStatus es = AcDbObject::dwgOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writeUInt32(static_cast<Adesk::UInt32>(m_pImpl->entries.size()));
  for (auto& e : m_pImpl->entries) {
    filer->writeString(e.first.c_str());
    filer->writeHardOwnershipId(e.second);
  }
  return filer->filerStatus();
}
Acad::ErrorStatus AcDbDictionary::dxfInFields(AcDbDxfFiler* filer) {
  Acad::ErrorStatus es = AcDbObject::dxfInFields(filer);
  if (es != Acad::eOk) return es;
  m_pImpl->entries.clear();
  std::wstring key;
  bool haveKey = false;
  return readSubclass(filer, L"AcDbDictionary", [&](const resbuf& rb) {
    if (rb.restype == AcDb::kDxfXTextString) {
      key = rb.text;
      haveKey = true;
    } else if ((rb.restype == 350 || rb.restype == 360) && haveKey) {
      wchar_t* end = nullptr;
      unsigned long long handle = std::wcstoull(rb.text.c_str(), &end, 16);
      if (handle != 0 && end != rb.text.c_str() && *end == 0 && database() != nullptr)
        m_pImpl->entries[key] = database()->getObjectId(handle);
      haveKey = false;
    }
  });
}
Acad::ErrorStatus AcDbDictionary::dxfOutFields(AcDbDxfFiler* filer) const {
  Acad::ErrorStatus es = AcDbObject::dxfOutFields(filer);
  if (es != Acad::eOk) return es;
  filer->writeString(AcDb::kDxfSubclass, L"AcDbDictionary");
  filer->writeInt16(static_cast<AcDb::DxfCode>(281), 1);
  for (auto& e : m_pImpl->entries) {
    if (e.second.isErased()) continue;
    filer->writeString(AcDb::kDxfXTextString, e.first.c_str());
    filer->writeObjectId(static_cast<AcDb::DxfCode>(350), e.second);
  }
  return filer->filerStatus();
}
