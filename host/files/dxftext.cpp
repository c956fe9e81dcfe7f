// The text of a DXF file as it is written, and the record names of the
// host's own classes.
#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "common/text.h"
#include "database/memfiler.h"
#include "files/dxf.h"
#include "kvhost.h"

namespace kvhost {
namespace {

// Room for any number, and for a group code's line.
constexpr size_t kNumberBytes = 40;
constexpr size_t kCodeBytes = 16;

char* formatHex(char* out, AcDbHandle h) {
  char* end = std::to_chars(out, out + kNumberBytes, static_cast<unsigned long long>(h), 16).ptr;
  for (char* c = out; c < end; ++c)
    if (*c >= 'a') *c = static_cast<char>(*c - 'a' + 'A');
  return end;
}

// A number of at most 15 digits with a few decimals, as most numbers of a
// drawing are, that reads back as v: %.15g writes just these digits. Null
// when v is none.
char* formatFewDecimals(char* out, double v) {
  constexpr int kMostDecimals = 6;
  const double magnitude = std::fabs(v);
  if (!(magnitude >= 1e-4 && magnitude < 1e9)) return nullptr;
  double scale = 1;
  for (int decimals = 1; decimals <= kMostDecimals; ++decimals) {
    scale *= 10;
    const double digits = std::nearbyint(magnitude * scale);
    if (digits / scale != magnitude) continue;
    char text[kNumberBytes];
    const int count = static_cast<int>(std::to_chars(text, text + sizeof text, static_cast<long long>(digits)).ptr - text);
    const int whole = count - decimals;  // digits before the point
    if (v < 0) *out++ = '-';
    if (whole <= 0) *out++ = '0';
    for (int i = 0; i < whole; ++i) *out++ = text[i];
    *out++ = '.';
    for (int i = whole; i < 0; ++i) *out++ = '0';
    for (int i = std::max(whole, 0); i < count; ++i) *out++ = text[i];
    return out;
  }
  return nullptr;
}

// What printf's %.15g writes of v, or %.17g where that would not read back
// as v. The shortest digits that read back as v are those %.15g writes
// whenever there are at most 15 of them: a normal double is closer to them
// than to any other number of 15 digits. Numbers below the normal range,
// infinities and NaN go to printf itself.
char* formatReal(char* out, double v) {
  if (v == std::trunc(v) && std::fabs(v) < 1e15) {  // a whole number of at most 15 digits, as it stands
    if (v == 0) {
      if (std::signbit(v)) *out++ = '-';
      *out++ = '0';
      return out;
    }
    return std::to_chars(out, out + kNumberBytes, static_cast<long long>(v)).ptr;
  }
  if (char* end = formatFewDecimals(out, v)) return end;
  if (!std::isfinite(v) || (v != 0 && std::fabs(v) < DBL_MIN)) {
    std::snprintf(out, kNumberBytes, "%.15g", v);
    if (std::strtod(out, nullptr) != v) std::snprintf(out, kNumberBytes, "%.17g", v);
    return out + std::strlen(out);
  }
  char shortest[kNumberBytes];
  const char* end = std::to_chars(shortest, shortest + sizeof shortest, v, std::chars_format::scientific).ptr;
  const char* p = shortest + (v < 0);
  char digits[kNumberBytes];
  int count = 0;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') digits[count++] = *p;
  if (count > 15) return std::to_chars(out, out + kNumberBytes, v, std::chars_format::general, 17).ptr;
  if (v < 0) *out++ = '-';
  int exponent = 0;
  for (const char* e = p + 2; e < end; ++e) exponent = exponent * 10 + (*e - '0');
  if (p[1] == '-') exponent = -exponent;
  if (exponent < -4 || exponent >= 15) {  // d.ddde+XX
    *out++ = digits[0];
    if (count > 1) *out++ = '.';
    for (int i = 1; i < count; ++i) *out++ = digits[i];
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    const int magnitude = std::abs(exponent);
    if (magnitude >= 100) *out++ = static_cast<char>('0' + magnitude / 100);
    *out++ = static_cast<char>('0' + magnitude / 10 % 10);
    *out++ = static_cast<char>('0' + magnitude % 10);
  } else if (exponent < 0) {  // 0.000ddd
    *out++ = '0';
    *out++ = '.';
    for (int i = -1; i > exponent; --i) *out++ = '0';
    for (int i = 0; i < count; ++i) *out++ = digits[i];
  } else {  // ddd000 or ddd.ddd
    for (int i = 0; i <= exponent; ++i) *out++ = i < count ? digits[i] : '0';
    if (count > exponent + 1) *out++ = '.';
    for (int i = exponent + 1; i < count; ++i) *out++ = digits[i];
  }
  return out;
}

// The line of a group code: right-aligned in three places, as printf's %3d.
char* codeLine(char* out, int code) {
  if (code >= 0 && code < 1000) {
    out[0] = code >= 100 ? static_cast<char>('0' + code / 100) : ' ';
    out[1] = code >= 10 ? static_cast<char>('0' + code / 10 % 10) : ' ';
    out[2] = static_cast<char>('0' + code % 10);
    out[3] = '\n';
    return out + 4;
  }
  char* end = std::to_chars(out, out + kNumberBytes, code).ptr;
  if (end - out < 3) {  // -1 to -9
    std::memmove(out + 3 - (end - out), out, static_cast<size_t>(end - out));
    std::memset(out, ' ', static_cast<size_t>(3 - (end - out)));
    end = out + 3;
  }
  *end = '\n';
  return end + 1;
}

}  // namespace

std::string dxfHex(AcDbHandle h) {
  char buf[kNumberBytes];
  return std::string(buf, formatHex(buf, h));
}

std::string dxfReal(double v) {
  char buf[kNumberBytes];
  return std::string(buf, formatReal(buf, v));
}

bool caretEscapeAt(const std::wstring& s, size_t i) {
  const wchar_t next = i + 1 < s.size() ? s[i + 1] : 0;
  return s[i] == L'^' && (next == L' ' || (next >= 0x40 && next < 0x60));
}

DxfEncoding dxfEncodingOf(const std::wstring& release) {
  // AC1021 is release 2007; a file that does not say is taken as UTF-8.
  return !release.empty() && release < L"AC1021" ? DxfEncoding::kCodePage : DxfEncoding::kUtf8;
}

namespace {

void appendCodePageChar(std::string& out, uint32_t c) {
  if (c < 0x100) {
    out += static_cast<char>(c);
    return;
  }
  char buf[16];
  std::snprintf(buf, sizeof buf, c > 0xFFFF ? "\\U+%08lX" : "\\U+%04lX", static_cast<unsigned long>(c));
  out += buf;
}

std::string encode(const std::wstring& s, DxfEncoding encoding) {
  if (encoding == DxfEncoding::kUtf8) return toUtf8(s);
  std::string out;
  for (size_t i = 0; i < s.size();) appendCodePageChar(out, nextCharacter(s, i));
  return out;
}

// Printable ASCII without a caret or a backslash: a text that goes to a
// file as it stands, in either encoding.
bool isPlain(const std::wstring& s) {
  for (wchar_t c : s)
    if (c < 0x20 || c > 0x7E || c == L'^' || c == L'\\') return false;
  return true;
}

bool isAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

std::string narrowPlain(const std::wstring& s) {
  std::string out(s.size(), '\0');
  for (size_t i = 0; i < s.size(); ++i) out[i] = static_cast<char>(s[i]);
  return out;
}

// The lines an item is written as, each handed to take(code, bytes).
template <class Take>
void itemLines(const resbuf& rb, DxfEncoding encoding, Take&& take) {
  char buf[kNumberBytes];
  auto number = [&](char* end) { return std::string_view(buf, static_cast<size_t>(end - buf)); };
  const int code = rb.restype;
  switch (dxfValueKind(code)) {
    case DxfValueKind::kText: return take(code, dxfEscape(rb.text, encoding));
    case DxfValueKind::kHandle: return take(code, isPlain(rb.text) ? narrowPlain(rb.text) : toUtf8(rb.text));
    case DxfValueKind::kInt16:
      return take(code, number(std::to_chars(buf, buf + sizeof buf, static_cast<Adesk::Int16>(rb.int32)).ptr));
    case DxfValueKind::kInt32: return take(code, number(std::to_chars(buf, buf + sizeof buf, rb.int32).ptr));
    case DxfValueKind::kReal: return take(code, number(formatReal(buf, rb.real)));
    case DxfValueKind::kPoint: break;
  }
  take(code, number(formatReal(buf, rb.point.x)));
  take(code + 10, number(formatReal(buf, rb.point.y)));
  take(code + 20, number(formatReal(buf, rb.point.z)));
}

}  // namespace

// A caret stays as it is unless what follows would make it read as an
// escape; then it goes as "^ ".
std::string dxfEscape(const std::wstring& s, DxfEncoding encoding) {
  if (isPlain(s)) return narrowPlain(s);
  std::wstring out;
  for (size_t i = 0; i < s.size(); ++i) {
    wchar_t c = s[i];
    if (caretEscapeAt(s, i)) {
      out += L"^ ";
    } else if (c < 0x20) {
      out += L'^';
      out += static_cast<wchar_t>(c + 0x40);
    } else if (c == L'\\' && encoding == DxfEncoding::kCodePage && s.compare(i + 1, 2, L"U+") == 0) {
      out += L"\\U+005C";  // read as it stands, it would be an escape
    } else {
      out += c;
    }
  }
  return encode(out, encoding);
}

char* DxfText::room(size_t n) {
  if (m_capacity - m_size < n) reserve(std::max(2 * m_capacity, m_size + n));
  return m_text.get() + m_size;
}

void DxfText::reserve(size_t bytes) {
  if (bytes <= m_capacity) return;
  std::unique_ptr<char[]> grown(new char[bytes]);
  if (m_size > 0) std::memcpy(grown.get(), m_text.get(), m_size);
  m_text = std::move(grown);
  m_capacity = bytes;
}

void DxfText::lines(std::string_view text) {
  if (text.empty()) return;
  std::memcpy(room(text.size()), text.data(), text.size());
  m_size += text.size();
}

template <class Format>
void DxfText::line(int code, size_t valueBytes, Format&& format) {
  char* out = format(codeLine(room(kCodeBytes + valueBytes + 1), code));
  *out++ = '\n';
  m_size = static_cast<size_t>(out - m_text.get());
}

void DxfText::tag(int code, std::string_view value) {
  if (m_encoding == DxfEncoding::kUtf8 || isAscii(value))
    raw(code, value);
  else
    raw(code, encode(fromUtf8(std::string(value)), m_encoding));
}

void DxfText::tag(int code, const std::wstring& value) {
  if (!isPlain(value)) return raw(code, dxfEscape(value, m_encoding));
  line(code, value.size(), [&](char* out) {
    for (wchar_t c : value) *out++ = static_cast<char>(c);
    return out;
  });
}

void DxfText::tag(int code, int value) {
  line(code, kNumberBytes, [&](char* out) { return std::to_chars(out, out + kNumberBytes, value).ptr; });
}

void DxfText::tag(int code, double value) {
  line(code, kNumberBytes, [&](char* out) { return formatReal(out, value); });
}

void DxfText::handle(int code, AcDbHandle h) {
  line(code, kNumberBytes, [&](char* out) { return formatHex(out, h); });
}

void DxfText::raw(int code, std::string_view bytes) {
  line(code, bytes.size(), [&](char* out) {
    std::memcpy(out, bytes.data(), bytes.size());
    return out + bytes.size();
  });
}

void dxfLines(const resbuf& rb, DxfEncoding encoding, const std::function<void(int, std::string_view)>& take) {
  itemLines(rb, encoding, take);
}

void DxfText::point(int code, double x, double y, double z) {
  tag(code, x);
  tag(code + 10, y);
  tag(code + 20, z);
}

// Texts and numbers, most of what records hold, are written in place.
void DxfText::item(const resbuf& rb) {
  const int code = rb.restype;
  switch (dxfValueKind(code)) {
    case DxfValueKind::kText: return tag(code, rb.text);
    case DxfValueKind::kReal: return tag(code, rb.real);
    case DxfValueKind::kPoint: return point(code, rb.point.x, rb.point.y, rb.point.z);
    default: return itemLines(rb, m_encoding, [this](int line, std::string_view bytes) { raw(line, bytes); });
  }
}

const wchar_t* builtinDxfName(const AcRxClass* cls) {
  if (cls == AcDbLine::desc()) return L"LINE";
  if (cls == AcDbCircle::desc()) return L"CIRCLE";
  if (cls == AcDbText::desc()) return L"TEXT";
  if (cls == AcDbDictionary::desc()) return L"DICTIONARY";
  if (cls == AcDbLayerTableRecord::desc()) return L"LAYER";
  return nullptr;
}

std::wstring recordName(const AcDbObject* object) {
  const AcRxClass* cls = object->isA();
  std::wstring type = cls->dxfName() && *cls->dxfName() ? cls->dxfName() : cls->name();
  if (const wchar_t* builtin = builtinDxfName(cls)) type = builtin;
  if (auto* entity = AcDbProxyEntity::cast(object)) type = entity->originalDxfName();
  const std::string handle = dxfHex(object->objectId().handle());
  std::wstring name = type + L" " + std::wstring(handle.begin(), handle.end());
  return type == cls->name() || builtinDxfName(cls) ? name : name + L" (" + cls->name() + L")";
}

AcRxClass* builtinDxfClass(const std::wstring& name) {
  if (name == L"LINE") return AcDbLine::desc();
  if (name == L"CIRCLE") return AcDbCircle::desc();
  if (name == L"TEXT") return AcDbText::desc();
  if (name == L"DICTIONARY") return AcDbDictionary::desc();
  if (name == L"LAYER") return AcDbLayerTableRecord::desc();
  return nullptr;
}

}  // namespace kvhost
