// The product line's command log, prompts and string type.
#pragma once
#include <functional>
#include <string>
#include <vector>
#include "KvTrace.h"

// The string type of the product line's interfaces.
class KV_API CString {
 public:
  CString() = default;
  CString(const wchar_t* text) : m_text(text ? text : L"") {}
  CString(std::wstring text) : m_text(std::move(text)) {}
  operator const wchar_t*() const { return m_text.c_str(); }
  const wchar_t* GetString() const { return m_text.c_str(); }
  int GetLength() const { return static_cast<int>(m_text.size()); }

 private:
  std::wstring m_text;
};

// The command log: one line for each command start, end and note. The
// most recent lines are kept in a ring whose strings are written over in
// place, so that logging allocates nothing once the ring has filled.
class KV_API CKvFnLog {
 public:
  int logCmdStart(const wchar_t* command);
  int logCmdEnd(const wchar_t* command);
  int logInfo(const wchar_t* text);
  // The most recent lines, oldest first.
  std::vector<std::wstring> lines() const;
  void clear() { m_nFirst = m_nCount = 0; }
  void setListener(std::function<void(const std::wstring&)> listener) { m_listener = std::move(listener); }

 private:
  int write(const wchar_t* prefix, const wchar_t* text);
  std::vector<std::wstring> m_ring;
  size_t m_nFirst = 0;  // the oldest line's slot
  size_t m_nCount = 0;
  std::function<void(const std::wstring&)> m_listener;
};
extern KV_API CKvFnLog g_FnLog;

namespace KvPrompts {
// The prompt of a project by its number; empty when it has none.
KV_API CString getPrompt(const wchar_t* project, int id);
KV_API void addPrompt(const wchar_t* project, int id, const wchar_t* text);
}  // namespace KvPrompts
