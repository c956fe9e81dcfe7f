// Dictionaries: named entries, each owning its object.
#include <cwchar>
#include <map>
#include <string_view>
#include <utility>
#include <vector>
#include "database/dbimpl.h"

using kvhost::readSubclass;

// ---- Dictionaries ----

// The entries in the order they were made or read: a file's order is its
// own, and a save writes them back in it. The index finds an entry by the
// caller's key as it is, without making a string of it.
struct AcDbDictionary::Impl {
  using Entry = std::pair<std::wstring, AcDbObjectId>;
  std::vector<Entry> entries;
  std::map<std::wstring, size_t, std::less<>> index;  // key -> its place in entries

  const Entry* find(std::wstring_view key) const {
    auto it = index.find(key);
    return it == index.end() ? nullptr : &entries[it->second];
  }
  // A key already there keeps its place.
  void set(const std::wstring& key, AcDbObjectId id) {
    auto [it, added] = index.emplace(key, entries.size());
    if (added)
      entries.emplace_back(key, id);
    else
      entries[it->second].second = id;
  }
  bool remove(std::wstring_view key) {
    auto it = index.find(key);
    if (it == index.end()) return false;
    const size_t at = it->second;
    index.erase(it);
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(at));
    for (auto& [name, place] : index)
      if (place > at) --place;
    return true;
  }
  void clear() {
    entries.clear();
    index.clear();
  }
};

AcDbDictionary::AcDbDictionary() : m_pImpl(new Impl) {}
AcDbDictionary::~AcDbDictionary() { delete m_pImpl; }

Acad::ErrorStatus AcDbDictionary::getAt(const ACHAR* key, AcDbObjectId& id) const {
  assertReadEnabled();
  const Impl::Entry* entry = m_pImpl->find(key ? key : L"");
  if (entry == nullptr || entry->second.isErased()) return Acad::eKeyNotFound;
  id = entry->second;
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
  m_pImpl->set(key, id);
  return Acad::eOk;
}
Acad::ErrorStatus AcDbDictionary::remove(const ACHAR* key) {
  assertWriteEnabled();
  return m_pImpl->remove(key ? key : L"") ? Acad::eOk : Acad::eKeyNotFound;
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
  m_pImpl->clear();
  for (Adesk::UInt32 i = 0; i < n && filer->filerStatus() == Acad::eOk; ++i) {
    std::wstring key;
    AcDbObjectId id;
    filer->readString(key);
    filer->readHardOwnershipId(&id);
    if (filer->filerStatus() == Acad::eOk) m_pImpl->set(key, id);
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
// Each entry is its key (3) and then the handle of its object (350, or 360
// as some writers give it). A file's groups that are no such pairs (a handle
// without its key, a key without its handle, a key twice) cannot be kept:
// a save writes the entries in the places of the file's groups of their
// codes, where another pair would then stand for them.
Acad::ErrorStatus AcDbDictionary::dxfInFields(AcDbDxfFiler* filer) {
  Acad::ErrorStatus es = AcDbObject::dxfInFields(filer);
  if (es != Acad::eOk) return es;
  m_pImpl->clear();
  std::wstring key;
  bool haveKey = false, damaged = false;
  es = readSubclass(filer, L"AcDbDictionary", [&](const resbuf& rb) {
    if (rb.restype == AcDb::kDxfXTextString) {
      damaged = damaged || haveKey || m_pImpl->find(rb.text) != nullptr;
      key = rb.text;
      haveKey = true;
    } else if (rb.restype == 350 || rb.restype == 360) {
      wchar_t* end = nullptr;
      unsigned long long handle = std::wcstoull(rb.text.c_str(), &end, 16);
      damaged = damaged || !haveKey || handle == 0 || end == rb.text.c_str() || *end != 0;
      if (!damaged && database() != nullptr) m_pImpl->set(key, database()->getObjectId(handle));
      haveKey = false;
    }
  }, filer->filerType() == AcDb::kFileFiler);
  if (es == Acad::eOk && (damaged || haveKey))
    es = filer->setError(Acad::eInvalidDxfCode, L"\nError: a dictionary entry without its key or its handle");
  return es;
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
