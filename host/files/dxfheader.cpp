// What a DXF save checks of the drawing's header before it writes: that the
// file can hold every variable's value as it writes it.
#include "database/dbinternal.h"
#include "files/dxfframe.h"
#include "files/fileinternal.h"
#include "kvhost.h"

namespace kvhost {
namespace {

std::wstring variableSaying(const std::wstring& name, const std::wstring& why) {
  return L"the header variable $" + name + L" " + why;
}

}  // namespace

bool heldVariableReads(const KeptGroups& held, const std::wstring& value, DxfEncoding encoding) {
  return held.size() == 1 && unescapeDxfText(fromUtf8(std::string(held.text(0))), encoding) == value;
}

bool headerGroup(int code, const std::wstring& value, resbuf& group) {
  std::vector<resbuf> parsed;
  if (!toDxfGroups({{code, toUtf8(value)}}, 0, 1, parsed, DxfEncoding::kUtf8)) return false;
  group = std::move(parsed.front());
  return true;
}

std::wstring unfitHeaderVariable(AcDbDatabase* db) {
  const KeptFile* file = keptFile(db);
  const bool framed = keptFrame(db) == nullptr;
  const DxfEncoding encoding = file ? dxfEncodingOf(file->release()) : DxfEncoding::kUtf8;
  for (const auto& [name, value] : headerSysVars(db)) {
    int code = DxfFrame::variableCode(name);
    if (framed && !DxfFrame::isWritableName(name))
      return variableSaying(name, L"has a name a DXF file cannot hold");
    if (const KeptFile::Variable* held = file ? file->variable(name) : nullptr) {
      if (held->groups.size() != 1) {
        return variableSaying(name, L"is held in " + std::to_wstring(held->groups.size()) +
                                        L" groups, which take no value set as text");
      }
      if (heldVariableReads(held->groups, value, encoding)) continue;  // written as it was
      code = held->groups.code(0);
    }
    resbuf group;
    if (!headerGroup(code, value, group))
      return variableSaying(name, L"cannot be written as \"" + value + L"\" (its group " + std::to_wstring(code) +
                                      L" holds a number)");
  }
  return L"";
}

Acad::ErrorStatus checkHeaderFits(AcDbDatabase* db) {
  const std::wstring why = unfitHeaderVariable(db);
  return why.empty() ? Acad::eOk : refuseSave(why + L" and would be lost", Acad::eInvalidInput);
}

}  // namespace kvhost
