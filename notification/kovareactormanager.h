// The registry through which client modules subscribe to host notifications.
#pragma once
#include <map>
#include <unordered_map>
#include <KvTrace.h>
#include <aced.h>
#include "kovaclientlist.h"
#include "kovaexport.h"

class KOVAEditorReactorDispathcer;
class KOVADatabaseReactorDispatcher;
class KOVADocReactorDispatcher;

// The clients of one kind by priority: ascending priority, registration
// order within one priority, each client at most once, no empty bucket.
// A bucket is a list threaded through the clients' places, and an index
// finds a client's place: adding, moving or removing one client is a hash
// look-up, a step in the map of priorities and a few links, however many
// clients and priorities there are.
template <class R>
class KOVAReactorRegistry {
 public:
  KOVAReactorRegistry() : m_pList(new KOVAClientList<R>) {}
  ~KOVAReactorRegistry() { m_pList->release(); }
  KOVAReactorRegistry(const KOVAReactorRegistry&) = delete;
  KOVAReactorRegistry& operator=(const KOVAReactorRegistry&) = delete;

  // Appends at the end of its priority's bucket; the caller erased it first.
  void add(R* reactor, int priority) {
    changed();
    const auto bucket = m_mapBuckets.try_emplace(priority).first;
    Place* place;
    try {
      place = &m_mapPlaces.try_emplace(reactor).first->second;
    } catch (...) {
      if (bucket->second.first == nullptr) m_mapBuckets.erase(bucket);
      throw;
    }
    Bucket& b = bucket->second;
    *place = Place{reactor, bucket, b.last, nullptr};
    (b.last ? b.last->next : b.first) = place;
    b.last = place;
  }
  void erase(R* reactor) {
    const auto found = m_mapPlaces.find(reactor);
    if (found == m_mapPlaces.end()) return;
    changed();
    const Place& place = found->second;
    Bucket& b = place.bucket->second;
    (place.prev ? place.prev->next : b.first) = place.next;
    (place.next ? place.next->prev : b.last) = place.prev;
    if (b.first == nullptr) m_mapBuckets.erase(place.bucket);
    m_mapPlaces.erase(found);
  }
  // Every client in order, held for the caller, who releases it: what every
  // notification takes, so it is kept from one change to the next.
  KOVAClientList<R>* share() {
    if (!m_bListValid) refresh();
    m_pList->hold();
    return m_pList;
  }
  // Empties out (keeping its storage) and appends every client in order.
  void list(AcArray<R*>& out) {
    if (!m_bListValid) refresh();
    out.setLogicalLength(0);
    out.append(m_pList->clients());
  }
  bool isEmpty() const { return m_mapBuckets.empty(); }

 private:
  struct Place;
  struct Bucket {
    Place* first = nullptr;
    Place* last = nullptr;
  };
  using Buckets = std::map<int, Bucket>;
  struct Place {
    R* client;
    typename Buckets::iterator bucket;
    Place* prev;
    Place* next;
  };

  // Before every change: a list that fan-outs hold stays theirs.
  void changed() {
    if (m_pList->isShared()) {
      KOVAClientList<R>* fresh = new KOVAClientList<R>;
      m_pList->release();
      m_pList = fresh;
    }
    m_bListValid = false;
  }
  // Out of line, so that share stays small. Refilled in place: nobody else
  // holds the list after a change (nor after a failed refill, which may
  // have been shared half-filled: that one is left to its holders too).
  [[gnu::noinline]] void refresh() {
    kvGuarded(L"KOVAReactorRegistry::refresh", L"kovareactormanager", __LINE__, [&] {
      changed();
      AcArray<R*>& clients = m_pList->clients();
      clients.setLogicalLength(0);
      for (const auto& bucket : m_mapBuckets)
        for (const Place* place = bucket.second.first; place != nullptr; place = place->next)
          clients.append(place->client);
      m_bListValid = true;
    });
  }

  Buckets m_mapBuckets;
  std::unordered_map<R*, Place> m_mapPlaces;
  KOVAClientList<R>* m_pList;
  bool m_bListValid = false;
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
  bool hasEdReactors() const;
  // The editor dispatcher outlives the last editor client until the ends of
  // the commands, operations and pickfirst handlings running then are
  // heard; this says they were.
  void edPhasesEnded();

  void addDbReactor(AcDbDatabaseReactor* reactor, int priority);
  void removeDbReactor(AcDbDatabaseReactor* reactor);
  void dbReactors(AcArray<AcDbDatabaseReactor*>& out);

  void addDocReactor(AcApDocManagerReactor* reactor, int priority);
  void removeDocReactor(AcApDocManagerReactor* reactor);
  void docReactors(AcArray<AcApDocManagerReactor*>& out);

  // The registries' lists as the dispatchers' snapshots share them, once
  // an event: the clients that edReactors, dbReactors and docReactors list.
  KOVAClientList<AcEditorReactor>* shareEdReactors() { return m_mapEdReactors.share(); }
  KOVAClientList<AcDbDatabaseReactor>* shareDbReactors() { return m_mapDbReactors.share(); }
  KOVAClientList<AcApDocManagerReactor>* shareDocReactors() { return m_mapDocReactors.share(); }

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
