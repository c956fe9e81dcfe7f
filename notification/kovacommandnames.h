// Command names as the host compares them: without letter case.
#pragma once
#include <cstddef>
#include <string>
#include <unordered_set>
#include <adesk.h>

// A fixed set of command names, upper-cased once when it is made. The
// phases of one command ask several sets about the same name: the name
// asked about last is kept upper-cased, and each set keeps its answer for
// it, so that a command's name is upper-cased and looked up once.
class KOVACommandNameSet {
 public:
  template <size_t N>
  explicit KOVACommandNameSet(const ACHAR* const (&names)[N]) {
    for (const ACHAR* name : names) m_setNames.insert(upperCase(name));
  }
  bool contains(const ACHAR* command) const {
    const LastName& last = lastName(command);
    if (m_nAnswered != last.serial) {
      m_bContains = m_setNames.count(last.upper) != 0;
      m_nAnswered = last.serial;
    }
    return m_bContains;
  }

 private:
  struct LastName {
    std::wstring text, upper;
    unsigned long long serial = 0;  // one more for every new name
  };
  static std::wstring upperCase(const ACHAR* name);
  static const LastName& lastName(const ACHAR* name);

  std::unordered_set<std::wstring> m_setNames;
  mutable unsigned long long m_nAnswered = 0;
  mutable bool m_bContains = false;
};
