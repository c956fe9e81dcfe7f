// The command log and the prompts.
#include "KvTools.h"
#include <map>

namespace {
const size_t kMaxLogLines = 4096;
}

CKvFnLog g_FnLog;

int CKvFnLog::write(const wchar_t* prefix, const wchar_t* text) {
  size_t slot;
  if (m_nCount < kMaxLogLines) {
    slot = (m_nFirst + m_nCount++) % kMaxLogLines;
  } else {
    slot = m_nFirst;  // the oldest line makes room
    m_nFirst = (m_nFirst + 1) % kMaxLogLines;
  }
  if (slot == m_ring.size()) m_ring.emplace_back();
  std::wstring& line = m_ring[slot];
  line.assign(prefix).append(text ? text : L"");
  if (m_listener) m_listener(line);
  return 1;
}
int CKvFnLog::logCmdStart(const wchar_t* command) { return write(L"start ", command); }
int CKvFnLog::logCmdEnd(const wchar_t* command) { return write(L"end ", command); }
int CKvFnLog::logInfo(const wchar_t* text) { return write(L"info ", text); }

std::vector<std::wstring> CKvFnLog::lines() const {
  std::vector<std::wstring> ordered;
  ordered.reserve(m_nCount);
  for (size_t i = 0; i < m_nCount; ++i) ordered.push_back(m_ring[(m_nFirst + i) % kMaxLogLines]);
  return ordered;
}

namespace KvPrompts {
namespace {
std::map<std::pair<std::wstring, int>, std::wstring>& prompts() {
  static std::map<std::pair<std::wstring, int>, std::wstring> table;
  return table;
}
}  // namespace
CString getPrompt(const wchar_t* project, int id) {
  auto it = prompts().find({project ? project : L"", id});
  return it == prompts().end() ? CString() : CString(it->second);
}
void addPrompt(const wchar_t* project, int id, const wchar_t* text) {
  prompts()[{project ? project : L"", id}] = text ? text : L"";
}
}  // namespace KvPrompts
