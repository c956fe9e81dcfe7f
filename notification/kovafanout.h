// The fan-out of one host notification to the registered clients, shared by
// the three dispatchers, and how a dispatcher outlives its own retirement
// while one of its notifications still runs.
//
// Re-entrancy, as clients see it: a notification works on the clients that
// were registered when it arrived. A client registered meanwhile misses it;
// one removed meanwhile still gets it; one destroyed meanwhile is never
// called again; a notification raised from inside another runs a complete
// fan-out of its own; a dispatcher retired meanwhile lives on until its
// running notifications have returned.
#pragma once
#include <memory>
#include <vector>
#include <acarray.h>
#include "kovaclientlist.h"
#include "kovafanouttrace.h"

// Arrays kept from one notification to the next, one per nesting depth: a
// notification takes the array of its depth, so once every depth has been
// seen, taking one allocates nothing.
template <class T>
class KOVAArrayPool {
 public:
  AcArray<T>& acquire() {
    if (m_nDepth == m_tabLevels.size()) m_tabLevels.push_back(std::make_unique<AcArray<T> >(0, 8));
    return *m_tabLevels[m_nDepth++];
  }
  void release() { --m_nDepth; }

 private:
  std::vector<std::unique_ptr<AcArray<T> > > m_tabLevels;
  size_t m_nDepth = 0;
};

// The array of one depth of a pool, taken for a scope and given back on
// every way out of it.
template <class T>
class KOVAPooledArray {
 public:
  explicit KOVAPooledArray(KOVAArrayPool<T>& pool) : m_pool(pool), m_array(pool.acquire()) {}
  ~KOVAPooledArray() { m_pool.release(); }
  KOVAPooledArray(const KOVAPooledArray&) = delete;
  KOVAPooledArray& operator=(const KOVAPooledArray&) = delete;
  AcArray<T>& array() const { return m_array; }

 private:
  KOVAArrayPool<T>& m_pool;
  AcArray<T>& m_array;
};

template <class R>
class KOVASnapshot;

// The snapshots of one kind of client that running notifications hold,
// innermost first.
template <class R>
class KOVARunningSnapshots {
 public:
  // A client that is being destroyed is struck from every running fan-out,
  // so that none of them calls it afterwards.
  void forget(const R* client) {
    for (KOVASnapshot<R>* s = m_pInnermost; s != nullptr; s = s->m_pOuter) s->forget(client);
  }

 private:
  friend class KOVASnapshot<R>;
  KOVASnapshot<R>* m_pInnermost = nullptr;
};

// One notification's snapshot of the registry, taken when it arrives: the
// registry's list of clients, held for the notification's lifetime (a
// change of the registry meanwhile makes the registry a new list).
template <class R>
class KOVASnapshot {
 public:
  template <class Share>
  KOVASnapshot(KOVARunningSnapshots<R>& running, Share share)
      : m_running(running), m_pList(share()), m_pOuter(running.m_pInnermost) {
    running.m_pInnermost = this;
  }
  ~KOVASnapshot() {
    m_running.m_pInnermost = m_pOuter;
    m_pList->release();
  }
  KOVASnapshot(const KOVASnapshot&) = delete;
  KOVASnapshot& operator=(const KOVASnapshot&) = delete;

  int length() const { return m_pList->clients().length(); }
  // A held list never grows, so its storage stays where it is for the
  // whole fan-out; the entries are read at every step: a client destroyed
  // meanwhile reads as null.
  R* const* clients() const { return m_pList->clients().asArrayPtr(); }

 private:
  friend class KOVARunningSnapshots<R>;
  void forget(const R* client) {
    AcArray<R*>& clients = m_pList->clients();
    for (int i = 0; i < clients.length(); ++i)
      if (clients[i] == client) clients[i] = nullptr;
  }

  KOVARunningSnapshots<R>& m_running;
  KOVAClientList<R>* m_pList;
  KOVASnapshot* m_pOuter;
};

// Serves the clients of a snapshot in registry order: each one that
// pick(client) gives a target for (null skips it) gets call(target); after
// each call, stop(client) may end the fan-out, given the client as the
// snapshot holds it then (null when the call destroyed it). Whether stop
// ended it.
template <bool Heard, class R, class Pick, class Call, class Stop>
bool kovaServe(const KOVASnapshot<R>& snapshot, const char* name, Pick& pick, Call& call, Stop& stop) {
  typename KOVAFanOutSlices<Heard>::FanOut fanOut(name);
  R* const* clients = snapshot.clients();
  const int n = snapshot.length();
  for (int i = 0; i < n; ++i) {
    auto* target = pick(clients[i]);
    if (target == nullptr) continue;
    {
      typename KOVAFanOutSlices<Heard>::ClientCall clientCall(name, target);
      call(target);
    }
    if (stop(clients[i])) return true;
  }
  return false;
}

