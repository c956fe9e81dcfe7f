// kovahost as the hub hears it and as one of its clients. The program does
// not link the hub (the hub must leave the process when the host unloads
// it): the hub tells what it does, and offers what it serves a player,
// through the product line's trace library, which both link.
#pragma once
#include <KvTrace.h>
#include <aced.h>

class Output;

// For 'rollback': an editor reactor that hears nothing, registered with the
// hub while it runs, so that the hub marks commands, and the roll-back request.
class HubClient : public AcEditorReactor {
 public:
  void want() { m_bWanted = true; }
  // The hub started running (its services) or is stopping (null).
  void hubRunning(const KvTrace::HubServices* hub);
  bool requestRollback() const { return m_bRegistered && m_pHub->requestRollback(); }

 private:
  const KvTrace::HubServices* m_pHub = nullptr;
  bool m_bWanted = false;
  bool m_bRegistered = false;
};

// Has out hear what the hub does, its slices included, and client follow
// whether it runs, until stopListening.
void listenToHub(Output& out, HubClient& client);
void stopListening();
