// The database's internals for the host's other parts: where objects live,
// who hears of every database, undo groups, and what a drawing file reads
// and writes besides the objects' own filing.
#pragma once
#include <exception>
#include <string>
#include <utility>
#include <vector>
#include "common/reactorlist.h"
#include "dbmain.h"

// Where the database keeps an object; ids point here.
struct AcDbStub {
  AcDbDatabase* db = nullptr;
  AcDbObject* object = nullptr;  // owned by the database
  AcDbHandle handle = 0;
  bool erased = false;
  bool unappended = false;  // taken back out of the database by undo
};

struct AcDbProxyObject::Record {
  std::wstring className;
  std::vector<unsigned char> bytes;
};

namespace kvhost {

ReactorList<AcDbDatabaseReactor>& databaseReactors(const AcDbDatabase* db);
bool isAlive(const AcDbDatabase* db);

// An exception a database reactor threw: journaled, and kept until the
// running command's body returns, which then fails.
void clientFaulted(std::exception_ptr fault);
// Whether one was kept, and what is kept from now on.
bool exchangeClientFault(bool faulted);

// Hears of every database for the whole process, as a host's editor and
// display do: its construction and end, and the entities whose graphics
// changed. The other parts attach theirs when the host is loaded.
class DatabaseWatcher {
 public:
  virtual ~DatabaseWatcher() = default;
  virtual void databaseConstructed(AcDbDatabase*) {}
  virtual void databaseToBeDestroyed(AcDbDatabase*) {}
  // After the database's own reactors heard their goodbye.
  virtual void goodbye(AcDbDatabase*) {}
  virtual void graphicsModified(AcDbObject*) {}
};
ReactorList<DatabaseWatcher>& databaseWatchers();

// The one question the database puts to the host application by name, as a
// host's database does: whether the document of a database (if it has one)
// is locked for writing. The document manager answers it.
bool isWriteLocked(const AcDbDatabase* db);

// Undo groups of a database: every change recorded while one is open
// belongs to it; changes made while none is open form a group each.
void beginUndoGroup(AcDbDatabase* db);
void endUndoGroup(AcDbDatabase* db);
// Restores the state before the last group; false when there is none.
bool undoLastGroup(AcDbDatabase* db);
int undoGroupCount(AcDbDatabase* db);

// Fills an object from a record with its own filing, as if it were open
// for write, without raising the notifications of an open.
Acad::ErrorStatus restoreFromRecord(AcDbObject* object, AcDbDatabase* db, const std::vector<unsigned char>& bytes,
                                    AcDb::FilerType type);
// The same from an object's DXF groups.
Acad::ErrorStatus restoreFromGroups(AcDbObject* object, AcDbDatabase* db, const std::vector<resbuf>& items);
// Puts an object read from a file where the stub says, closed.
void placeObject(AcDbStub* stub, AcDbObject* object);

// An object of a class unknown when its DXF was read keeps its DXF groups
// instead of a DWG record. Its proxy's class name carries a tag, so the
// class's DWG filing is never handed these bytes.
struct DxfProxyRecord {
  std::wstring dxfName, className, appName;
  Adesk::Int32 proxyFlags = 0;
  bool isEntity = false;
  std::vector<resbuf> items;  // the groups after the handle and the owner
};
AcDbProxyObject::Record* makeDxfProxyRecord(const DxfProxyRecord& data);
// False when the proxy record holds a DWG record.
bool readDxfProxyRecord(const AcDbProxyObject::Record& record, DxfProxyRecord& data);

// The stub of a handle, made empty when the database has none yet.
AcDbStub* stubForHandle(AcDbDatabase* db, AcDbHandle handle);
void setNamedObjectsDictionary(AcDbDatabase* db, AcDbObjectId id);
void raiseHandseed(AcDbDatabase* db, AcDbHandle seed);
void setDatabaseFileName(AcDbDatabase* db, const std::wstring& name);
// The header variables in name order.
std::vector<std::pair<std::wstring, std::wstring>> headerSysVars(const AcDbDatabase* db);

}  // namespace kvhost
