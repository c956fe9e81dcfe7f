// Reading a DXF file's text: the tags it is made of and the groups of a
// record, as a filer hands them to an object.
#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include "common/text.h"
#include "database/memfiler.h"
#include "files/dxf.h"
#include "kvhost.h"

namespace kvhost {
namespace {

// Numbers are read in their common case, plain digits, without the C
// library's locale and buffers; anything else (a sign, blanks, a number out
// of range) as strtoll and strtod read it.
template <class Number>
bool parsePlain(std::string_view s, Number& v) {
  const auto plain = std::from_chars(s.data(), s.data() + s.size(), v);
  return plain.ec == std::errc() && plain.ptr == s.data() + s.size() && !s.empty();
}

bool parseInt(std::string_view s, long long& v) {
  if (parsePlain(s, v)) return true;
  const std::string text(s);
  char* end = nullptr;
  errno = 0;
  v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str()) return false;
  while (*end == ' ' || *end == '\t') ++end;
  return *end == 0;
}

bool parseReal(std::string_view s, double& v) {
  if (parsePlain(s, v)) return true;
  const std::string text(s);
  char* end = nullptr;
  v = std::strtod(text.c_str(), &end);
  if (end == text.c_str()) return false;
  while (*end == ' ' || *end == '\t') ++end;
  return *end == 0;
}

bool isAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return (c & 0x80) == 0; });
}

// A handle of hex digits only, as handles are written; false for anything
// else, which parseDxfHandle then reads.
template <class Char>
bool parsePlainHex(std::basic_string_view<Char> s, AcDbHandle& h) {
  if (s.empty() || s.size() > 16) return false;
  AcDbHandle v = 0;
  for (Char c : s) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    v = v << 4 | static_cast<AcDbHandle>(digit);
  }
  h = v;
  return true;
}

// Whether text held as UTF-8 is the text of an item, unescaped.
bool heldTextIs(std::string_view held, const std::wstring& text, DxfEncoding encoding) {
  const bool escapes = held.find_first_of(encoding == DxfEncoding::kCodePage ? "^\\" : "^") != std::string_view::npos;
  if (escapes || !isAscii(held)) return unescapeDxfText(fromUtf8(std::string(held)), encoding) == text;
  return held.size() == text.size() && std::equal(held.begin(), held.end(), text.begin());
}

// Text that is not UTF-8 is taken as Latin-1, the common case of older files.
std::wstring decodeLine(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    bool ok = extra >= 0;
    for (int k = 1; ok && k <= extra; ++k) ok = i + k < s.size() && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    if (!ok) return decodeDxf(s, DxfEncoding::kCodePage);
    i += extra + 1;
  }
  return fromUtf8(std::string(s));
}

// The character of a \U+ escape at s[i] and the escape's length; 0 when
// there is none. Eight digits stand for a character beyond 16 bits.
size_t unicodeEscapeAt(const std::wstring& s, size_t i, uint32_t& c) {
  if (s.compare(i, 3, L"\\U+") != 0) return 0;
  auto hexDigits = [&](size_t n, unsigned long& v) {
    if (i + 3 + n > s.size()) return false;
    v = 0;
    for (size_t k = i + 3; k < i + 3 + n; ++k) {
      if (!std::iswxdigit(s[k])) return false;
      v = v * 16 + static_cast<unsigned long>(std::iswdigit(s[k]) ? s[k] - L'0' : std::towupper(s[k]) - L'A' + 10);
    }
    return true;
  };
  unsigned long v = 0;
  if (hexDigits(8, v) && v >= 0x10000 && v <= 0x10FFFF) {
    c = static_cast<uint32_t>(v);
    return 11;
  }
  if (!hexDigits(4, v)) return 0;
  c = static_cast<uint32_t>(v);
  return 7;
}

}  // namespace

bool parseDxfHandle(std::string_view s, AcDbHandle& h) {
  return parsePlainHex(s, h) || parseDxfHandle(fromUtf8(std::string(s)), h);
}

bool parseDxfHandle(const std::wstring& s, AcDbHandle& h) {
  if (parsePlainHex(std::wstring_view(s), h)) return true;
  if (s.empty() || s.size() > 16) return false;
  wchar_t* end = nullptr;
  errno = 0;
  unsigned long long v = std::wcstoull(s.c_str(), &end, 16);
  if (errno != 0 || end == s.c_str() || *end != 0 || !std::iswxdigit(s[0])) return false;
  h = v;
  return true;
}

std::wstring trimDxf(const std::wstring& s) { return std::wstring(trimmed(std::wstring_view(s))); }
std::string_view trimDxf(std::string_view s) { return trimmed(s); }

