// The undo marker's place, kept between the phases of a command.
#include "kovamarkerlookup.h"
#include <KOVATools.h>

AcDbDatabase* KOVAMarkerLookup::s_pDb = nullptr;
AcDbObjectId KOVAMarkerLookup::s_id;

bool KOVAMarkerLookup::find(const ACHAR* dictionary, const ACHAR* entry, AcDbObjectId& id, AcDbDatabase* db) {
  // An undone creation erases the marker: then the dictionary says whether
  // there is another.
  if (db != nullptr && db == s_pDb && !s_id.isErased()) {
    id = s_id;
    return true;
  }
  id.setNull();
  forget(nullptr);
  if (db == nullptr || KOVADatabaseTools::isEntryInDictionary(dictionary, entry, id, db) == 0) return false;
  s_pDb = db;
  s_id = id;
  return true;
}

void KOVAMarkerLookup::forget(const AcDbDatabase* db) {
  if (db != nullptr && db != s_pDb) return;
  s_pDb = nullptr;
  s_id.setNull();
}
