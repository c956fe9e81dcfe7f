// What the database's own sources share: a database's state, its reactors
// and undo recording, and reading the groups of one DXF subclass.
#pragma once
#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include "database/dbinternal.h"
#include "database/stubtable.h"

namespace kvhost {

struct UndoEntry {
  AcDbStub* stub;
  bool appended;
  bool erased;
  std::vector<unsigned char> state;
};

struct UndoGroup {
  std::vector<UndoEntry> entries;
  std::set<AcDbStub*> recorded;
};

}  // namespace kvhost

// Every stub is in 'stubs' (walked in handle order, as files are written);
// stubFor adds to it, and no stub leaves before the database goes.
struct AcDbDatabase::Impl {
  kvhost::StubTable stubs;
  AcDbHandle nextHandle = 1;
  kvhost::ReactorList<AcDbDatabaseReactor> reactors;
  bool undoDisabled = false;
  bool undoing = false;
  AcDbObjectId nod;
  std::map<std::wstring, std::wstring> header;
  std::wstring fileName;
  std::unique_ptr<kvhost::KeptFile> keptFile;
  std::vector<kvhost::UndoGroup> undoGroups;
  int openGroups = 0;

  AcDbStub* stubFor(AcDbDatabase* db, AcDbHandle handle) {
    AcDbStub* stub = stubs.find(handle);
    if (stub == nullptr) stub = stubs.add(db, handle);
    nextHandle = std::max(nextHandle, handle + 1);
    return stub;
  }

  // The stub of a handle already used, or null; allocates nothing.
  AcDbStub* findStub(AcDbHandle handle) const { return stubs.find(handle); }
};

namespace kvhost {

// Every database alive, in the order of construction.
std::vector<AcDbDatabase*>& databases();

// A reactor's exception ends the notification, as it does in a host, and
// reaches the host's command loop, not the code that raised the
// notification: that code closes what it opened, the running command
// fails, and the session goes on.
template <class F>
void notifyDb(const AcDbDatabase* db, F&& call) {
  if (db == nullptr) return;
  try {
    db->impl()->reactors.notify(call);
  } catch (...) {
    clientFaulted(std::current_exception());
  }
}

// Records the object's state for undo before its first change in a group.
void recordForUndo(AcDbObject* object);
void recordAppendForUndo(AcDbObject* object);

// Reads the groups of one subclass until the next subclass marker.
template <class F>
Acad::ErrorStatus readSubclass(AcDbDxfFiler* filer, const ACHAR* subclass, F&& take, bool required = false) {
  if (!filer->atSubclassData(subclass)) {
    // A record of a class written with its markers that lacks this one is
    // damaged: what it holds there could not be kept for what it means.
    if (required) filer->setError(Acad::eInvalidDxfCode, L"\nError: a record without its %ls data", subclass);
    return filer->filerStatus();
  }
  resbuf rb;
  while (filer->readItem(&rb) == Acad::eOk) {
    if (rb.restype == AcDb::kDxfSubclass || rb.restype == 0) {
      filer->pushBackItem();
      break;
    }
    take(rb);
  }
  return filer->filerStatus();
}

}  // namespace kvhost
