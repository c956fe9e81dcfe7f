// Command names as the host compares them: without letter case.
#pragma once
#include <cstddef>
#include <string>
#include <unordered_set>
#include <adesk.h>

// A fixed set of command names, upper-cased once when it is made. The name
// asked about is upper-cased once per command: the phases of one command
// ask several sets about the same name, and the last name is kept.
class KOVACommandNameSet {
 public:
  template <size_t N>
  explicit KOVACommandNameSet(const ACHAR* const (&names)[N]) {
    for (const ACHAR* name : names) m_setNames.insert(upperCase(name));
  }
  bool contains(const ACHAR* command) const { return m_setNames.count(lastUpperCase(command)) != 0; }

 private:
  static std::wstring upperCase(const ACHAR* name);
  static const std::wstring& lastUpperCase(const ACHAR* name);

  std::unordered_set<std::wstring> m_setNames;
};
