// Drawing files in ASCII DXF. Every object files its own groups through a
// DXF filer; the file's frame (dxfframe.cpp) adds what a DXF reader expects
// around them. The frame is built afresh at each save and skipped when
// reading, so the database holds exactly what it held before.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <iterator>
#include "files/dxfframe.h"
#include "common/hostimpl.h"
#include "database/memfiler.h"

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

// A caret stays as it is unless what follows would make it read as an
// escape; then it goes as "^ ".
std::string dxfEscape(const std::wstring& s) {
  std::wstring out;
  for (size_t i = 0; i < s.size(); ++i) {
    wchar_t c = s[i];
    wchar_t next = i + 1 < s.size() ? s[i + 1] : 0;
    if (c == L'^' && (next == L' ' || (next >= 0x40 && next < 0x60))) {
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

}  // namespace kvhost

namespace {

std::wstring unescapeText(const std::wstring& s) {
  std::wstring out;
  for (size_t i = 0; i < s.size(); ++i) {
    wchar_t c = s[i];
    wchar_t next = i + 1 < s.size() ? s[i + 1] : 0;
    if (c == L'^' && (next == L' ' || (next >= 0x40 && next < 0x60))) {
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
  return kvhost::fromUtf8(s);
}

// ---- Writing ----

struct ClassEntry {
  std::wstring dxfName, className, appName;
  int proxyFlags = 0;
  bool wasProxy = false, isEntity = false;
  int count = 0;
};

// The record names of the host's own classes; a custom class goes by its
// registered DXF name and is listed in CLASSES.
const wchar_t* builtinName(const AcRxClass* cls) {
  if (cls == AcDbLine::desc()) return L"LINE";
  if (cls == AcDbCircle::desc()) return L"CIRCLE";
  if (cls == AcDbText::desc()) return L"TEXT";
  if (cls == AcDbDictionary::desc()) return L"DICTIONARY";
  return nullptr;
}

AcRxClass* builtinClass(const std::wstring& name) {
  if (name == L"LINE") return AcDbLine::desc();
  if (name == L"CIRCLE") return AcDbCircle::desc();
  if (name == L"TEXT") return AcDbText::desc();
  if (name == L"DICTIONARY") return AcDbDictionary::desc();
  return nullptr;
}

struct OutRecord {
  std::wstring type;
  AcDbHandle handle = 0;
  AcDbHandle owner = 0;
  bool entity = false;
  int proxyClass = -1;  // the class of a proxy's DWG record
  std::vector<resbuf> items;
};

// Files an object's own groups as if it were open for read.
Acad::ErrorStatus groupsOf(AcDbObject* object, AcDbDatabase* db, std::vector<resbuf>& items) {
  kvhost::DxfMemoryFiler filer(AcDb::kFileFiler, db);
  AcDbObject::OpenState saved = object->openState();
  object->openState().readers += 1;
  Acad::ErrorStatus es;
  try {
    es = object->dxfOutFields(&filer);
  } catch (...) {
    es = Acad::eFilerError;
  }
  object->openState() = saved;
  if (es == Acad::eOk) es = filer.filerStatus();
  items = filer.items();
  return es;
}

}  // namespace

Acad::ErrorStatus AcDbDatabase::dxfOut(const ACHAR* fileName) {
  if (fileName == nullptr || *fileName == 0) return Acad::eInvalidInput;
  AcDbObjectId nodId = namedObjectsDictionaryId();
  if (nodId.isNull() || nodId.stub()->object == nullptr || nodId.isErased()) return Acad::eNoDatabase;

  // The objects' own groups first: a failure leaves the file untouched.
  std::vector<OutRecord> entities, objects;
  std::vector<ClassEntry> classes;
  auto classIndex = [&](const ClassEntry& entry) {
    for (size_t i = 0; i < classes.size(); ++i)
      if (classes[i].dxfName == entry.dxfName) {
        // A registered class outranks a proxy's memory of one under the same
        // name: listed as the proxy's, its own objects would come back as proxies.
        if (classes[i].wasProxy && !entry.wasProxy) {
          int count = classes[i].count;
          classes[i] = entry;
          classes[i].count = count;
        }
        classes[i].count += 1;
        return i;
      }
    classes.push_back(entry);
    classes.back().count = 1;
    return classes.size() - 1;
  };
  AcDbObjectIdArray ids = objectIds();
  for (int i = 0; i < ids.length(); ++i) {
    AcDbObject* object = ids[i].stub()->object;
    OutRecord rec;
    rec.handle = ids[i].handle();
    rec.owner = object->ownerId().isNull() ? 0 : object->ownerId().handle();
    Acad::ErrorStatus es = groupsOf(object, this, rec.items);
    if (es != Acad::eOk) return es;
    if (auto* proxy = AcDbProxyObject::cast(object)) {
      kvhost::DxfProxyRecord dxf;
      if (kvhost::readDxfProxyRecord(*proxy->record(), dxf)) {
        rec.type = dxf.dxfName;
        rec.entity = dxf.isEntity;
        if (!builtinClass(dxf.dxfName))
          classIndex({dxf.dxfName, dxf.className, dxf.appName, dxf.proxyFlags, true, dxf.isEntity});
      } else {
        // A DWG record whose class is gone: the class is named so that it
        // can take its object back when it is there at reading.
        std::wstring name = proxy->originalClassName();
        rec.type = L"ACAD_PROXY_OBJECT";
        rec.proxyClass = static_cast<int>(classIndex({name, name, L"", 0, true, false}));
      }
    } else {
      AcRxClass* cls = object->isA();
      rec.entity = AcDbEntity::cast(object) != nullptr;
      if (const wchar_t* name = builtinName(cls)) {
        rec.type = name;
      } else {
        std::wstring dxfName = cls->dxfName() && *cls->dxfName() ? cls->dxfName() : cls->name();
        rec.type = dxfName;
        classIndex({dxfName, cls->name(), cls->appName(), cls->proxyFlags(), false, rec.entity});
      }
    }
    if (ids[i] == nodId)
      objects.insert(objects.begin(), std::move(rec));
    else
      (rec.entity ? entities : objects).push_back(std::move(rec));
  }
  for (OutRecord& rec : objects)
    for (resbuf& rb : rec.items)
      if (rec.proxyClass >= 0 && rb.restype == 91) rb.int32 = 500 + rec.proxyClass;

  std::set<std::wstring> layers = {L"0"};
  if (const ACHAR* current = headerSysVar(L"CLAYER")) layers.insert(current);
  for (const OutRecord& rec : entities)
    for (const resbuf& rb : rec.items)
      if (rb.restype == AcDb::kDxfLayerName && !rb.text.empty()) layers.insert(rb.text);
  std::set<std::wstring> apps = {L"ACAD"};
  for (const ClassEntry& c : classes)
    if (!c.appName.empty()) apps.insert(c.appName);

  // What the file adds takes handles above every handle of the database.
  kvhost::DxfFrame frame(nodId.handle(), handseed(), layers, apps);
  frame.addRootEntries(objects.front().items);
  std::set<std::wstring> classNames;
  for (const ClassEntry& c : classes) classNames.insert(c.dxfName);

  kvhost::DxfText out;
  out.tag(999, "KOVA host drawing");
  frame.header(out, kvhost::headerSysVars(this));
  out.tag(0, "SECTION");
  out.tag(2, "CLASSES");
  for (const ClassEntry& c : classes) {
    out.tag(0, "CLASS");
    out.tag(1, c.dxfName);
    out.tag(2, c.className);
    out.tag(3, c.appName);
    out.tag(90, c.proxyFlags);
    out.tag(91, c.count);
    out.tag(280, c.wasProxy ? 1 : 0);
    out.tag(281, c.isEntity ? 1 : 0);
  }
  frame.classes(out, classNames);
  out.tag(0, "ENDSEC");
  frame.tables(out);
  frame.blocks(out);

  auto record = [&](const OutRecord& rec, AcDbHandle owner) {
    out.tag(0, rec.type);
    out.handle(5, rec.handle);
    out.handle(330, owner);
    for (const resbuf& rb : rec.items) out.item(rb);
  };
  out.tag(0, "SECTION");
  out.tag(2, "ENTITIES");
  for (const OutRecord& rec : entities) record(rec, frame.modelSpace());
  out.tag(0, "ENDSEC");
  out.tag(0, "SECTION");
  out.tag(2, "OBJECTS");
  for (const OutRecord& rec : objects) record(rec, rec.owner);
  frame.objects(out);
  out.tag(0, "ENDSEC");
  out.tag(0, "EOF");
  const std::string& text = out.str();
  Acad::ErrorStatus es = kvhost::replaceFile(fileName, text);
  if (es == Acad::eOk) kvhost::setDatabaseFileName(this, fileName);
  return es;
}

// ---- Reading ----

namespace {

struct Tag {
  int code;
  std::wstring value;
};

struct InRecord {
  std::wstring type;
  bool entity = false;
  AcDbHandle handle = 0;
  AcDbHandle owner = 0;
  std::vector<resbuf> items;
};

bool parseHandle(const std::wstring& s, AcDbHandle& h) {
  if (s.empty() || s.size() > 16) return false;
  wchar_t* end = nullptr;
  errno = 0;
  unsigned long long v = std::wcstoull(s.c_str(), &end, 16);
  if (errno != 0 || end == s.c_str() || *end != 0 || !std::iswxdigit(s[0])) return false;
  h = v;
  return true;
}

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

std::wstring trim(const std::wstring& s) {
  size_t a = s.find_first_not_of(L" \t"), b = s.find_last_not_of(L" \t");
  return a == std::wstring::npos ? std::wstring() : s.substr(a, b - a + 1);
}

// Turns the tags of a record into the groups a filer hands out: numbers
// parsed, the coordinates of a point joined into one group.
bool toGroups(const std::vector<Tag>& tags, size_t from, size_t to, std::vector<resbuf>& items) {
  for (size_t i = from; i < to; ++i) {
    resbuf rb;
    rb.restype = static_cast<short>(tags[i].code);
    const std::wstring& v = tags[i].value;
    long long n = 0;
    switch (kvhost::dxfValueKind(tags[i].code)) {
      case kvhost::DxfValueKind::kText: rb.text = unescapeText(v); break;
      case kvhost::DxfValueKind::kHandle: rb.text = trim(v); break;
      case kvhost::DxfValueKind::kInt16:
        if (!parseInt(trim(v), n)) return false;
        rb.int32 = static_cast<Adesk::Int16>(n);
        break;
      case kvhost::DxfValueKind::kInt32:
        if (!parseInt(trim(v), n)) return false;
        rb.int32 = static_cast<Adesk::Int32>(static_cast<Adesk::UInt32>(n));
        break;
      case kvhost::DxfValueKind::kReal:
        if (!parseReal(trim(v), rb.real)) return false;
        break;
      case kvhost::DxfValueKind::kPoint: {
        int code = tags[i].code;
        double* coords[3] = {&rb.point.x, &rb.point.y, &rb.point.z};
        if (!parseReal(trim(v), *coords[0])) return false;
        for (int k = 1; k < 3 && i + 1 < to && tags[i + 1].code == code + 10 * k; ++k)
          if (!parseReal(trim(tags[++i].value), *coords[k])) return false;
        break;
      }
    }
    items.push_back(rb);
  }
  return true;
}

// Splits the file into tags. A file that does not start like a DXF is not
// one; a DXF that does not reach its EOF is damaged.
Acad::ErrorStatus readTags(const std::string& bytes, std::vector<Tag>& tags) {
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
    std::wstring codeText = trim(decodeLine(codeLine));
    bool ok = parseInt(codeText, code) && code >= 0 && code <= 1071;
    ok = ok && nextLine(valueLine);
    // Text never holds a NUL; read as a C string it would quietly cut the value short.
    ok = ok && codeLine.find('\0') == std::string::npos && valueLine.find('\0') == std::string::npos;
    if (!ok) return tags.empty() ? Acad::eBadDwgHeader : Acad::eDwgNeedsRecovery;
    if (code == 999) continue;  // a comment
    tags.push_back({static_cast<int>(code), decodeLine(valueLine)});
    if (tags.size() == 1 && (code != 0 || trim(tags[0].value) != L"SECTION")) return Acad::eBadDwgHeader;
    sawEof = code == 0 && trim(tags.back().value) == L"EOF";
  }
  if (tags.empty()) return Acad::eBadDwgHeader;
  return sawEof ? Acad::eOk : Acad::eDwgNeedsRecovery;
}

struct ClassInfo {
  std::wstring dxfName, className, appName;
  Adesk::Int32 proxyFlags = 0;
  bool isEntity = false;
};

void place(AcDbStub* stub, AcDbObject* object) {
  object->bindStub(stub);
  object->setNewObject(false);
  object->openState() = AcDbObject::OpenState();
  stub->object = object;
}

// Takes the frame's objects out of what was read: the standard entries of
// the root dictionary and the objects they own. False when the root
// dictionary itself would go with them.
bool dropFrame(std::vector<InRecord>& records, size_t& nodRecord) {
  if (records[nodRecord].type != L"DICTIONARY") return true;  // refused as a root dictionary later
  std::set<AcDbHandle> frame;
  std::vector<resbuf>& root = records[nodRecord].items;
  const AcDbHandle nod = records[nodRecord].handle;
  for (size_t i = 0; i + 1 < root.size();) {
    AcDbHandle h = 0;
    bool entry = root[i].restype == AcDb::kDxfXTextString && (root[i + 1].restype == 350 || root[i + 1].restype == 360);
    if (!entry || !kvhost::DxfFrame::isRootEntry(root[i].text)) {
      ++i;
      continue;
    }
    if (parseHandle(root[i + 1].text, h) && h != 0) frame.insert(h);
    root.erase(root.begin() + i, root.begin() + i + 2);
  }
  if (frame.empty()) return true;
  for (bool grown = true; grown;) {
    grown = false;
    for (const InRecord& rec : records)
      if (!rec.entity && rec.owner != 0 && frame.count(rec.owner) && rec.handle != 0 && frame.insert(rec.handle).second)
        grown = true;
  }
  if (frame.count(nod)) return false;
  std::vector<InRecord> kept;
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].handle != 0 && frame.count(records[i].handle)) continue;
    if (i == nodRecord) nodRecord = kept.size();
    kept.push_back(std::move(records[i]));
  }
  records = std::move(kept);
  return true;
}

}  // namespace

