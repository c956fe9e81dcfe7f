// Undo groups: the state of each object before its first change in a group,
// and the appends, so that a group can be taken back as a whole.
#include "database/dbimpl.h"
#include "database/memfiler.h"

namespace kvhost {
namespace {

UndoGroup* recordingGroup(AcDbDatabase* db) {
  AcDbDatabase::Impl& d = *db->impl();
  if (d.undoDisabled || d.undoing) return nullptr;
  if (d.openGroups == 0 || d.undoGroups.empty()) d.undoGroups.emplace_back();
  return &d.undoGroups.back();
}

}  // namespace

void recordForUndo(AcDbObject* object) {
  AcDbDatabase* db = object->database();
  if (db == nullptr || object->isNewObject() || AcDbProxyObject::cast(object)) return;
  UndoGroup* group = recordingGroup(db);
  if (group == nullptr || !group->recorded.insert(object->stub()).second) return;
  DwgMemoryFiler filer(AcDb::kUndoFiler, db);
  object->dwgOutFields(&filer);
  group->entries.push_back({object->stub(), false, object->stub()->erased, filer.bytes()});
}

void recordAppendForUndo(AcDbObject* object) {
  UndoGroup* group = recordingGroup(object->database());
  if (group == nullptr) return;
  group->recorded.insert(object->stub());
  group->entries.push_back({object->stub(), true, false, {}});
}

void beginUndoGroup(AcDbDatabase* db) {
  AcDbDatabase::Impl& d = *db->impl();
  // The group is opened even while recording is off: recording may be
  // turned on within it, and what is then recorded belongs to this group.
  if (d.openGroups++ == 0) d.undoGroups.emplace_back();
}

void endUndoGroup(AcDbDatabase* db) {
  AcDbDatabase::Impl& d = *db->impl();
  if (d.openGroups == 0) return;
  if (--d.openGroups == 0 && !d.undoGroups.empty() && d.undoGroups.back().entries.empty()) d.undoGroups.pop_back();
}

int undoGroupCount(AcDbDatabase* db) { return static_cast<int>(db->impl()->undoGroups.size()); }

bool undoLastGroup(AcDbDatabase* db) {
  AcDbDatabase::Impl& d = *db->impl();
  if (d.undoGroups.empty()) return false;
  UndoGroup group = std::move(d.undoGroups.back());
  d.undoGroups.pop_back();
  struct Undoing {
    bool& flag;
    explicit Undoing(bool& f) : flag(f) { flag = true; }
    ~Undoing() { flag = false; }
  } undoing(d.undoing);
  for (auto it = group.entries.rbegin(); it != group.entries.rend(); ++it) {
    AcDbStub* stub = it->stub;
    AcDbObject* object = stub->object;
    if (object == nullptr) continue;
    if (it->appended) {
      stub->erased = true;
      stub->unappended = true;
      notifyDb(db, [&](AcDbDatabaseReactor* r) { r->objectUnAppended(db, object); });
      continue;
    }
    if (AcDbProxyObject::cast(object)) continue;
    bool wasErased = stub->erased;
    restoreFromRecord(object, db, it->state, AcDb::kUndoFiler);
    stub->erased = it->erased;
    notifyDb(db, [&](AcDbDatabaseReactor* r) { r->objectModified(db, object); });
    if (wasErased != stub->erased)
      notifyDb(db, [&](AcDbDatabaseReactor* r) { r->objectErased(db, object, stub->erased); });
  }
  return true;
}

}  // namespace kvhost
