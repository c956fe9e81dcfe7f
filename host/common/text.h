// Characters of the host's wide strings, whatever the width of wchar_t: one
// unit a character where it is 32 bits, surrogate pairs beyond U+FFFF where
// it is UTF-16 (Windows).
#pragma once
#include <cstdint>
#include <string>

namespace kvhost {

// The character starting at s[i], and i moved past it; a lone surrogate is
// returned as it stands.
uint32_t nextCharacter(const std::wstring& s, size_t& i);
// Appends the character in as many units as it takes.
void appendCharacter(std::wstring& s, uint32_t c);

}  // namespace kvhost
