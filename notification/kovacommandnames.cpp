// Command names without letter case.
#include "kovacommandnames.h"
#include <cwctype>

namespace {
void upperCaseInPlace(std::wstring& name) {
  for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(c));
}
}  // namespace

std::wstring KOVACommandNameSet::upperCase(const ACHAR* name) {
  std::wstring upper(name);
  upperCaseInPlace(upper);
  return upper;
}

const KOVACommandNameSet::LastName& KOVACommandNameSet::lastName(const ACHAR* name) {
  // Written over in place: once it has held the longest name, asking
  // allocates nothing.
  static LastName s_last;
  if (name == nullptr) name = L"";
  if (s_last.serial == 0 || s_last.text != name) {
    s_last.text.assign(name);
    s_last.upper.assign(name);
    upperCaseInPlace(s_last.upper);
    ++s_last.serial;
  }
  return s_last;
}
