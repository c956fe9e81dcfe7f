// Selection sets and the pickfirst selection of each document.
#include <map>
#include "database/dbinternal.h"
#include "editor/edinternal.h"
#include "kvhost.h"

namespace {

struct Selections {
  std::map<Adesk::Int64, AcDbObjectIdArray> sets;
  Adesk::Int64 nextName = 1;
  std::map<const AcDbDatabase*, AcDbObjectIdArray> pickfirst;  // by the document's database
};

Selections& selections() {
  static Selections* s = new Selections;
  return *s;
}

AcDbObjectIdArray* currentPickfirst() {
  AcApDocument* doc = acDocManagerPtr()->curDocument();
  return doc ? &selections().pickfirst[doc->database()] : nullptr;
}

// A database that goes takes its objects out of every selection.
class SelectionWatcher : public kvhost::DatabaseWatcher {
 public:
  void goodbye(AcDbDatabase* db) override {
    Selections& s = selections();
    s.pickfirst.erase(db);
    for (auto& set : s.sets) {
      AcDbObjectIdArray& ids = set.second;
      for (int i = ids.length() - 1; i >= 0; --i)
        if (ids[i].database() == db) ids.removeAt(i);
    }
  }
};

// Attached as the host is loaded.
[[maybe_unused]] const bool kSelectionWatcherAttached = kvhost::databaseWatchers().add(new SelectionWatcher);

}  // namespace

int acedSSGet(const ACHAR* str, const void*, const void*, const resbuf*, ads_name ss) {
  ss[0] = ss[1] = 0;
  if (str == nullptr || (std::wstring(str) != L"_I" && std::wstring(str) != L"I")) return RTERROR;
  AcDbObjectIdArray* first = currentPickfirst();
  if (first == nullptr || first->isEmpty()) return RTERROR;
  Selections& s = selections();
  ss[0] = s.nextName++;
  s.sets[ss[0]] = *first;
  return RTNORM;
}

int acedSSFree(const ads_name sname) { return selections().sets.erase(sname[0]) ? RTNORM : RTERROR; }

int acedSSLength(const ads_name sname, Adesk::Int32* len) {
  auto it = selections().sets.find(sname[0]);
  if (it == selections().sets.end()) return RTERROR;
  *len = it->second.length();
  return RTNORM;
}

int acedSSName(const ads_name ss, Adesk::Int32 i, ads_name entres) {
  auto it = selections().sets.find(ss[0]);
  if (it == selections().sets.end() || i < 0 || i >= it->second.length()) return RTERROR;
  entres[0] = it->second[i].asOldId();
  entres[1] = 0;
  return RTNORM;
}

Acad::ErrorStatus acdbGetObjectId(AcDbObjectId& objId, const ads_name objName) {
  objId = AcDbObjectId(reinterpret_cast<AcDbStub*>(objName[0]));
  return objId.isNull() ? Acad::eNullObjectId : Acad::eOk;
}

Acad::ErrorStatus acdbGetAdsName(ads_name& objName, AcDbObjectId objId) {
  objName[0] = objId.asOldId();
  objName[1] = 0;
  return objId.isNull() ? Acad::eNullObjectId : Acad::eOk;
}

int acedSSSetFirst(const ads_name pset, const ads_name) {
  AcDbObjectIdArray ids;
  if (pset != nullptr && pset[0] != 0) {
    auto it = selections().sets.find(pset[0]);
    if (it == selections().sets.end()) return RTERROR;
    ids = it->second;
  }
  kvhost::setPickfirst(ids);
  return RTNORM;
}

namespace kvhost {

void setPickfirst(const AcDbObjectIdArray& ids) {
  AcDbObjectIdArray* first = currentPickfirst();
  if (first == nullptr) return;
  *first = ids;
  notifyEditorReactors([](AcEditorReactor* r) { r->pickfirstModified(); });
}

AcDbObjectIdArray pickfirst() {
  AcDbObjectIdArray* first = currentPickfirst();
  return first ? *first : AcDbObjectIdArray();
}

int openSelectionSetCount() { return static_cast<int>(selections().sets.size()); }

}  // namespace kvhost
