// What a drawing keeps of the file it was read from: the groups of each
// record and the file around its objects.
#include <algorithm>
#include "database/dbimpl.h"
#include "kvhost.h"

namespace kvhost {

void KeptGroups::add(int code, const std::string& text, Role role) {
  m_text += text;
  m_groups.push_back({static_cast<short>(code), role, static_cast<std::uint32_t>(m_text.size())});
}

std::string KeptGroups::text(size_t i) const {
  const size_t begin = i == 0 ? 0 : m_groups[i - 1].end;
  return m_text.substr(begin, m_groups[i].end - begin);
}

void KeptGroups::append(const KeptGroups& other) {
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
  auto at = fillerValueAt(m_fillerValues, i);
  if (at != m_fillerValues.end() && at->first == i)
    at->second = ownValue;
  else
    m_fillerValues.insert(at, {i, ownValue});
}

const std::string* KeptGroups::fillerValue(size_t i) const {
  auto at = fillerValueAt(m_fillerValues, i);
  return at != m_fillerValues.end() && at->first == i ? &at->second : nullptr;
}

const KeptFile::Variable* KeptFile::variable(const std::wstring& name) const {
  for (const Variable& var : header)
    if (var.name == name) return &var;
  return nullptr;
}

std::wstring KeptFile::release() const {
  const Variable* var = variable(L"ACADVER");
  return var && !var->groups.empty() ? fromUtf8(var->groups.text(0)) : L"";
}

KeptFile* keptFile(const AcDbDatabase* db) { return db->impl()->keptFile.get(); }
void setKeptFile(AcDbDatabase* db, std::unique_ptr<KeptFile> file) { db->impl()->keptFile = std::move(file); }

}  // namespace kvhost
