// What a drawing keeps of the file it was read from: the groups of each
// record and the file around its objects.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <utility>
#include "common/text.h"
#include "database/dbimpl.h"
#include "kvhost.h"

namespace kvhost {

KeptGroups& KeptGroups::operator=(KeptGroups&& other) noexcept {
  if (this != &other) {
    if (m_block) delete heldRoom().fillerValues;
    m_block = std::move(other.m_block);
  }
  return *this;
}

KeptGroups::~KeptGroups() {
  if (m_block) delete heldRoom().fillerValues;
}

KeptGroups KeptGroups::ofRecord() {
  KeptGroups held;
  held.grow(0, 0);
  return held;
}

// The new block takes over the groups, their text and the filler values.
void KeptGroups::grow(size_t groupRoom, size_t textRoom) {
  static_assert(alignof(Group) <= alignof(Room) && sizeof(Room) % alignof(Group) == 0, "groups follow the room");
  const Room had = room();
  std::unique_ptr<char[]> block(new char[sizeof(Room) + groupRoom * sizeof(Group) + textRoom]);
  new (block.get()) Room{static_cast<std::uint32_t>(groupRoom), static_cast<std::uint32_t>(textRoom), had.count, had.fillerValues};
  if (had.count != 0) {
    std::memcpy(block.get() + sizeof(Room), m_block.get() + sizeof(Room), had.count * sizeof(Group));
    std::memcpy(block.get() + sizeof(Room) + groupRoom * sizeof(Group), textStart(), textSize());
  }
  m_block = std::move(block);
}

void KeptGroups::reserve(size_t groups, size_t textBytes) {
  const Room has = room();
  if (!m_block || has.count + groups > has.groups || textSize() + textBytes > has.text)
    grow(std::max<size_t>(has.groups, has.count + groups), std::max<size_t>(has.text, textSize() + textBytes));
}

void KeptGroups::add(int code, std::string_view text, Role role) {
  const size_t begin = textSize();
  const Room has = room();
  if (!m_block || has.count == has.groups || begin + text.size() > has.text)
    grow(has.count == has.groups ? 2 * has.groups + 4 : has.groups, std::max<size_t>(has.text, 2 * (begin + text.size())));
  if (!text.empty()) std::memcpy(textStart() + begin, text.data(), text.size());
  new (groups() + heldRoom().count++) Group{static_cast<short>(code), role, static_cast<std::uint32_t>(begin + text.size())};
}

std::string_view KeptGroups::text(size_t i) const {
  const size_t begin = i == 0 ? 0 : group(i - 1).end;
  return std::string_view(textStart() + begin, group(i).end - begin);
}

void KeptGroups::append(const KeptGroups& other) {
  reserve(other.size(), other.textSize());
  for (size_t i = 0; i < other.size(); ++i) add(other.code(i), other.text(i));
}

namespace {
// Where group i's filler value is, or goes, in values.
template <class Values>
auto fillerValueAt(Values& values, size_t i) {
  return std::lower_bound(values.begin(), values.end(), i, [](const auto& value, size_t group) { return value.first < group; });
}
}  // namespace

void KeptGroups::setFiller(size_t i, const std::string& ownValue) {
  setRole(i, kFiller);
  FillerValues*& values = heldRoom().fillerValues;
  if (values == nullptr) values = new FillerValues;
  auto at = fillerValueAt(*values, i);
  if (at != values->end() && at->first == i)
    at->second = ownValue;
  else
    values->insert(at, {i, ownValue});
}

const std::string* KeptGroups::fillerValue(size_t i) const {
  const FillerValues* values = room().fillerValues;
  if (values == nullptr) return nullptr;
  auto at = fillerValueAt(*values, i);
  return at != values->end() && at->first == i ? &at->second : nullptr;
}

const KeptFile::Variable* KeptFile::variable(const std::wstring& name) const {
  for (const Variable& var : header)
    if (var.name == name) return &var;
  return nullptr;
}

std::wstring KeptFile::release() const {
  const Variable* var = variable(L"ACADVER");
  if (var == nullptr || var->groups.empty()) return L"";
  return fromUtf8(std::string(trimmed(var->groups.text(0))));  // as the reader takes it
}

KeptFile* keptFile(const AcDbDatabase* db) { return db->impl()->keptFile.get(); }
KeptFile* keptFrame(const AcDbDatabase* db) {
  KeptFile* file = keptFile(db);
  return file && !file->sections.empty() ? file : nullptr;
}
void setKeptFile(AcDbDatabase* db, std::unique_ptr<KeptFile> file) { db->impl()->keptFile = std::move(file); }

}  // namespace kvhost
