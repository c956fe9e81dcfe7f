// The DXF form's shared pieces: the text of a file as it is written, the
// tags and groups it is read as, and the record names of the host's classes.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>
#include "dbmain.h"

namespace kvhost {

std::string dxfHex(AcDbHandle h);
std::string dxfReal(double v);

// How a file's text is encoded: releases from 2007 on write UTF-8; earlier
// ones write their code page, taken here byte for byte (as Latin-1), with
// other characters as \U+XXXX escapes (\U+XXXXXXXX beyond 16 bits).
enum class DxfEncoding { kUtf8, kCodePage };
DxfEncoding dxfEncodingOf(const std::wstring& release);

// A value as one line: control characters as caret escapes; in a code page
// release, characters beyond it (and a backslash that would read as an
// escape) as \U+ escapes.
std::string dxfEscape(const std::wstring& s, DxfEncoding encoding = DxfEncoding::kUtf8);
// Whether the caret at s[i] reads as an escape: followed by a space or by
// one of @ to _.
bool caretEscapeAt(const std::wstring& s, size_t i);

// The text of a DXF file, one group (code and value) at a time.
class DxfText {
 public:
  explicit DxfText(DxfEncoding encoding = DxfEncoding::kUtf8) : m_encoding(encoding) {}
  DxfEncoding encoding() const { return m_encoding; }
  // A line as it goes to the file; its text is UTF-8 (as held).
  void tag(int code, std::string_view value);
  void tag(int code, const char* value) { tag(code, std::string_view(value)); }
  void tag(int code, const std::string& value) { tag(code, std::string_view(value)); }
  void tag(int code, const std::wstring& value);
  void tag(int code, int value);
  void tag(int code, double value);
  void handle(int code, AcDbHandle h);
  void item(const resbuf& rb);
  void point(int code, double x, double y, double z);
  // A line whose bytes are as they go to the file.
  void raw(int code, std::string_view bytes);
  // Lines as they go to the file, written before.
  void lines(std::string_view text);
  // Room for a text of this many bytes, made at once.
  void reserve(size_t bytes);
  std::string_view view() const { return std::string_view(m_text.get(), m_size); }

 private:
  // Room for n more bytes at the text's end.
  char* room(size_t n);
  // A line of a code and the value that format writes where it is given.
  template <class Format>
  void line(int code, size_t valueBytes, Format&& format);

  DxfEncoding m_encoding;
  // The text is the first m_size bytes of m_capacity; each line is written
  // in place.
  std::unique_ptr<char[]> m_text;
  size_t m_size = 0, m_capacity = 0;
};
// The lines an item is written as (a point as one line a coordinate), as
// they go to the file, each handed to take(code, bytes).
void dxfLines(const resbuf& rb, DxfEncoding encoding, const std::function<void(int, std::string_view)>& take);

// One line pair of a file: a group code and its value's bytes.
struct DxfTag {
  int code;
  std::string value;
};
// A value's text, decoded as the file's encoding says.
std::wstring decodeDxf(std::string_view bytes, DxfEncoding encoding);
// Splits a file into tags as its bytes come (binary DXF once it is whole)
// and hands each on as it is read, comments left out; refuses at once what
// cannot be a drawing, saying why: a file that does not start like a DXF
// is not one (eBadDwgHeader); a DXF holding a NUL byte, a line longer than
// any group's, anything after its EOF, or that does not reach its EOF is
// damaged (eDwgNeedsRecovery).
class DxfTagReader {
 public:
  using Sink = std::function<void(DxfTag&&)>;
  explicit DxfTagReader(Sink sink) : m_sink(std::move(sink)) {}
  // Collects the tags.
  explicit DxfTagReader(std::vector<DxfTag>& tags)
      : m_sink([&tags](DxfTag&& tag) { tags.push_back(std::move(tag)); }) {}
  // eOk while the bytes so far may be a drawing.
  Acad::ErrorStatus take(const char* bytes, size_t size);
  // After the last bytes.
  Acad::ErrorStatus finish();
  const std::string& why() const { return m_why; }
  // The file's first bytes.
  const std::string& start() const { return m_start; }

  static constexpr size_t kMaxLineBytes = 1 << 20;
  static constexpr size_t kStartBytes = 64;
  static constexpr char kBinarySentinel[] = "AutoCAD Binary DXF\r\n\x1a";  // and a NUL