namespace kvhost {
Acad::ErrorStatus restoreFromGroups(AcDbObject* object, AcDbDatabase* db, const std::vector<resbuf>& items) {
  kvhost::DxfMemoryFiler filer(AcDb::kFileFiler, db, items);
  AcDbObject::OpenState saved = object->openState();
  object->openState().writer = true;
  object->openState().writeAsserted = true;
  Acad::ErrorStatus es;
  try {
    es = object->dxfInFields(&filer);
  } catch (...) {
    es = Acad::eFilerError;
  }
  object->openState() = saved;
  if (es == Acad::eOk) es = filer.filerStatus();
  return es;
}
}  // namespace kvhost

Acad::ErrorStatus AcDbDatabase::dxfIn(const ACHAR* fileName) {
  if (fileName == nullptr) return Acad::eInvalidInput;
  if (!objectIds(true).isEmpty()) return Acad::eAlreadyInDb;
  std::string bytes;
  Acad::ErrorStatus es = kvhost::readFile(fileName, bytes);
  if (es != Acad::eOk) return es;
  std::vector<Tag> tags;
  es = readTags(bytes, tags);
  if (es != Acad::eOk) return es;

  AcDbHandle seed = 0;
  std::vector<std::pair<std::wstring, std::wstring>> header;
  std::vector<ClassInfo> classes;
  std::vector<InRecord> records;
  bool haveObjects = false;
  size_t nodRecord = SIZE_MAX;

  size_t i = 0;
  auto isZero = [&](size_t at, const wchar_t* value) {
    return at < tags.size() && tags[at].code == 0 && trim(tags[at].value) == value;
  };
  while (!isZero(i, L"EOF")) {
    if (!isZero(i, L"SECTION") || i + 1 >= tags.size() || tags[i + 1].code != 2) return Acad::eDwgNeedsRecovery;
    std::wstring section = trim(tags[i + 1].value);
    size_t end = i + 2;
    while (end < tags.size() && !isZero(end, L"ENDSEC") && !isZero(end, L"EOF")) ++end;
    if (!isZero(end, L"ENDSEC")) return Acad::eDwgNeedsRecovery;
    size_t at = i + 2;
    if (section == L"HEADER") {
      while (at < end) {
        if (tags[at].code != 9) return Acad::eDwgNeedsRecovery;
        std::wstring name = trim(tags[at].value);
        size_t first = ++at;
        while (at < end && tags[at].code != 9) ++at;
        if (name == L"$HANDSEED") {
          if (at != first + 1 || !parseHandle(trim(tags[first].value), seed)) return Acad::eDwgNeedsRecovery;
        } else if (at == first + 1 && name.size() > 1 && name[0] == L'$' &&
                   !kvhost::DxfFrame::isFileVariable(name.substr(1))) {
          // Variables of one value are the host's; points and such are not kept.
          header.emplace_back(name.substr(1), unescapeText(tags[first].value));
        }
      }
    } else if (section == L"CLASSES") {
      while (at < end) {
        if (!isZero(at, L"CLASS")) return Acad::eDwgNeedsRecovery;
        size_t first = ++at;
        while (at < end && tags[at].code != 0) ++at;
        std::vector<resbuf> items;
        if (!toGroups(tags, first, at, items)) return Acad::eDwgNeedsRecovery;
        ClassInfo info;
        for (const resbuf& rb : items) {
          if (rb.restype == 1) info.dxfName = rb.text;
          if (rb.restype == 2) info.className = rb.text;
          if (rb.restype == 3) info.appName = rb.text;
          if (rb.restype == 90) info.proxyFlags = rb.int32;
          if (rb.restype == 281) info.isEntity = rb.int32 != 0;
        }
        classes.push_back(info);
      }
    } else if (section == L"ENTITIES" || section == L"OBJECTS") {
      haveObjects = haveObjects || section == L"OBJECTS";
      while (at < end) {
        if (tags[at].code != 0) return Acad::eDwgNeedsRecovery;
        InRecord rec;
        rec.type = trim(tags[at].value);
        rec.entity = section == L"ENTITIES";
        size_t first = ++at;
        while (at < end && tags[at].code != 0) ++at;
        // Before the first subclass marker: the handle, the owner and
        // application groups ({ ... } pairs of 102), which the file keeps.
        size_t body = first;
        bool inGroup = false, haveOwner = false;
        for (; body < at && tags[body].code != 100; ++body) {
          const Tag& tg = tags[body];
          if (tg.code == 102) inGroup = trim(tg.value) != L"}";
          if (tg.code == 5 && !parseHandle(trim(tg.value), rec.handle)) return Acad::eDwgNeedsRecovery;
          if (tg.code == 330 && !inGroup && !haveOwner) {
            if (!parseHandle(trim(tg.value), rec.owner)) return Acad::eDwgNeedsRecovery;
            haveOwner = true;
          }
        }
        if (!toGroups(tags, body, at, rec.items)) return Acad::eDwgNeedsRecovery;
        if (section == L"OBJECTS" && nodRecord == SIZE_MAX) nodRecord = records.size();
        records.push_back(std::move(rec));
      }
    }
    // Tables, blocks and sections of no interest are rebuilt at each save.
    i = end + 1;
  }

  if (nodRecord != SIZE_MAX && !dropFrame(records, nodRecord)) return Acad::eDwgNeedsRecovery;

  // Records without a handle (files from releases that had none) get new ones.
  AcDbHandle highest = 0;
  for (const InRecord& rec : records) highest = std::max(highest, rec.handle);
  AcDbHandle next = std::max(seed, highest + 1);
  for (InRecord& rec : records)
    if (rec.handle == 0) rec.handle = next++;
  kvhost::raiseHandseed(this, next);

  auto findClass = [&](const std::wstring& dxfName) -> const ClassInfo* {
    for (const ClassInfo& c : classes)
      if (c.dxfName == dxfName) return &c;
    return nullptr;
  };
  for (InRecord& rec : records) {
    AcDbStub* stub = kvhost::stubForHandle(this, rec.handle);
    if (stub->object != nullptr) return Acad::eDwgNeedsRecovery;  // the same handle twice
    const ClassInfo* info = findClass(rec.type);
    AcDbObject* object = nullptr;
    bool dwgProxy = rec.type == L"ACAD_PROXY_OBJECT";
    AcRxClass* reader = nullptr;
    if (dwgProxy) {
      object = new AcDbProxyObject;
    } else if (AcRxClass* cls = builtinClass(rec.type)) {
      object = AcDbObject::cast(cls->create());
    } else {
      // Records are typed by their DXF name: a class registered here under it
      // reads them also from a file that lists another class for it, or none.
      // Kept as a proxy instead, the record would share its name with the
      // class's own objects at the next save and be read by the class then.
      reader = info != nullptr ? AcRxClass::cast(acrxClassDictionary()->at(info->className.c_str())) : nullptr;
      if (reader == nullptr) reader = kvhost::classByDxfName(rec.type);
      if (reader != nullptr && reader->isDerivedFrom(AcDbObject::desc()))
        object = AcDbObject::cast(reader->create());
    }
    // An entity among the objects would be saved among the entities, owned
    // by the model space, and the other way round.
    if (object != nullptr && !dwgProxy && (AcDbEntity::cast(object) != nullptr) != rec.entity) {
      delete object;
      return Acad::eDwgNeedsRecovery;
    }
    if (object != nullptr) {
      place(stub, object);
      if (!rec.entity && rec.owner != 0) object->setOwnerId(getObjectId(rec.owner));
      es = kvhost::restoreFromGroups(object, this, rec.items);
      if (es == Acad::eOk && dwgProxy) {
        // The class of a proxy's DWG record may be here now to take it back.
        auto* proxy = static_cast<AcDbProxyObject*>(object);
        long number = -1;
        for (const resbuf& rb : rec.items)
          if (rb.restype == 91) number = rb.int32 - 500;
        if (number < 0 || static_cast<size_t>(number) >= classes.size()) return Acad::eDwgNeedsRecovery;
        proxy->record()->className = classes[number].className;
        AcRxClass* cls = AcRxClass::cast(acrxClassDictionary()->at(proxy->record()->className.c_str()));
        AcDbObject* real = cls && cls->isDerivedFrom(AcDbObject::desc()) ? AcDbObject::cast(cls->create()) : nullptr;
        if (real != nullptr) {
          std::vector<unsigned char> record = proxy->record()->bytes;
          delete proxy;
          place(stub, real);
          if (kvhost::restoreFromRecord(real, this, record, AcDb::kFileFiler) != Acad::eOk)
            return Acad::eDwgNeedsRecovery;
        }
        continue;
      }
      if (es == Acad::eOk) continue;
      stub->object = nullptr;
      delete object;
      if (es != Acad::eMakeMeProxy) return es;
    }
    // A class unknown here, or a record newer than its class: the object
    // keeps its groups until it is saved again.
    kvhost::DxfProxyRecord dxf;
    dxf.dxfName = rec.type;
    dxf.className = reader ? reader->name() : info ? info->className : rec.type;
    dxf.appName = reader ? reader->appName() : info ? info->appName : L"";
    dxf.proxyFlags = info ? info->proxyFlags : 0;
    dxf.isEntity = rec.entity;
    dxf.items = rec.items;
    auto* proxy = new AcDbProxyObject(kvhost::makeDxfProxyRecord(dxf));
    place(stub, proxy);
    if (!rec.entity && rec.owner != 0) proxy->setOwnerId(getObjectId(rec.owner));
  }

  for (auto& var : header) setHeaderSysVar(var.first.c_str(), var.second.c_str());
  if (haveObjects) {
    if (nodRecord == SIZE_MAX) return Acad::eDwgNeedsRecovery;
    AcDbObjectId nod = getObjectId(records[nodRecord].handle);
    if (!AcDbDictionary::cast(nod.stub()->object)) return Acad::eDwgNeedsRecovery;
    kvhost::setNamedObjectsDictionary(this, nod);
  } else {
    // Files from releases without objects still need a named-object dictionary.
    bool wasDisabled = !undoRecording();
    disableUndoRecording(true);
    auto* nod = new AcDbDictionary;
    AcDbObjectId nodId;
    addAcDbObject(nodId, nod);
    nod->close();
    disableUndoRecording(wasDisabled);
    kvhost::setNamedObjectsDictionary(this, nodId);
  }
  kvhost::setDatabaseFileName(this, fileName);
  return Acad::eOk;
}
