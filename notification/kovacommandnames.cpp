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

const std::wstring& KOVACommandNameSet::lastUpperCase(const ACHAR* name) {
  // Written over in place: once they have held the longest name, asking
  // allocates nothing.
  static std::wstring s_name, s_upper;
  if (name == nullptr) name = L"";
  if (s_name != name) {
    s_name.assign(name);
    s_upper.assign(name);
    upperCaseInPlace(s_upper);
  }
  return s_upper;
}
