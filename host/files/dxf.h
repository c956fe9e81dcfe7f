// The DXF form's shared pieces: the text of a file as it is written, the
// tags and groups it is read as, and the record names of the host's classes.
#pragma once
#include <string>
#include <vector>
#include "dbmain.h"

namespace kvhost {

std::string dxfHex(AcDbHandle h);
std::string dxfReal(double v);
// A value as one line: control characters as caret escapes.
std::string dxfEscape(const std::wstring& s);
// Whether the caret at s[i] reads as an escape: followed by a space or by
// one of @ to _.
bool caretEscapeAt(const std::wstring& s, size_t i);

// The text of a DXF file, one group (code and value) at a time.
class DxfText {
 public:
  void tag(int code, const std::string& value);
  void tag(int code, const char* value) { tag(code, std::string(value)); }
  void tag(int code, const std::wstring& value) { tag(code, dxfEscape(value)); }
  void tag(int code, int value) { tag(code, std::to_string(value)); }
  void tag(int code, double value) { tag(code, dxfReal(value)); }
  void handle(int code, AcDbHandle h) { tag(code, dxfHex(h)); }
  void item(const resbuf& rb);
  void point(int code, double x, double y, double z);
  const std::string& str() const { return m_out; }

 private:
  std::string m_out;
};

// One line pair of a file: a group code and its value as text.
struct DxfTag {
  int code;
  std::wstring value;
};
// Splits a file into tags. A file that does not start like a DXF is not
// one (eBadDwgHeader); a DXF that does not reach its EOF is damaged.
Acad::ErrorStatus readDxfTags(const std::string& bytes, std::vector<DxfTag>& tags);
// Turns the tags of a record into the groups a filer hands out: numbers
// parsed, the coordinates of a point joined into one group. False when a
// number does not parse.
bool toDxfGroups(const std::vector<DxfTag>& tags, size_t from, size_t to, std::vector<resbuf>& items);
bool parseDxfHandle(const std::wstring& s, AcDbHandle& h);
std::wstring trimDxf(const std::wstring& s);
// A text value with its caret and \U+XXXX escapes resolved.
std::wstring unescapeDxfText(const std::wstring& s);

// The record names of the host's own classes; a custom class goes by its
// registered DXF name and is listed in CLASSES. Null when not the host's.
const wchar_t* builtinDxfName(const AcRxClass* cls);
AcRxClass* builtinDxfClass(const std::wstring& name);

}  // namespace kvhost
