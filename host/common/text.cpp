// The host's wide strings to and from the UTF-8 of files, scripts and terminals.
#include <cstdint>
#include "common/text.h"
#include "kvhost.h"

namespace kvhost {

namespace {
const uint32_t kReplacement = 0xFFFD;

bool isScalarValue(uint32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

// Where wchar_t is UTF-16 (Windows) a character beyond U+FFFF is a pair of surrogates.
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;
bool isHighSurrogate(uint32_t c) { return c >= 0xD800 && c < 0xDC00; }
bool isLowSurrogate(uint32_t c) { return c >= 0xDC00 && c < 0xE000; }
}  // namespace

uint32_t nextCharacter(const std::wstring& s, size_t& i) {
  auto c = static_cast<uint32_t>(s[i++]);
  if (kWideIsUtf16 && isHighSurrogate(c) && i < s.size() && isLowSurrogate(static_cast<uint32_t>(s[i])))
    c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(s[i++]) - 0xDC00);
  return c;
}

void appendCharacter(std::wstring& s, uint32_t c) {
  if (kWideIsUtf16 && c >= 0x10000) {
    s += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
    c = 0xDC00 + ((c - 0x10000) & 0x3FF);
  }
  s += static_cast<wchar_t>(c);
}

std::string toUtf8(const std::wstring& s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    uint32_t c = nextCharacter(s, i);
    if (!isScalarValue(c)) c = kReplacement;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Bytes that are not UTF-8 (a Latin-1 script, a cut or overlong sequence)
// become U+FFFD one byte at a time, so that no text after them is lost.
std::wstring fromUtf8(const std::string& s) {
  std::wstring out;
  for (size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    const size_t extra = c < 0x80 ? 0 : c >= 0xC2 && c < 0xE0 ? 1 : c >= 0xE0 && c < 0xF0 ? 2 : c >= 0xF0 && c < 0xF5 ? 3 : 4;
    uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
    bool valid = extra < 4 && i + extra < s.size();
    for (size_t k = 1; valid && k <= extra; ++k) {
      auto next = static_cast<unsigned char>(s[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    static const uint32_t kShortest[] = {0, 0x80, 0x800, 0x10000};
    if (valid && (code < kShortest[extra] || !isScalarValue(code))) valid = false;
    if (!valid) code = kReplacement;
    appendCharacter(out, code);
    i += valid ? extra + 1 : 1;
  }
  return out;
}

}  // namespace kvhost
