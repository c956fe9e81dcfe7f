// Reading a DXF file's text: the tags it is made of and the groups of a
// record, as a filer hands them to an object.
#include <cerrno>
#include <cwchar>
#include <cwctype>
#include "database/memfiler.h"
#include "files/dxf.h"
#include "kvhost.h"

namespace kvhost {
namespace {

bool parseInt(const std::wstring& s, long long& v) {
  wchar_t* end = nullptr;
  errno = 0;
  v = std::wcstoll(s.c_str(), &end, 10);
  if (errno != 0 || end == s.c_str()) return false;
  while (*end == L' ' || *end == L'\t') ++end;
  return *end == 0;
}

bool parseReal(const std::wstring& s, double& v) {
  wchar_t* end = nullptr;
  v = std::wcstod(s.c_str(), &end);
  if (end == s.c_str()) return false;
  while (*end == L' ' || *end == L'\t') ++end;
  return *end == 0;
}

// Text that is not UTF-8 is taken as Latin-1, the common case of older files.
std::wstring decodeLine(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    bool ok = extra >= 0;
    for (int k = 1; ok && k <= extra; ++k) ok = i + k < s.size() && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    if (!ok) {
      std::wstring latin;
      for (char ch : s) latin += static_cast<wchar_t>(static_cast<unsigned char>(ch));
      return latin;
    }
    i += extra + 1;
  }
  return fromUtf8(s);
}

}  // namespace

bool parseDxfHandle(const std::wstring& s, AcDbHandle& h) {
  if (s.empty() || s.size() > 16) return false;
  wchar_t* end = nullptr;
  errno = 0;
  unsigned long long v = std::wcstoull(s.c_str(), &end, 16);
  if (errno != 0 || end == s.c_str() || *end != 0 || !std::iswxdigit(s[0])) return false;
  h = v;
  return true;
}

std::wstring trimDxf(const std::wstring& s) {
  size_t a = s.find_first_not_of(L" \t"), b = s.find_last_not_of(L" \t");
  return a == std::wstring::npos ? std::wstring() : s.substr(a, b - a + 1);
}

std::wstring unescapeDxfText(const std::wstring& s) {
  std::wstring out;
  for (size_t i = 0; i < s.size(); ++i) {
    wchar_t c = s[i];
    if (caretEscapeAt(s, i)) {
      const wchar_t next = s[i + 1];
      out += next == L' ' ? L'^' : static_cast<wchar_t>(next - 0x40);
      ++i;
    } else if (c == L'\\' && i + 7 <= s.size() && s.compare(i, 3, L"\\U+") == 0) {
      // Releases before 2007 write characters outside their code page as \U+XXXX.
      wchar_t* end = nullptr;
      std::wstring digits = s.substr(i + 3, 4);
      unsigned long code = std::wcstoul(digits.c_str(), &end, 16);
      if (end == digits.c_str() + 4) {
        out += static_cast<wchar_t>(code);
        i += 6;
      } else {
        out += c;
      }
    } else {
      out += c;
    }
  }
  return out;
}

bool toDxfGroups(const std::vector<DxfTag>& tags, size_t from, size_t to, std::vector<resbuf>& items) {
  for (size_t i = from; i < to; ++i) {
    resbuf rb;
    rb.restype = static_cast<short>(tags[i].code);
    const std::wstring& v = tags[i].value;
    long long n = 0;
    switch (dxfValueKind(tags[i].code)) {
      case DxfValueKind::kText: rb.text = unescapeDxfText(v); break;
      case DxfValueKind::kHandle: rb.text = trimDxf(v); break;
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
    items.push_back(rb);
  }
  return true;
}

Acad::ErrorStatus readDxfTags(const std::string& bytes, std::vector<DxfTag>& tags) {
  if (bytes.compare(0, 18, "AutoCAD Binary DXF") == 0) return Acad::eBadDwgHeader;
  size_t pos = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  auto nextLine = [&](std::string& line) {
    if (pos >= bytes.size()) return false;
    size_t end = bytes.find('\n', pos);
    if (end == std::string::npos) end = bytes.size();
    line.assign(bytes, pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    pos = end + 1;
    return true;
  };
  std::string codeLine, valueLine;
  bool sawEof = false;
  while (!sawEof && nextLine(codeLine)) {
    long long code = 0;
    std::wstring codeText = trimDxf(decodeLine(codeLine));
    bool ok = parseInt(codeText, code) && code >= 0 && code <= 1071;
    ok = ok && nextLine(valueLine);
    // Text never holds a NUL; read as a C string it would quietly cut the value short.
    ok = ok && codeLine.find('\0') == std::string::npos && valueLine.find('\0') == std::string::npos;
    if (!ok) return tags.empty() ? Acad::eBadDwgHeader : Acad::eDwgNeedsRecovery;
    if (code == 999) continue;  // a comment
    tags.push_back({static_cast<int>(code), decodeLine(valueLine)});
    if (tags.size() == 1 && (code != 0 || trimDxf(tags[0].value) != L"SECTION")) return Acad::eBadDwgHeader;
    sawEof = code == 0 && trimDxf(tags.back().value) == L"EOF";
  }
  if (tags.empty()) return Acad::eBadDwgHeader;
  return sawEof ? Acad::eOk : Acad::eDwgNeedsRecovery;
}

}  // namespace kvhost
