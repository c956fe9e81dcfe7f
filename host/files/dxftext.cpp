// The text of a DXF file as it is written, and the record names of the
// host's own classes.
#include <cstdio>
#include <cstdlib>
#include "database/memfiler.h"
#include "files/dxf.h"
#include "kvhost.h"

namespace kvhost {

std::string dxfHex(AcDbHandle h) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(h));
  return buf;
}

std::string dxfReal(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  if (std::strtod(buf, nullptr) != v) std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

bool caretEscapeAt(const std::wstring& s, size_t i) {
  const wchar_t next = i + 1 < s.size() ? s[i + 1] : 0;
  return s[i] == L'^' && (next == L' ' || (next >= 0x40 && next < 0x60));
}

// A caret stays as it is unless what follows would make it read as an
// escape; then it goes as "^ ".
std::string dxfEscape(const std::wstring& s) {
  std::wstring out;
  for (size_t i = 0; i < s.size(); ++i) {
    wchar_t c = s[i];
    if (caretEscapeAt(s, i)) {
      out += L"^ ";
    } else if (c < 0x20) {
      out += L'^';
      out += static_cast<wchar_t>(c + 0x40);
    } else {
      out += c;
    }
  }
  return toUtf8(out);
}

void DxfText::tag(int code, const std::string& value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%3d\n", code);
  m_out += buf;
  m_out += value;
  m_out += '\n';
}

void DxfText::point(int code, double x, double y, double z) {
  tag(code, x);
  tag(code + 10, y);
  tag(code + 20, z);
}

void DxfText::item(const resbuf& rb) {
  int code = rb.restype;
  switch (dxfValueKind(code)) {
    case DxfValueKind::kText:
    case DxfValueKind::kHandle: tag(code, rb.text); break;
    case DxfValueKind::kInt16: tag(code, static_cast<Adesk::Int16>(rb.int32)); break;
    case DxfValueKind::kInt32: tag(code, static_cast<int>(rb.int32)); break;
    case DxfValueKind::kReal: tag(code, rb.real); break;
    case DxfValueKind::kPoint: point(code, rb.point.x, rb.point.y, rb.point.z); break;
  }
}

const wchar_t* builtinDxfName(const AcRxClass* cls) {
  if (cls == AcDbLine::desc()) return L"LINE";
  if (cls == AcDbCircle::desc()) return L"CIRCLE";
  if (cls == AcDbText::desc()) return L"TEXT";
  if (cls == AcDbDictionary::desc()) return L"DICTIONARY";
  return nullptr;
}

AcRxClass* builtinDxfClass(const std::wstring& name) {
  if (name == L"LINE") return AcDbLine::desc();
  if (name == L"CIRCLE") return AcDbCircle::desc();
  if (name == L"TEXT") return AcDbText::desc();
  if (name == L"DICTIONARY") return AcDbDictionary::desc();
  return nullptr;
}

}  // namespace kvhost