std::wstring decodeDxf(std::string_view bytes, DxfEncoding encoding) {
  if (isAscii(bytes)) return std::wstring(bytes.begin(), bytes.end());
  if (encoding == DxfEncoding::kUtf8) return decodeLine(bytes);
  std::wstring out;
  out.reserve(bytes.size());
  for (char ch : bytes) out += static_cast<wchar_t>(static_cast<unsigned char>(ch));
  return out;
}

std::wstring unescapeDxfText(std::wstring s, DxfEncoding encoding) {
  if (s.find_first_of(encoding == DxfEncoding::kCodePage ? L"^\\" : L"^") == std::wstring::npos) return s;
  std::wstring out;
  for (size_t i = 0; i < s.size(); ++i) {
    wchar_t c = s[i];
    size_t escape = 0;
    if (caretEscapeAt(s, i)) {
      const wchar_t next = s[i + 1];
      out += next == L' ' ? L'^' : static_cast<wchar_t>(next - 0x40);
      ++i;
    } else if (uint32_t code = 0; encoding == DxfEncoding::kCodePage && (escape = unicodeEscapeAt(s, i, code)) != 0) {
      // Releases before 2007 write characters outside their code page as \U+XXXX.
      appendCharacter(out, code);
      i += escape - 1;
    } else {
      out += c;
    }
  }
  return out;
}

bool heldReadsAs(std::string_view held, const resbuf& rb, int coordinate, DxfEncoding encoding) {
  long long n = 0;
  double v = 0;
  switch (dxfValueKind(rb.restype)) {
    case DxfValueKind::kText: return heldTextIs(held, rb.text, encoding);
    case DxfValueKind::kHandle: {
      AcDbHandle a = 0, b = 0;
      const bool heldReads = parseDxfHandle(trimDxf(held), a);
      return heldReads && (parsePlainHex(trimmed(std::wstring_view(rb.text)), b) || parseDxfHandle(trimDxf(rb.text), b)) && a == b;
    }
    case DxfValueKind::kInt16: return parseInt(trimDxf(held), n) && static_cast<Adesk::Int16>(n) == rb.int32;
    case DxfValueKind::kInt32:
      return parseInt(trimDxf(held), n) && static_cast<Adesk::Int32>(static_cast<Adesk::UInt32>(n)) == rb.int32;
    case DxfValueKind::kReal: return parseReal(trimDxf(held), v) && v == rb.real;
    case DxfValueKind::kPoint: break;
  }
  const double coords[3] = {rb.point.x, rb.point.y, rb.point.z};
  return parseReal(trimDxf(held), v) && v == coords[coordinate];
}

bool toDxfGroups(const std::vector<DxfTag>& tags, size_t from, size_t to, std::vector<resbuf>& items,
                 DxfEncoding encoding) {
  items.reserve(items.size() + (to - from));
  for (size_t i = from; i < to; ++i) {
    resbuf rb;
    rb.restype = static_cast<short>(tags[i].code);
    const std::string_view v = tags[i].value;
    long long n = 0;
    switch (dxfValueKind(tags[i].code)) {
      case DxfValueKind::kText: rb.text = unescapeDxfText(decodeDxf(v, encoding), encoding); break;
      case DxfValueKind::kHandle: rb.text = decodeDxf(trimDxf(v), encoding); break;
      case DxfValueKind::kInt16:
        if (!parseInt(trimDxf(v), n)) return false;
        rb.int32 = static_cast<Adesk::Int16>(n);
        break;
      case DxfValueKind::kInt32:
        if (!parseInt(trimDxf(v), n)) return false;
        rb.int32 = static_cast<Adesk::Int32>(static_cast<Adesk::UInt32>(n));
        break;
      case DxfValueKind::kReal:
        if (!parseReal(trimDxf(v), rb.real)) return false;
        break;
      case DxfValueKind::kPoint: {
        int code = tags[i].code;
        double* coords[3] = {&rb.point.x, &rb.point.y, &rb.point.z};
        if (!parseReal(trimDxf(v), *coords[0])) return false;
        for (int k = 1; k < 3 && i + 1 < to && tags[i + 1].code == code + 10 * k; ++k)
          if (!parseReal(trimDxf(tags[++i].value), *coords[k])) return false;
        break;
      }
    }
    items.push_back(std::move(rb));
  }
  return true;
}

Acad::ErrorStatus DxfTagReader::refuse(Acad::ErrorStatus status, const std::string& why) {
  m_why = why;
  return m_status = status;
}

