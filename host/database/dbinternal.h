// The database's internals for the host's other parts: where objects live,
// who hears of every database, undo groups, and what a drawing file reads
// and writes besides the objects' own filing.
#pragma once
#include <cstdint>
#include <exception>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include "common/reactorlist.h"
#include "dbmain.h"

namespace kvhost {

// The groups of a record as a file held them (their text as read), each
// with what its object makes of it: so that a save writes back, where it
// stood, whatever the object does not model. One that holds a record (of
// any groups, or none) has its block; a default one holds none, which a
// stub takes as: its object was not read from a file.
class KeptGroups {
 public:
  // kKept: the object does not write the group; kModelled: it writes it
  // (and writes it back as read while it is unchanged); kFiller: it writes
  // the code with a value of its own, which the file's value stands for
  // while the object still writes the value it wrote when it was read.
  enum Role : unsigned char { kKept, kModelled, kFiller };

  KeptGroups() = default;
  KeptGroups(KeptGroups&& other) noexcept { *this = std::move(other); }
  KeptGroups& operator=(KeptGroups&& other) noexcept;
  ~KeptGroups();
  // Groups kept of a record, none yet.
  static KeptGroups ofRecord();

  bool holdsRecord() const { return m_block != nullptr; }
  void add(int code, std::string_view text, Role role = kKept);
  // Room for that many more groups and bytes of their text, so that adding
  // them takes no more memory than they need.
  void reserve(size_t groups, size_t textBytes);
  size_t size() const { return room().count; }
  bool empty() const { return size() == 0; }
  int code(size_t i) const { return group(i).code; }
  Role role(size_t i) const { return group(i).role; }
  void setRole(size_t i, Role role) { groups()[i].role = role; }
  // Makes group i a filler for the object's value as it goes to the file.
  void setFiller(size_t i, const std::string& ownValue);
  // That value; null when the filler's record did not keep it.
  const std::string* fillerValue(size_t i) const;
  // Valid until the next group is added.
  std::string_view text(size_t i) const;
  // The other groups after these, all kept.
  void append(const KeptGroups& other);

 private:
  using FillerValues = std::vector<std::pair<size_t, std::string>>;  // by group, in group order
  // A drawing keeps one of these for each record a file held, so all it
  // has shares one block: the room it has, the groups (room.groups of them,
  // count used), then the text (room.text bytes), each group's ending where
  // the next one's starts.
  struct Room {
    std::uint32_t groups, text, count;
    FillerValues* fillerValues;  // owned; null while there are none
  };
  struct Group {
    short code;
    Role role;
    std::uint32_t end;  // where its text ends
  };
  Room room() const { return m_block ? *reinterpret_cast<const Room*>(m_block.get()) : Room{0, 0, 0, nullptr}; }
  Room& heldRoom() { return *reinterpret_cast<Room*>(m_block.get()); }
  Group* groups() { return reinterpret_cast<Group*>(m_block.get() + sizeof(Room)); }
  const Group& group(size_t i) const { return reinterpret_cast<const Group*>(m_block.get() + sizeof(Room))[i]; }
  char* textStart() const { return m_block.get() + sizeof(Room) + room().groups * sizeof(Group); }
  size_t textSize() const { return empty() ? 0 : group(size() - 1).end; }
  void grow(size_t groupRoom, size_t textRoom);

  std::unique_ptr<char[]> m_block;
};

}  // namespace kvhost

// Where the database keeps an object; ids point here.
struct AcDbStub {
  AcDbDatabase* db = nullptr;
  AcDbObject* object = nullptr;  // owned by the database
  AcDbHandle handle = 0;
  bool erased = false;
  bool unappended = false;  // taken back out of the database by undo
  kvhost::KeptGroups kept;  // what a file held of the object, when it was read from one

  // Those groups, or null when it was not read from a file.
  const kvhost::KeptGroups* keptGroups() const { return kept.holdsRecord() ? &kept : nullptr; }
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
Acad::ErrorStatus restoreFromRecord(AcDbObject* object, AcDbDatabase* db, const unsigned char* bytes, size_t size,
                                    AcDb::FilerType type);
// The same from an object's DXF groups; markerless for the records of
// releases before 13, which name no subclass: each subclass then reads from
// all of the record's groups.
Acad::ErrorStatus restoreFromGroups(AcDbObject* object, AcDbDatabase* db, const std::vector<resbuf>& items,
                                    bool markerless = false);
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

// What a drawing read from a file keeps of the file around its objects:
// the header with its groups, the classes, and every section's records in
// their order, so that a save writes the drawing as the file held it.
struct KeptFile {
  struct Variable {
    std::wstring name;
    KeptGroups groups;
  };
  // A record of a section: an object of the drawing by its handle, or
  // (handle 0) one that is none, such as the end of a table. Its type is
  // one of typeName's, or a literal.
  struct Item {
    AcDbHandle handle = 0;
    std::wstring_view type;
    KeptGroups groups;
  };
  struct Section {
    std::wstring name;
    std::vector<Item> items;
  };
  std::vector<Variable> header;
  std::vector<KeptGroups> classes;
  std::vector<Section> sections;

  const Variable* variable(const std::wstring& name) const;
  // The type as the items hold it: each type once for the whole file, as a
  // drawing has a million records of a few types.
  std::wstring_view typeName(const std::wstring& type) { return *typeNames.insert(type).first; }
  std::set<std::wstring> typeNames;
  // The release the file was written for ($ACADVER), as "AC1009".
  std::wstring release() const;
};
// What a drawing keeps of the file it was read from; a file read without
// tables keeps only its header (no classes, no sections), and a save builds
// the frame around its records as for a new drawing.
KeptFile* keptFile(const AcDbDatabase* db);
// The file when the drawing keeps it whole, tables and all; null when a
// save builds the frame.
KeptFile* keptFrame(const AcDbDatabase* db);
void setKeptFile(AcDbDatabase* db, std::unique_ptr<KeptFile> file);

// The stub of a handle, made empty when the database has none yet.
AcDbStub* stubForHandle(AcDbDatabase* db, AcDbHandle handle);
void setNamedObjectsDictionary(AcDbDatabase* db, AcDbObjectId id);
void raiseHandseed(AcDbDatabase* db, AcDbHandle seed);
void setDatabaseFileName(AcDbDatabase* db, const std::wstring& name);
// The header variables in name order.
std::vector<std::pair<std::wstring, std::wstring>> headerSysVars(const AcDbDatabase* db);

}  // namespace kvhost
