// Characters of the host's wide strings, whatever the width of wchar_t: one
// unit a character where it is 32 bits, surrogate pairs beyond U+FFFF where
// it is UTF-16 (Windows).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace kvhost {

// The character starting at s[i], and i moved past it; a lone surrogate is
// returned as it stands.
uint32_t nextCharacter(const std::wstring& s, size_t& i);
// Appends the character in as many units as it takes.
void appendCharacter(std::wstring& s, uint32_t c);

// s without the blanks (spaces, tabs) around it, as DXF values are read;
// most values have none, so it looks at their ends only.
template <class Char>
std::basic_string_view<Char> trimmed(std::basic_string_view<Char> s) {
  auto blank = [](Char c) { return c == ' ' || c == '\t'; };
  size_t a = 0, b = s.size();
  while (a < b && blank(s[a])) ++a;
  while (b > a && blank(s[b - 1])) --b;
  return s.substr(a, b - a);
}

}  // namespace kvhost
