// Command names, command posting, dictionaries and selection sets.
#include "KOVATools.h"
#include <cwctype>
#include <dbapserv.h>

namespace KOVAAcadSystemTools {

bool isCommand(const wchar_t* command, const wchar_t* name) {
  if (command == nullptr || name == nullptr) return false;
  for (; *command && *name; ++command, ++name)
    if (std::towupper(*command) != std::towupper(*name)) return false;
  return *command == 0 && *name == 0;
}

bool postCommandToAutoCAD(CString command, bool bExecute) {
  AcApDocument* doc = acDocManagerPtr()->curDocument();
  if (doc == nullptr) return false;
  std::wstring line = command.GetString();
  if (bExecute) line += L"\n";
  return acDocManagerPtr()->sendStringToExecute(doc, line.c_str(), true, false, false) == Acad::eOk;
}

}  // namespace KOVAAcadSystemTools

namespace KOVADatabaseTools {

int isEntryInDictionary(const wchar_t* dictionary, const wchar_t* key, AcDbObjectId& id, AcDbDatabase* db) {
  if (db == nullptr) db = acdbHostApplicationServices()->workingDatabase();
  if (db == nullptr || dictionary == nullptr || key == nullptr) return 0;
  AcDbObjectId dictId;
  {
    AcDbDictionaryPointer nod(db->namedObjectsDictionaryId(), AcDb::kForRead);
    if (!nod || nod->getAt(dictionary, dictId) != Acad::eOk) return 0;
  }
  AcDbDictionaryPointer dict(dictId, AcDb::kForRead);
  AcDbObjectId found;
  if (!dict || dict->getAt(key, found) != Acad::eOk) return 0;
  id = found;
  return 1;
}

int appendToDictionary(const wchar_t* dictionary, AcDbObject* object, AcDbObjectId& id, AcDbDatabase* db, bool bClose,
                       const wchar_t* key) {
  id.setNull();
  if (db == nullptr) db = acdbHostApplicationServices()->workingDatabase();
  if (db == nullptr || dictionary == nullptr || object == nullptr || key == nullptr) return 0;
  AcDbObjectId dictId;
  {
    AcDbDictionaryPointer nod(db->namedObjectsDictionaryId(), AcDb::kForWrite);
    if (!nod) return 0;
    if (nod->getAt(dictionary, dictId) != Acad::eOk) {
      auto* fresh = new AcDbDictionary;
      if (nod->setAt(dictionary, fresh, dictId) != Acad::eOk) {
        delete fresh;
        return 0;
      }
      fresh->close();
    }
  }
  AcDbDictionaryPointer dict(dictId, AcDb::kForWrite);
  AcDbObjectId entryId;
  if (!dict || dict->setAt(key, object, entryId) != Acad::eOk) return 0;
  id = entryId;
  if (bClose) object->close();
  return 1;
}

}  // namespace KOVADatabaseTools

namespace KOVASelectionTools {

bool enameSetToObjIds(const ads_name set, AcDbObjectIdArray& ids) {
  Adesk::Int32 length = 0;
  if (acedSSLength(set, &length) != RTNORM) return false;
  for (Adesk::Int32 i = 0; i < length; ++i) {
    ads_name ename;
    AcDbObjectId id;
    if (acedSSName(set, i, ename) == RTNORM && acdbGetObjectId(id, ename) == Acad::eOk) ids.append(id);
  }
  return true;
}

}  // namespace KOVASelectionTools
