// The command log and the prompts.
#include "KvTools.h"
#include <map>

namespace {
const size_t kMaxLogLines = 4096;
}

CKvFnLog g_FnLog;

int CKvFnLog::write(std::wstring line) {
  if (m_lines.size() >= kMaxLogLines) m_lines.erase(m_lines.begin(), m_lines.begin() + kMaxLogLines / 2);
  m_lines.push_back(line);
  if (m_listener) m_listener(m_lines.back());
  return 1;
}
int CKvFnLog::logCmdStart(const wchar_t* command) { return write(std::wstring(L"start ") + (command ? command : L"")); }
int CKvFnLog::logCmdEnd(const wchar_t* command) { return write(std::wstring(L"end ") + (command ? command : L"")); }
int CKvFnLog::logInfo(const wchar_t* text) { return write(std::wstring(L"info ") + (text ? text : L"")); }

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
