// The registry's clients of one kind in order, as notifications share them.
#pragma once
#include <acarray.h>

// A fan-out holds the registry's list instead of copying it. The registry
// never changes a list that a fan-out holds: it leaves it to the fan-outs
// (which go on with the clients they saw) and starts a new one. Only a
// client being destroyed is struck from it.
template <class R>
class KOVAClientList {
 public:
  KOVAClientList() : m_tabClients(0, 8) {}
  KOVAClientList(const KOVAClientList&) = delete;
  KOVAClientList& operator=(const KOVAClientList&) = delete;

  AcArray<R*>& clients() { return m_tabClients; }
  void hold() { ++m_nHolders; }
  // The last holder deletes it.
  void release() {
    if (--m_nHolders == 0) delete this;
  }
  bool isShared() const { return m_nHolders > 1; }

 private:
  ~KOVAClientList() = default;

  AcArray<R*> m_tabClients;
  int m_nHolders = 1;  // whoever made it
};
