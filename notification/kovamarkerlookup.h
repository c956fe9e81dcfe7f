// Where a drawing keeps its undo marker.
#pragma once
#include <dbmain.h>

// The marker found last is kept with its drawing and handed out again
// while it is asked for in that drawing and is not erased: the
// phases of a command ask for it several times, and the named-object
// dictionary is walked only when the answer may have changed. It is told
// of every drawing about to be destroyed (where the undo controller
// forgets it) and of the editor dispatcher's leaving.
class KOVAMarkerLookup {
 public:
  // The entry under dictionary/entry of db's named-object dictionary;
  // false and id null when there is none.
  static bool find(const ACHAR* dictionary, const ACHAR* entry, AcDbObjectId& id, AcDbDatabase* db);
  // Ids of db (of any drawing, when db is null) are not handed out again.
  static void forget(const AcDbDatabase* db);

 private:
  static AcDbDatabase* s_pDb;
  static AcDbObjectId s_id;
};
