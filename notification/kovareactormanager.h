// The registry through which client modules subscribe to host notifications.
#pragma once
#include <map>
#include <aced.h>
#include "kovaexport.h"

class KOVAEditorReactorDispathcer;
class KOVADatabaseReactorDispatcher;
class KOVADocReactorDispatcher;

// The clients of one kind by priority: ascending priority, registration
// order within one priority, each client at most once, no empty bucket.
template <class R>
class KOVAReactorRegistry {
 public:
  // Appends at the end of its priority's bucket; the caller erased it first.
  void add(R* reactor, int priority) {
    m_mapBuckets.try_emplace(priority, 0, 8).first->second.append(reactor);
    m_bFlatValid = false;
  }
  void erase(R* reactor) {
    for (auto it = m_mapBuckets.begin(); it != m_mapBuckets.end();) {
      if (!it->second.remove(reactor)) {
        ++it;
        continue;
      }
      m_bFlatValid = false;
      if (it->second.isEmpty())
        it = m_mapBuckets.erase(it);
      else
        ++it;
    }
  }
  // Empties out (keeping its storage) and appends every client in order.
  // Every notification lists, so the concatenation is kept from one change
  // of the registry to the next and copied element by element (for the few
  // clients most events have, a call to memmove costs more than the copy);
  // whenever out must grow, the buckets are walked as before.
  void list(AcArray<R*>& out) const {
    const int n = m_tabFlat.length();
    if (!m_bFlatValid || out.physicalLength() < n) return listFromBuckets(out);
    out.setLogicalLength(n);
    R** to = out.asArrayPtr();
    R* const* from = m_tabFlat.asArrayPtr();
    for (int i = 0; i < n; ++i) to[i] = from[i];
  }
  bool isEmpty() const { return m_mapBuckets.empty(); }

 private:
  // Out of line, so that the copy above stays small.
  [[gnu::noinline]] void listFromBuckets(AcArray<R*>& out) const {
    out.setLogicalLength(0);
    for (const auto& bucket : m_mapBuckets) out.append(bucket.second);
    m_tabFlat = out;
    m_bFlatValid = true;
  }

  std::map<int, AcArray<R*> > m_mapBuckets;
  mutable AcArray<R*> m_tabFlat;
  mutable bool m_bFlatValid = false;
};

class KOVA_EXPORT KOVAReactorManager {
 public:
  KOVAReactorManager();
  virtual ~KOVAReactorManager();
  // A copy would share the dispatchers it cannot own: copying is not offered.
  KOVAReactorManager(const KOVAReactorManager&) = delete;
  KOVAReactorManager& operator=(const KOVAReactorManager&) = delete;

  void addEdReactor(AcEditorReactor* reactor, int priority);
  void removeEdReactor(AcEditorReactor* reactor);
  void edReactors(AcArray<AcEditorReactor*>& out);

  void addDbReactor(AcDbDatabaseReactor* reactor, int priority);
  void removeDbReactor(AcDbDatabaseReactor* reactor);
  void dbReactors(AcArray<AcDbDatabaseReactor*>& out);

  void addDocReactor(AcApDocManagerReactor* reactor, int priority);
  void removeDocReactor(AcApDocManagerReactor* reactor);
  void docReactors(AcArray<AcApDocManagerReactor*>& out);

  bool filterReactors() { return m_bFilterReactors; }
  // A change is told to whoever listens to the hub through the trace library.
  void setFilterReactors(bool value);
  KOVADatabaseReactorDispatcher* dbReactorDispatcher() { return m_pDbDispatcher; }
  // Asks for (or withdraws) a roll-back of the running command at its end.
  bool setPostUndoOnCommandFinish(const bool& value);

  // The host's unload message detaches every dispatcher from the host and
  // its initialisation message attaches them again, so that a module that
  // stays mapped after its unload (a program links it) hears nothing until
  // it is loaded again; a dispatcher created meanwhile stays detached too.
  void attachDispatchers(bool attached);

  // The current dispatchers, for whoever checks what the hub attached.
  KOVAEditorReactorDispathcer* edReactorDispatcher() { return m_pEdDispatcher; }
  KOVADocReactorDispatcher* docReactorDispatcher() { return m_pDocDispatcher; }

 private:
  void eraseEdReactor(AcEditorReactor* reactor);
  void eraseDbReactor(AcDbDatabaseReactor* reactor);
  void eraseDocReactor(AcApDocManagerReactor* reactor);
  template <class D>
  D* hosted(D* dispatcher) const;

  KOVAReactorRegistry<AcEditorReactor> m_mapEdReactors;
  KOVAReactorRegistry<AcDbDatabaseReactor> m_mapDbReactors;
  KOVAReactorRegistry<AcApDocManagerReactor> m_mapDocReactors;
  KOVAEditorReactorDispathcer* m_pEdDispatcher;
  KOVADatabaseReactorDispatcher* m_pDbDispatcher;
  KOVADocReactorDispatcher* m_pDocDispatcher;
  bool m_bFilterReactors;
  bool m_bDetached;
};

extern KOVA_EXPORT KOVAReactorManager g_ReactorManager;