 private:
  void takeLine();
  // The binary groups the bytes so far hold whole; last: no more bytes come.
  Acad::ErrorStatus takeBinary(bool last);
  // Hands a tag on, after checking the first is a section's start; false when refused.
  bool emit(int code, std::string&& value);
  Acad::ErrorStatus refuse(Acad::ErrorStatus status, const std::string& why);
  // What a fault is, by whether it is in the first group: before it, the file is no DXF.
  Acad::ErrorStatus faultStatus() const { return m_tagCount == 0 ? Acad::eBadDwgHeader : Acad::eDwgNeedsRecovery; }

  Sink m_sink;
  size_t m_tagCount = 0;
  std::string m_line, m_start, m_why, m_binaryBytes;
  size_t m_offset = 0, m_lineNumber = 1;  // of the byte and the line being read
  int m_code = 0;
  size_t m_binaryOffset = 0;  // of m_binaryBytes' first byte; 0 while it starts with the sentinel
  bool m_haveCode = false, m_sawEof = false, m_binary = false, m_wideCodes = false;
  Acad::ErrorStatus m_status = Acad::eOk;
};
Acad::ErrorStatus readDxfTags(const std::string& bytes, std::vector<DxfTag>& tags);
// Turns the tags of a record into the groups a filer hands out: numbers
// parsed, the coordinates of a point joined into one group. False when a
// number does not parse.
bool toDxfGroups(const std::vector<DxfTag>& tags, size_t from, size_t to, std::vector<resbuf>& items,
                 DxfEncoding encoding);
bool parseDxfHandle(const std::wstring& s, AcDbHandle& h);
// The same for a held group's UTF-8 text; one of hex digits only is read without a copy.
bool parseDxfHandle(std::string_view s, AcDbHandle& h);
std::wstring trimDxf(const std::wstring& s);
std::string_view trimDxf(std::string_view s);
// A text value with its caret escapes resolved, and in a code page release
// its \U+ escapes.
std::wstring unescapeDxfText(std::wstring s, DxfEncoding encoding);
// Whether a group's text as a file held it (UTF-8) reads as an item's value
// (coordinate: which of a point's).
bool heldReadsAs(std::string_view held, const resbuf& rb, int coordinate, DxfEncoding encoding);

class KeptGroups;

// Whether a header variable the file held in one group still reads as the
// value (its text read in the file's encoding).
bool heldVariableReads(const KeptGroups& held, const std::wstring& value, DxfEncoding encoding);
// A header value as a group of the code takes it; false when the group
// holds a number and the value is none.
bool headerGroup(int code, const std::wstring& value, resbuf& group);

// The comment that opens a file whose frame this writer built.
constexpr char kBuiltFrameComment[] = "999\nKOVA host drawing";

// Files an object's own groups as if it were open for read.
Acad::ErrorStatus dxfGroupsOf(AcDbObject* object, AcDbDatabase* db, std::vector<resbuf>& items);

// Writes a record a file held: its type, its handle and owner (0 keeps the
// owner it held), then its groups. The groups the file held of it stay where
// they stood; the object's own groups (items) take the places of those they
// model, and what is new of them ends its subclass. Without markers, as
// releases before 13 write records, no subclass is named.
void writeDxfRecord(DxfText& out, const std::wstring& type, AcDbHandle handle, AcDbHandle owner,
                    const KeptGroups& held, const std::vector<resbuf>& items, bool markers);
// What an object makes of the groups a file held of it, from the groups it
// wrote right after it read them (markerless: the record was read as one of
// a release that names no subclass).
void assignRoles(KeptGroups& held, const std::vector<resbuf>& items, DxfEncoding encoding, bool markerless);

// The record names of the host's own classes; a custom class goes by its
// registered DXF name and is listed in CLASSES. Null when not the host's.
const wchar_t* builtinDxfName(const AcRxClass* cls);
AcRxClass* builtinDxfClass(const std::wstring& name);
// A record as a message names it: its DXF type and its handle, with its class
// where that is not the type ("KOVA_UNDO_OBJECT 3 (KOVAUndoObject)").
std::wstring recordName(const AcDbObject* object);

}  // namespace kvhost
