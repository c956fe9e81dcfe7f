// The frame of a DXF file: everything a release AC1024 file holds that the
// host's drawings do not keep as objects of their own.
#include "files/dxfframe.h"
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

namespace kvhost {
namespace {

const char kVersion[] = "AC1024";  // the release the hub runs in writes this

// Entries that every drawing's root dictionary holds, with their members.
const wchar_t* const kRootKeys[] = {L"ACAD_COLOR",       L"ACAD_GROUP",         L"ACAD_LAYOUT",    L"ACAD_MATERIAL",
                                    L"ACAD_MLEADERSTYLE", L"ACAD_MLINESTYLE",    L"ACAD_PLOTSETTINGS",
                                    L"ACAD_PLOTSTYLENAME", L"ACAD_SCALELIST",    L"ACAD_TABLESTYLE",
                                    L"ACAD_VISUALSTYLE"};

std::vector<const wchar_t*> membersOf(const std::wstring& key) {
  if (key == L"ACAD_LAYOUT") return {L"Model", L"Layout1"};
  if (key == L"ACAD_MATERIAL") return {L"ByBlock", L"ByLayer", L"Global"};
  if (key == L"ACAD_MLEADERSTYLE" || key == L"ACAD_MLINESTYLE") return {L"Standard"};
  if (key == L"ACAD_PLOTSTYLENAME") return {L"Normal"};
  return {};
}

// Variables a file states about itself; the drawing does not keep them.
const wchar_t* const kFileVariables[] = {L"ACADVER",  L"ACADMAINTVER",    L"DWGCODEPAGE", L"HANDSEED",
                                         L"TDCREATE", L"TDUPDATE",        L"FINGERPRINTGUID",
                                         L"VERSIONGUID"};

// Variables of the drawing that readers expect with their own group code.
struct TypedVariable {
  const wchar_t* name;
  int code;
  const wchar_t* fallback;
};
const TypedVariable kTypedVariables[] = {{L"CLAYER", 8, L"0"}, {L"INSUNITS", 70, L"0"}};

std::string guid(std::mt19937_64& random) {
  unsigned long long a = random(), b = random();
  char buf[48];
  std::snprintf(buf, sizeof buf, "{%08llX-%04llX-%04llX-%04llX-%012llX}", a >> 32, (a >> 16) & 0xFFFF, a & 0xFFFF,
                b >> 48, b & 0xFFFFFFFFFFFFULL);
  return buf;
}

void object(DxfText& out, const char* type, AcDbHandle handle, AcDbHandle owner) {
  out.tag(0, type);
  out.handle(5, handle);
  out.handle(330, owner);
}

}  // namespace

DxfFrame::DxfFrame(AcDbHandle nod, AcDbHandle firstFree, const std::set<std::wstring>& layers,
                   const std::set<std::wstring>& apps)
    : m_nod(nod), m_next(firstFree) {
  m_vportTable = take();
  m_vport = take();
  m_ltypeTable = take();
  for (const wchar_t* name : {L"ByBlock", L"ByLayer", L"Continuous"}) m_ltypes.push_back({name, take()});
  m_layerTable = take();
  for (const std::wstring& name : layerNames(layers)) m_layers.push_back({name, take()});
  m_styleTable = take();
  m_style = take();
  m_viewTable = take();
  m_ucsTable = take();
  m_appTable = take();
  std::set<std::wstring> allApps = apps;
  allApps.insert(L"ACAD");
  for (const std::wstring& name : allApps) m_apps.push_back({name, take()});
  m_dimTable = take();
  m_dimStyle = take();
  m_blockTable = take();
  m_modelSpace = take();
  m_paperSpace = take();
  for (int i = 0; i < 4; ++i) m_blockEntities.push_back({L"", take()});  // BLOCK and ENDBLK of each space
  for (const wchar_t* key : kRootKeys) {
    RootEntry entry{key, take(), {}, false};
    for (const wchar_t* name : membersOf(key)) entry.members.push_back({name, take()});
    m_root.push_back(entry);
  }
  m_placeholder = root(L"ACAD_PLOTSTYLENAME").members.front().handle;
}

const DxfFrame::RootEntry& DxfFrame::root(const wchar_t* key) const {
  for (const RootEntry& entry : m_root)
    if (std::wcscmp(entry.key, key) == 0) return entry;
  return m_root.front();
}

std::set<std::wstring> DxfFrame::layerNames(const std::set<std::wstring>& used) {
  std::set<std::wstring> names = used;
  names.insert(L"0");
  names.insert(L"Defpoints");  // where dimensions put their points; readers add it when it is missing
  return names;
}

bool DxfFrame::isRootEntry(const std::wstring& key) {
  for (const wchar_t* k : kRootKeys)
    if (key == k) return true;
  return false;
}

int DxfFrame::variableCode(const std::wstring& name) {
  for (const TypedVariable& typed : kTypedVariables)
    if (name == typed.name) return typed.code;
  return 1;
}

bool DxfFrame::isWritableName(const std::wstring& name) {
  bool clean = !name.empty();
  for (wchar_t c : name) clean = clean && c > L' ' && c != L'$';
  return clean;
}

bool DxfFrame::isFileVariable(const std::wstring& name) {
  for (const wchar_t* v : kFileVariables)
    if (name == v) return true;
  return false;
}

void DxfFrame::fileVariables(DxfText& out) const {
  using namespace std::chrono;
  double days = duration<double>(system_clock::now().time_since_epoch()).count() / 86400.0;
  std::mt19937_64 random(std::random_device{}() ^ static_cast<unsigned long long>(days * 1e9));
  out.tag(9, "$ACADVER");
  out.tag(1, kVersion);
  out.tag(9, "$ACADMAINTVER");
  out.tag(70, 6);
  out.tag(9, "$DWGCODEPAGE");
  out.tag(3, "ANSI_1252");
  out.tag(9, "$HANDSEED");
  out.handle(5, m_next);
  for (const char* name : {"$TDCREATE", "$TDUPDATE"}) {
    out.tag(9, name);
    out.tag(40, days + 2440587.5);  // as a Julian date
  }
  for (const char* name : {"$FINGERPRINTGUID", "$VERSIONGUID"}) {
    out.tag(9, name);
    out.tag(2, guid(random));
  }
}

void DxfFrame::requiredVariables(DxfText& out, const std::set<std::wstring>& written) {
  for (const TypedVariable& var : kTypedVariables) {
    if (written.count(var.name)) continue;
    out.tag(9, L"$" + std::wstring(var.name));
    out.tag(var.code, var.fallback);
  }
}

void DxfFrame::classes(DxfText& out, const std::set<std::wstring>& taken) const {
  struct Class {
    const char *dxfName, *className;
    int flags;
  };
  static const Class kClasses[] = {{"ACDBDICTIONARYWDFLT", "AcDbDictionaryWithDefault", 0},
                                   {"ACDBPLACEHOLDER", "AcDbPlaceHolder", 0},
                                   {"LAYOUT", "AcDbLayout", 0},
                                   {"MATERIAL", "AcDbMaterial", 1153},
                                   {"MLEADERSTYLE", "AcDbMLeaderStyle", 4095}};
  for (const Class& c : kClasses) {
    if (taken.count(std::wstring(c.dxfName, c.dxfName + std::strlen(c.dxfName)))) continue;
    out.tag(0, "CLASS");
    out.tag(1, c.dxfName);
    out.tag(2, c.className);
    out.tag(3, "ObjectDBX Classes");
    out.tag(90, c.flags);
    out.tag(91, 0);
    out.tag(280, 0);
    out.tag(281, 0);
  }
}

void DxfFrame::blocks(DxfText& out) const {
  out.tag(0, "SECTION");
  out.tag(2, "BLOCKS");
  for (int i = 0; i < 2; ++i) {
    AcDbHandle space = i == 0 ? m_modelSpace : m_paperSpace;
    const char* name = i == 0 ? "*Model_Space" : "*Paper_Space";
    for (const char* type : {"BLOCK", "ENDBLK"}) {
      bool begin = std::strcmp(type, "BLOCK") == 0;
      object(out, type, m_blockEntities[2 * i + (begin ? 0 : 1)].handle, space);
      out.tag(100, "AcDbEntity");
      if (i == 1) out.tag(67, 1);
      out.tag(8, "0");
      out.tag(100, begin ? "AcDbBlockBegin" : "AcDbBlockEnd");
      if (!begin) continue;
      out.tag(2, name);
      out.tag(70, 0);
      out.point(10, 0, 0, 0);
      out.tag(3, name);
      out.tag(1, "");
    }
  }
  out.tag(0, "ENDSEC");
}

void DxfFrame::addRootEntries(std::vector<resbuf>& rootGroups) {
  std::set<std::wstring> held;
  for (const resbuf& rb : rootGroups)
    if (rb.restype == AcDb::kDxfXTextString) held.insert(rb.text);
  for (RootEntry& entry : m_root) {
    // An entry the drawing holds itself under the same name is the drawing's.
    entry.added = held.count(entry.key) == 0;
    if (!entry.added) continue;
    resbuf key, value;
    key.restype = AcDb::kDxfXTextString;
    key.text = entry.key;
    value.restype = 350;
    std::string hex = dxfHex(entry.handle);
    value.text.assign(hex.begin(), hex.end());
    rootGroups.push_back(key);
    rootGroups.push_back(value);
  }
}

void DxfFrame::objects(DxfText& out) const {
  for (const RootEntry& entry : m_root) {
    if (!entry.added) continue;
    bool withDefault = std::wcscmp(entry.key, L"ACAD_PLOTSTYLENAME") == 0;
    object(out, withDefault ? "ACDBDICTIONARYWDFLT" : "DICTIONARY", entry.handle, m_nod);
    out.tag(100, "AcDbDictionary");
    out.tag(281, 1);
    for (const Record& rec : entry.members) {
      out.tag(3, rec.name);
      out.handle(350, rec.handle);
    }
    if (withDefault) {
      out.tag(100, "AcDbDictionaryWithDefault");
      out.handle(340, m_placeholder);
    }
    for (const Record& rec : entry.members) member(out, entry, rec);
  }
}

void DxfFrame::member(DxfText& out, const RootEntry& entry, const Record& rec) const {
  const std::wstring key = entry.key;
  if (key == L"ACAD_LAYOUT") return layout(out, entry, rec);
  if (key == L"ACAD_PLOTSTYLENAME") return object(out, "ACDBPLACEHOLDER", rec.handle, entry.handle);
  if (key == L"ACAD_MATERIAL") {
    object(out, "MATERIAL", rec.handle, entry.handle);
    out.tag(100, "AcDbMaterial");
    out.tag(1, rec.name);
    out.tag(94, 63);
    return;
  }
  if (key == L"ACAD_MLINESTYLE") {
    object(out, "MLINESTYLE", rec.handle, entry.handle);
    out.tag(100, "AcDbMlineStyle");
    out.tag(2, rec.name);
    out.tag(70, 0);
    out.tag(3, "");
    out.tag(62, 256);
    out.tag(51, 90.0);
    out.tag(52, 90.0);
    out.tag(71, 2);
    for (double offset : {0.5, -0.5}) {
      out.tag(49, offset);
      out.tag(62, 256);
      out.tag(6, "BYLAYER");
    }
    return;
  }
  object(out, "MLEADERSTYLE", rec.handle, entry.handle);
  out.tag(100, "AcDbMLeaderStyle");
  out.tag(3, "");
}

void DxfFrame::layout(DxfText& out, const RootEntry& entry, const Record& rec) const {
  bool model = rec.name == L"Model";
  object(out, "LAYOUT", rec.handle, entry.handle);
  out.tag(100, "AcDbPlotSettings");
  out.tag(1, "");
  out.tag(2, "none_device");
  out.tag(4, "");
  out.tag(6, "");
  for (int code = 40; code <= 49; ++code) out.tag(code, 0.0);
  out.tag(140, 0.0);
  out.tag(141, 0.0);
  out.tag(142, 1.0);
  out.tag(143, 1.0);
  out.tag(70, model ? 1712 : 688);
  out.tag(72, 0);
  out.tag(73, 0);
  out.tag(74, 5);
  out.tag(7, "");
  out.tag(75, 16);
  out.tag(76, 0);
  out.tag(77, 2);
  out.tag(78, 300);
  out.tag(147, 1.0);
  out.tag(148, 0.0);
  out.tag(149, 0.0);
  out.tag(100, "AcDbLayout");
  out.tag(1, rec.name);
  out.tag(70, 1);
  out.tag(71, model ? 0 : 1);
  out.point(10, 0, 0, 0);
  out.point(11, 12, 9, 0);
  out.point(12, 0, 0, 0);
  out.point(14, 1e20, 1e20, 1e20);
  out.point(15, -1e20, -1e20, -1e20);
  out.tag(146, 0.0);
  out.point(13, 0, 0, 0);
  out.point(16, 1, 0, 0);
  out.point(17, 0, 1, 0);
  out.tag(76, 0);
  out.handle(330, model ? m_modelSpace : m_paperSpace);
}

}  // namespace kvhost
