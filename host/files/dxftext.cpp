// The text of a DXF file as it is written, and the record names of the
// host's own classes.
#include <cstdio>
#include <cstdlib>
#include "common/text.h"
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

}  // namespace

// A caret stays as it is unless what follows would make it read as an
// escape; then it goes as "^ ".
std::string dxfEscape(const std::wstring& s, DxfEncoding encoding) {
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

void DxfText::tag(int code, const std::string& value) {
  raw(code, m_encoding == DxfEncoding::kUtf8 ? value : encode(fromUtf8(value), m_encoding));
}

void DxfText::raw(int code, const std::string& bytes) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%3d\n", code);
  m_out += buf;
  m_out += bytes;
  m_out += '\n';
}

std::vector<std::pair<int, std::string>> dxfLines(const resbuf& rb, DxfEncoding encoding) {
  const int code = rb.restype;
  switch (dxfValueKind(code)) {
    case DxfValueKind::kText: return {{code, dxfEscape(rb.text, encoding)}};
    case DxfValueKind::kHandle: return {{code, toUtf8(rb.text)}};
    case DxfValueKind::kInt16: return {{code, std::to_string(static_cast<Adesk::Int16>(rb.int32))}};
    case DxfValueKind::kInt32: return {{code, std::to_string(static_cast<int>(rb.int32))}};
    case DxfValueKind::kReal: return {{code, dxfReal(rb.real)}};
    case DxfValueKind::kPoint: break;
  }
  return {{code, dxfReal(rb.point.x)}, {code + 10, dxfReal(rb.point.y)}, {code + 20, dxfReal(rb.point.z)}};
}

void DxfText::point(int code, double x, double y, double z) {
  tag(code, x);
  tag(code + 10, y);
  tag(code + 20, z);
}

void DxfText::item(const resbuf& rb) {
  for (const auto& line : dxfLines(rb, m_encoding)) raw(line.first, line.second);
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
