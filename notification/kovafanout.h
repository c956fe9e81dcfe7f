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
#include <algorithm>
#include <cstring>
#include <memory>
#include <typeinfo>
#include <vector>
#include <KvTrace.h>
#include <acarray.h>
#include "kovaclientlist.h"

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
  R* at(int i) const { return clients()[i]; }

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

// The notification's name in a signature that spells out the type of a
// dispatcher's call ("... Call = KOVAXDispatcher::objectAppended(...)::<lambda..."):
// the call is a lambda defined in the notification's own member.
inline void kovaNameFromSignature(const char* signature, char* out, size_t size) {
  const char* name = "fan-out";
  size_t length = 7;
  if (const char* p = std::strstr(signature, "Call = ")) {
    p += 7;
    if (std::strncmp(p, "const ", 6) == 0) p += 6;
    const char* stop = p;
    while (*stop && std::strchr("(<;]& ", *stop) == nullptr) ++stop;
    const char* start = p;
    for (const char* q = p; q + 1 < stop; ++q)
      if (q[0] == ':' && q[1] == ':') start = q + 2;
    if (stop > start) name = start, length = static_cast<size_t>(stop - start);
  }
  length = std::min(length, size - 1);
  std::memcpy(out, name, length);
  out[length] = 0;
}

// Worked out once per kind of call, and only while a slice listener is set.
template <class Call>
const char* kovaNotificationName() {
  static char s_name[64];
  if (s_name[0] == 0) kovaNameFromSignature(__PRETTY_FUNCTION__, s_name, sizeof s_name);
  return s_name;
}

// The client's class for a client-call slice; nothing is looked up while
// no slice listener is set.
template <class R>
const char* kovaSliceClient(R* client) {
  return KvTrace::g_pSliceBegin ? typeid(*client).name() : nullptr;
}

// The fan-out while a slice listener is set: the fan-out and each client
// call are slices named name (worked out only then, when name is null).
// Out of line, so that the common fan-out below stays small; it takes the
// call by value, so that the common loop keeps the call's arguments in
// registers instead of reloading them after every client.
template <class R, class Call>
[[gnu::noinline]] void kovaFanOutTraced(const KOVASnapshot<R>& snapshot, const char* name, Call call) {
  if (name == nullptr) name = kovaNotificationName<Call>();
  KvSliceScope fanOut("fan-out", name, nullptr);
  for (int i = 0; i < snapshot.length(); ++i) {
    if (R* client = snapshot.at(i)) {
      KvSliceScope clientCall("client", name, kovaSliceClient(client));
      call(client);
    }
  }
}

// Calls call(client) on every client of a fresh snapshot, in registry order.
template <class R, class Share, class Call>
void kovaFanOutNamed(KOVARunningSnapshots<R>& running, Share share, const char* name, Call&& call) {
  KOVASnapshot<R> snapshot(running, share);
  if (KvTrace::g_pSliceBegin != nullptr) return kovaFanOutTraced(snapshot, name, call);
  R* const* clients = snapshot.clients();
  const int n = snapshot.length();
  for (int i = 0; i < n; ++i)
    if (R* client = clients[i]) call(client);
}

template <class R, class Share, class Call>
void kovaFanOut(KOVARunningSnapshots<R>& running, Share share, Call&& call) {
  kovaFanOutNamed(running, share, nullptr, call);
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
