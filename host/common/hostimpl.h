// Host-internal pieces shared by the host's sources; never included by modules.
#pragma once
#include <algorithm>
#include <map>
#include <type_traits>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include "aced.h"
#include "dbapserv.h"
#include "kvhost.h"

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

// A reactor list that may change while it is being notified: reactors added
// meanwhile are not called for the running notification, reactors removed
// meanwhile are not called any more. Notifying allocates nothing.
template <class R>
class ReactorList {
 public:
  bool add(R* reactor) {
    if (reactor == nullptr || contains(reactor)) return false;
    m_items.push_back(reactor);
    return true;
  }
  bool remove(R* reactor) {
    for (auto it = m_items.begin(); it != m_items.end(); ++it) {
      if (*it != reactor) continue;
      if (m_nIterating > 0) {
        *it = nullptr;
        m_bHoles = true;
      } else {
        m_items.erase(it);
      }
      return true;
    }
    return false;
  }
  bool contains(const R* reactor) const {
    for (R* r : m_items)
      if (r == reactor) return true;
    return false;
  }
  AcArray<R*> live() const {
    AcArray<R*> out;
    for (R* r : m_items)
      if (r) out.append(r);
    return out;
  }
  // Calls call(reactor) for each reactor; stops early when it returns false.
  template <class F>
  void notify(F&& call) {
    Iteration scope(*this);
    const size_t n = m_items.size();
    for (size_t i = 0; i < n; ++i) {
      R* r = m_items[i];
      if (r != nullptr && !callOne(call, r)) return;
    }
  }

 private:
  template <class F>
  static bool callOne(F& call, R* r) {
    if constexpr (std::is_same_v<decltype(call(r)), bool>) {
      return call(r);
    } else {
      call(r);
      return true;
    }
  }
  struct Iteration {
    explicit Iteration(ReactorList& l) : list(l) { ++list.m_nIterating; }
    ~Iteration() {
      if (--list.m_nIterating == 0 && list.m_bHoles) {
        std::vector<R*>& v = list.m_items;
        v.erase(std::remove(v.begin(), v.end(), nullptr), v.end());
        list.m_bHoles = false;
      }
    }
    ReactorList& list;
  };
  std::vector<R*> m_items;
  int m_nIterating = 0;
  bool m_bHoles = false;
};

void journalf(const wchar_t* format, ...);
std::wstring narrow(const std::wstring& s);

// The editor's internals the other host parts use.
ReactorList<AcRxEventReactor>& editorReactorList();

// Raises a notification to the editor reactors (those that are editor reactors).
template <class F>
void notifyEditorReactors(F&& call) {
  editorReactorList().notify([&](AcRxEventReactor* r) {
    if (AcEditorReactor* ed = AcEditorReactor::cast(r)) call(ed);
  });
}
template <class F>
void notifyEventReactors(F&& call) {
  editorReactorList().notify([&](AcRxEventReactor* r) { call(r); });
}

ReactorList<AcApDocManagerReactor>& docReactorList();
ReactorList<AcDbDatabaseReactor>& dbReactorList(const AcDbDatabase* db);

// True when the document of the database (if any) is locked for writing.
bool isWriteLocked(const AcDbDatabase* db);
// Records the object's state for undo before its first change in a group.
void recordForUndo(AcDbObject* object);
void recordAppendForUndo(AcDbObject* object);
// The current document's pickfirst set is dropped of objects that go away.
void forgetPickfirstOf(AcDbDatabase* db);
// A redraw of an entity whose graphics were marked modified.
void redrawEntity(AcDbObject* object);
void forgetRedrawsOf(AcDbDatabase* db);

// Undo groups of a database: every change recorded while one is open
// belongs to it; changes made while none is open form a group each.
void beginUndoGroup(AcDbDatabase* db);
void endUndoGroup(AcDbDatabase* db);
// Restores the state before the last group; false when there is none.
bool undoLastGroup(AcDbDatabase* db);
int undoGroupCount(AcDbDatabase* db);

AcApDocument* createDocument(AcDbDatabase* db, const std::wstring& name, bool cancel);
bool isOpenDocument(const AcApDocument* doc);

// Fills an object from a record with its own filing, as if it were open
// for write, without raising the notifications of an open.
Acad::ErrorStatus restoreFromRecord(AcDbObject* object, AcDbDatabase* db, const std::vector<unsigned char>& bytes,
                                    AcDb::FilerType type);
// The same from an object's DXF groups.
Acad::ErrorStatus restoreFromGroups(AcDbObject* object, AcDbDatabase* db, const std::vector<resbuf>& items);
// The stub of a handle, made empty when the database has none yet.
AcDbStub* stubForHandle(AcDbDatabase* db, AcDbHandle handle);
void setNamedObjectsDictionary(AcDbDatabase* db, AcDbObjectId id);
void raiseHandseed(AcDbDatabase* db, AcDbHandle seed);
void setDatabaseFileName(AcDbDatabase* db, const std::wstring& name);
// The header variables in name order.
std::vector<std::pair<std::wstring, std::wstring>> headerSysVars(const AcDbDatabase* db);
// Writes a file by writing a temporary file beside it and renaming it, so
// that a failed write leaves what was there before.
Acad::ErrorStatus replaceFile(const std::wstring& fileName, const std::string& contents);
// Reads a whole regular file: eFileNotFound for anything else (a missing
// file, a directory), eFileAccessErr when reading fails.
Acad::ErrorStatus readFile(const std::wstring& fileName, std::string& contents);

// The registered class with this DXF name, or null.
AcRxClass* classByDxfName(const std::wstring& dxfName);
// Objects whose class went away become proxies, and come back with it.
void turnInstancesIntoProxies(AcRxClass* cls);
void resurrectProxies(AcRxClass* cls);
// Every database alive, in the order of construction.
const std::vector<AcDbDatabase*>& allDatabases();

}  // namespace kvhost