Acad::ErrorStatus DxfTagReader::take(const char* bytes, size_t size) {
  if (m_status == Acad::eOk && m_start.size() < kStartBytes) {
    m_start.append(bytes, std::min(size, kStartBytes - m_start.size()));
    m_binary = m_start.compare(0, sizeof kBinarySentinel, kBinarySentinel, sizeof kBinarySentinel) == 0;
  }
  if (m_binary) {
    if (m_status != Acad::eOk) return m_status;
    m_binaryBytes.append(bytes, size);
    return takeBinary(false);
  }
  for (size_t at = 0; at < size && m_status == Acad::eOk;) {
    if (m_sawEof) {
      // Past its end a drawing ends its last line, or pads with end-of-file marks.
      for (; at < size; ++at, ++m_offset)
        if (!std::strchr(" \t\r\n\x1a", bytes[at]))
          return refuse(Acad::eDwgNeedsRecovery, "there is more after the end of the drawing (its EOF), at byte " +
                                                     std::to_string(m_offset));
      break;
    }
    const char* stop = static_cast<const char*>(std::memchr(bytes + at, '\n', size - at));
    const size_t end = stop ? static_cast<size_t>(stop - bytes) : size;
    if (const void* nul = std::memchr(bytes + at, '\0', end - at)) {
      const size_t where = m_offset + static_cast<size_t>(static_cast<const char*>(nul) - (bytes + at));
      return refuse(faultStatus(),
                    "a NUL byte at byte " + std::to_string(where) + ", where a DXF file holds only text");
    }
    if (m_line.size() + (end - at) > kMaxLineBytes)
      return refuse(faultStatus(),
                    "line " + std::to_string(m_lineNumber) + " is longer than " + std::to_string(kMaxLineBytes) +
                        " bytes, where a group's " + (m_haveCode ? "value" : "code") + " is expected");
    m_line.append(bytes + at, end - at);
    m_offset += end - at;
    at = end;
    if (stop == nullptr) break;
    ++at, ++m_offset;
    takeLine();
  }
  return m_status;
}

void DxfTagReader::takeLine() {
  if (!m_line.empty() && m_line.back() == '\r') m_line.pop_back();
  if (m_lineNumber == 1 && m_line.compare(0, 3, "\xEF\xBB\xBF") == 0) m_line.erase(0, 3);
  ++m_lineNumber;
  if (!m_haveCode) {
    long long code = 0;
    if (!parseInt(trimDxf(m_line), code) || code < 0 || code > 1071) {
      refuse(faultStatus(),
             "line " + std::to_string(m_lineNumber - 1) + " is no group code");
      return;
    }
    m_code = static_cast<int>(code);
    m_haveCode = true;
    m_line.clear();
    return;
  }
  m_haveCode = false;
  if (m_code != 999) {  // else a comment
    const bool eof = m_code == 0 && trimDxf(m_line) == "EOF";
    if (!emit(m_code, std::move(m_line))) return;
    m_sawEof = eof;
  }
  m_line.clear();
}

bool DxfTagReader::emit(int code, std::string&& value) {
  if (m_tagCount++ == 0 && (code != 0 || trimDxf(value) != "SECTION")) {
    refuse(Acad::eBadDwgHeader, "it does not start with a section");
    return false;
  }
  m_sink({code, std::move(value)});
  return true;
}