// The fan-out while a slice listener is set. Out of line, so that the
// common fan-out stays small; it takes the call by value, so that the
// common loop keeps the call's arguments in registers instead of reloading
// them after every client.
template <class R, class Pick, class Call, class Stop>
[[gnu::noinline]] bool kovaServeHeard(const KOVASnapshot<R>& snapshot, const char* name, Pick pick, Call call,
                                      Stop stop) {
  return kovaServe<true>(snapshot, name, pick, call, stop);
}

template <class R, class Pick, class Call, class Stop>
bool kovaServeEither(const KOVASnapshot<R>& snapshot, const char* name, Pick pick, Call& call, Stop stop) {
  // The listener is the exception: the common loop is the one laid out straight.
  if (kovaSlicesHeard()) [[unlikely]]
    return kovaServeHeard(snapshot, name, pick, call, stop);
  return kovaServe<false>(snapshot, name, pick, call, stop);
}

struct KOVAEveryClient {
  template <class R>
  R* operator()(R* client) const {
    return client;
  }
};

struct KOVANeverStop {
  template <class R>
  bool operator()(R*) const {
    return false;
  }
};

// The fan-outs. name is the notification's: the dispatcher member that
// forwards it passes its own name.

// Calls call(client) on every client of the snapshot.
template <class R, class Call>
void kovaFanOut(const KOVASnapshot<R>& snapshot, const char* name, Call&& call) {
  kovaServeEither(snapshot, name, KOVAEveryClient(), call, KOVANeverStop());
}

// The same on a fresh snapshot.
template <class R, class Share, class Call>
void kovaFanOut(KOVARunningSnapshots<R>& running, Share share, const char* name, Call&& call) {
  KOVASnapshot<R> snapshot(running, share);
  kovaFanOut(snapshot, name, call);
}

// Calls call(client) on every client of a fresh snapshot until stop(client)
// says so after a call (client is null when the call destroyed it); whether
// it did.
template <class R, class Share, class Call, class Stop>
bool kovaFanOutUntil(KOVARunningSnapshots<R>& running, Share share, const char* name, Call&& call, Stop&& stop) {
  KOVASnapshot<R> snapshot(running, share);
  return kovaServeEither(snapshot, name, KOVAEveryClient(), call, stop);
}

// Calls call(client) on the clients built on Base, as Base: a notification
// that only the hub's own clients understand skips foreign reactors.
template <class Base, class R, class Call>
void kovaFanOutToBase(const KOVASnapshot<R>& snapshot, const char* name, Call&& call) {
  kovaServeEither(snapshot, name, [](R* client) { return dynamic_cast<Base*>(client); }, call, KOVANeverStop());
}

// A dispatcher that the manager retires while one of its notifications is
// running is detached from the host at once and deleted when the last of
// its running notifications returns.
class KOVARetirable {
 public:
  virtual ~KOVARetirable() = default;
  void retire() {
    detachFromHost();
    if (m_nRunning == 0)
      delete this;
    else
      m_bRetired = true;
  }
  // Where the dispatcher hears the host; attaching again changes nothing.
  virtual void attachToHost() = 0;
  virtual void detachFromHost() = 0;

 private:
  friend class KOVARunningNotification;
  int m_nRunning = 0;
  bool m_bRetired = false;
};

// Stands first in every notification of a dispatcher: keeps it alive until
// the notification returns.
class KOVARunningNotification {
 public:
  explicit KOVARunningNotification(KOVARetirable& dispatcher) : m_dispatcher(dispatcher) { ++m_dispatcher.m_nRunning; }
  ~KOVARunningNotification() {
    if (--m_dispatcher.m_nRunning == 0 && m_dispatcher.m_bRetired) delete &m_dispatcher;
  }
  KOVARunningNotification(const KOVARunningNotification&) = delete;
  KOVARunningNotification& operator=(const KOVARunningNotification&) = delete;

 private:
  KOVARetirable& m_dispatcher;
};
