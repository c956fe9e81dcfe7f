// What kovahost hears of the hub and asks of it.
#include "hub.h"
#include "output.h"

void HubClient::hubRunning(const KvTrace::HubServices* hub) {
  if (m_bRegistered) m_pHub->removeEditorClient(this);
  m_pHub = hub;
  m_bRegistered = m_bWanted && m_pHub;
  if (m_bRegistered) m_pHub->addEditorClient(this);
}

namespace {

Output* g_pOutput = nullptr;
HubClient* g_pClient = nullptr;

void onRunning(const KvTrace::HubServices* services) { g_pClient->hubRunning(services); }
void onFilterFlag(bool on) { g_pOutput->filterFlagChanged(on); }
void onSliceBegin(const char* kind, const char* name, const char* who) { g_pOutput->sliceBegin(kind, name, who); }
void onSliceEnd() { g_pOutput->sliceEnd(); }

const KvTrace::HubListener kListener = {onRunning, onFilterFlag};

}  // namespace

void listenToHub(Output& out, HubClient& client) {
  g_pOutput = &out;
  g_pClient = &client;
  KvTrace::setHubListener(&kListener);
  KvTrace::setSliceListener(onSliceBegin, onSliceEnd);
}

void stopListening() {
  KvTrace::setSliceListener(nullptr, nullptr);
  KvTrace::setHubListener(nullptr);
  g_pOutput = nullptr;
  g_pClient = nullptr;
}