namespace {

// How a group's value is held in binary DXF.
enum class BinaryValue { kText, kChunk, kInt8, kInt16, kInt32, kInt64, kReal };
BinaryValue binaryValueOf(int code) {
  auto in = [code](int from, int to) { return code >= from && code <= to; };
  if (in(310, 319) || code == 1004) return BinaryValue::kChunk;
  if (in(10, 59) || in(110, 149) || in(210, 239) || in(460, 469) || in(1010, 1059)) return BinaryValue::kReal;
  if (in(60, 79) || in(170, 179) || in(270, 289) || in(370, 389) || in(400, 409) || in(1060, 1070))
    return BinaryValue::kInt16;
  if (in(90, 99) || in(420, 429) || in(440, 459) || code == 1071) return BinaryValue::kInt32;
  if (in(160, 169)) return BinaryValue::kInt64;
  if (in(290, 299)) return BinaryValue::kInt8;
  return BinaryValue::kText;
}

// Little-endian, as binary DXF holds numbers.
template <class T>
T littleEndian(const std::string& bytes, size_t at) {
  std::uint64_t v = 0;
  for (size_t k = sizeof(T); k-- > 0;) v = v << 8 | static_cast<unsigned char>(bytes[at + k]);
  T value;
  if constexpr (sizeof(T) == sizeof v) {
    std::memcpy(&value, &v, sizeof value);
  } else {
    value = static_cast<T>(v);
  }
  return value;
}

// One group of binary DXF at `at`, its value as its text would be in ASCII
// DXF: read (and `at` past it) or cut short where the bytes end. Releases
// before R13 give a group code one byte (255 then two for larger ones);
// later ones two.
enum class BinaryGroup { kRead, kShort };
BinaryGroup readBinaryGroup(const std::string& b, size_t& at, bool wideCodes, int& code, std::string& value) {
  size_t next = at;
  auto have = [&](size_t n) { return next + n <= b.size(); };
  if (!have(wideCodes ? 2 : 1)) return BinaryGroup::kShort;
  code = static_cast<unsigned char>(b[next++]);
  if (wideCodes) {
    code |= static_cast<unsigned char>(b[next++]) << 8;
  } else if (code == 255) {
    if (!have(2)) return BinaryGroup::kShort;
    code = littleEndian<std::uint16_t>(b, next), next += 2;
  }
  const BinaryValue kind = binaryValueOf(code);
  static const size_t kSizes[] = {0, 1, 1, 2, 4, 8, 8};
  const size_t size = kSizes[static_cast<int>(kind)];
  if (!have(size)) return BinaryGroup::kShort;
  switch (kind) {
    case BinaryValue::kText: {
      const size_t end = b.find('\0', next);
      if (end == std::string::npos) return BinaryGroup::kShort;
      value.assign(b, next, end - next);
      next = end + 1;
      break;
    }
    case BinaryValue::kChunk: {
      const size_t length = static_cast<unsigned char>(b[next++]);
      if (!have(length)) return BinaryGroup::kShort;
      static const char kHex[] = "0123456789ABCDEF";
      value.clear();
      for (size_t k = 0; k < length; ++k) {
        const auto c = static_cast<unsigned char>(b[next + k]);
        value += kHex[c >> 4], value += kHex[c & 15];
      }
      next += length;
      break;
    }
    case BinaryValue::kInt8: value = std::to_string(static_cast<int>(static_cast<unsigned char>(b[next]))); break;
    case BinaryValue::kInt16: value = std::to_string(littleEndian<std::int16_t>(b, next)); break;
    case BinaryValue::kInt32: value = std::to_string(littleEndian<std::int32_t>(b, next)); break;
    case BinaryValue::kInt64: value = std::to_string(littleEndian<std::int64_t>(b, next)); break;
    case BinaryValue::kReal: value = dxfReal(littleEndian<double>(b, next)); break;
  }
  at = next + (kind == BinaryValue::kText || kind == BinaryValue::kChunk ? 0 : size);
  return BinaryGroup::kRead;
}

}  // namespace

// The groups of binary DXF handed on as their bytes come: m_binaryBytes
// holds what is not read yet, from byte m_binaryOffset of the file (0 while
// it starts with the sentinel); last: no more bytes come.
Acad::ErrorStatus DxfTagReader::takeBinary(bool last) {
  const std::string& b = m_binaryBytes;
  size_t at = 0;
  if (m_binaryOffset == 0) {
    if (!last && b.size() < sizeof kBinarySentinel + 2) return m_status;  // which codes it has is not known yet
    at = sizeof kBinarySentinel;
    m_wideCodes = at + 1 < b.size() && b[at] == 0 && b[at + 1] == 0;
  }
  int code = 0;
  std::string value;
  while (!m_sawEof && readBinaryGroup(b, at, m_wideCodes, code, value) == BinaryGroup::kRead) {
    if (code > 1071)
      return refuse(Acad::eDwgNeedsRecovery, "group code " + std::to_string(code) + " at byte " + std::to_string(m_binaryOffset + at));
    if (code == 999) continue;
    const bool eof = code == 0 && value == "EOF";
    if (!emit(code, std::move(value))) return m_status;
    m_sawEof = eof;
  }
  m_binaryBytes.erase(0, at);
  m_binaryOffset += at;
  if (m_sawEof && !m_binaryBytes.empty()) {
    return refuse(Acad::eDwgNeedsRecovery,
                  "there is more after the end of the drawing (its EOF), at byte " + std::to_string(m_binaryOffset));
  }
  if (m_binaryBytes.size() > kMaxLineBytes) {
    return refuse(faultStatus(), "the group at byte " + std::to_string(m_binaryOffset) + " is longer than " +
                                     std::to_string(kMaxLineBytes) + " bytes");
  }
  if (last && !m_sawEof) return refuse(faultStatus(), "it ends inside a group, at byte " + std::to_string(m_binaryOffset));
  return m_status;
}

Acad::ErrorStatus DxfTagReader::finish() {
  if (m_status != Acad::eOk) return m_status;
  if (m_binary) return takeBinary(true);
  if (!m_line.empty() || m_haveCode) takeLine();
  if (m_status != Acad::eOk) return m_status;
  if (m_tagCount == 0) return refuse(Acad::eBadDwgHeader, "it holds no group");
  if (!m_sawEof) return refuse(Acad::eDwgNeedsRecovery, "it ends before the end of the drawing (its EOF)");
  return Acad::eOk;
}

Acad::ErrorStatus readDxfTags(const std::string& bytes, std::vector<DxfTag>& tags) {
  DxfTagReader reader(tags);
  reader.take(bytes.data(), bytes.size());
  return reader.finish();
}

}  // namespace kvhost
