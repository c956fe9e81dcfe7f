// The reactor manager: the three registries and the dispatchers' lifetimes.
#include "kovareactormanager.h"
#include <KvTrace.h>
#include "kovanotificationdatabasereactor.h"
#include "kovanotificationdocreactor.h"
#include "kovanotificationeditorreactor.h"

#define KV_SOURCE_FILE L"kovareactormanager"

KOVAReactorManager g_ReactorManager;

namespace {
// Deletes a dispatcher, or has it deleted once its running notifications return.
template <class D>
void retire(D*& dispatcher) {
  if (dispatcher == nullptr) return;
  D* leaving = dispatcher;
  dispatcher = nullptr;
  leaving->retire();
}

// What the hub offers a program that plays sessions without linking it.
const KvTrace::HubServices kServicesToPlayers = {
    [](AcEditorReactor* client) { g_ReactorManager.addEdReactor(client, 0); },
    [](AcEditorReactor* client) { g_ReactorManager.removeEdReactor(client); },
    [] { return g_ReactorManager.setPostUndoOnCommandFinish(true); }};
}  // namespace

// A dispatcher made while the module is unloaded stays detached.
template <class D>
D* KOVAReactorManager::hosted(D* dispatcher) const {
  if (m_bDetached) dispatcher->detachFromHost();
  return dispatcher;
}

KOVAReactorManager::KOVAReactorManager()
    : m_pEdDispatcher(nullptr),
      m_pDbDispatcher(nullptr),
      m_pDocDispatcher(nullptr),
      m_bFilterReactors(false),
      m_bDetached(false) {
  KV_GUARDED(L"KOVAReactorManager::KOVAReactorManager", [&] { m_pDocDispatcher = new KOVADocReactorDispatcher; });
}

KOVAReactorManager::~KOVAReactorManager() {
  // Every dispatcher goes, not only the document one: none may stay
  // attached to the host once this module is unmapped.
  KV_GUARDED(L"KOVAReactorManager::~KOVAReactorManager", [&] {
    retire(m_pDocDispatcher);
    retire(m_pEdDispatcher);
    retire(m_pDbDispatcher);
  });
}

void KOVAReactorManager::addEdReactor(AcEditorReactor* reactor, int priority) {
  KV_GUARDED(L"KOVAReactorManager::addEdReactor", [&] {
    if (reactor == nullptr) return;
    // Every registration attaches a fresh dispatcher: the editor calls its
    // reactors in the order they were attached, so the hub's clients hear
    // each editor event after every reactor attached before this
    // registration. The command phases (pickfirst depth, roll-back request,
    // open marks, redraw set) are the module's, not a dispatcher's: the
    // fresh one carries them on. It stands before the old one goes, so that
    // what the old one followed is still heard to its end.
    KOVAEditorReactorDispathcer* previous = m_pEdDispatcher;
    m_pEdDispatcher = hosted(new KOVAEditorReactorDispathcer);
    retire(previous);
    eraseEdReactor(reactor);
    m_mapEdReactors.add(reactor, priority);
  });
}

void KOVAReactorManager::removeEdReactor(AcEditorReactor* reactor) {
  KV_GUARDED(L"KOVAReactorManager::removeEdReactor", [&] {
    if (reactor == nullptr || m_pEdDispatcher == nullptr) return;
    eraseEdReactor(reactor);
    // The last dispatcher stays until the ends of what runs are heard.
    if (m_mapEdReactors.isEmpty() && !KOVAEditorReactorDispathcer::phasesRunning()) retire(m_pEdDispatcher);
  });
}

bool KOVAReactorManager::hasEdReactors() const { return !m_mapEdReactors.isEmpty(); }

void KOVAReactorManager::edPhasesEnded() {
  KV_GUARDED(L"KOVAReactorManager::edPhasesEnded", [&] {
    if (m_mapEdReactors.isEmpty()) retire(m_pEdDispatcher);
  });
}

void KOVAReactorManager::edReactors(AcArray<AcEditorReactor*>& out) {
  KV_GUARDED(L"KOVAReactorManager::edReactors", [&] { m_mapEdReactors.list(out); });
}

void KOVAReactorManager::eraseEdReactor(AcEditorReactor* reactor) {
  KV_GUARDED(L"KOVAReactorManager::eraseEdReactor", [&] { m_mapEdReactors.erase(reactor); });
}

void KOVAReactorManager::addDbReactor(AcDbDatabaseReactor* reactor, int priority) {
  KV_GUARDED(L"KOVAReactorManager::addDbReactor", [&] {
    if (reactor == nullptr) return;
    if (m_pDbDispatcher == nullptr) m_pDbDispatcher = hosted(new KOVADatabaseReactorDispatcher);
    eraseDbReactor(reactor);
    m_mapDbReactors.add(reactor, priority);
  });
}

void KOVAReactorManager::removeDbReactor(AcDbDatabaseReactor* reactor) {
  KV_GUARDED(L"KOVAReactorManager::removeDbReactor", [&] {
    if (reactor == nullptr || m_pDbDispatcher == nullptr) return;
    eraseDbReactor(reactor);
    if (m_mapDbReactors.isEmpty()) retire(m_pDbDispatcher);
  });
}

void KOVAReactorManager::dbReactors(AcArray<AcDbDatabaseReactor*>& out) {
  KV_GUARDED(L"KOVAReactorManager::dbReactors", [&] { m_mapDbReactors.list(out); });
}

void KOVAReactorManager::eraseDbReactor(AcDbDatabaseReactor* reactor) {
  KV_GUARDED(L"KOVAReactorManager::eraseDbReactor", [&] { m_mapDbReactors.erase(reactor); });
}

void KOVAReactorManager::addDocReactor(AcApDocManagerReactor* reactor, int priority) {
  KV_GUARDED(L"KOVAReactorManager::addDocReactor", [&] {
    if (reactor == nullptr) return;
    if (m_pDocDispatcher == nullptr) m_pDocDispatcher = hosted(new KOVADocReactorDispatcher);
    eraseDocReactor(reactor);
    m_mapDocReactors.add(reactor, priority);
  });
}

void KOVAReactorManager::removeDocReactor(AcApDocManagerReactor* reactor) {
  KV_GUARDED(L"KOVAReactorManager::removeDocReactor", [&] {
    if (reactor == nullptr || m_pDocDispatcher == nullptr) return;
    eraseDocReactor(reactor);
  });
}

void KOVAReactorManager::docReactors(AcArray<AcApDocManagerReactor*>& out) {
  KV_GUARDED(L"KOVAReactorManager::docReactors", [&] { m_mapDocReactors.list(out); });
}

void KOVAReactorManager::eraseDocReactor(AcApDocManagerReactor* reactor) {
  KV_GUARDED(L"KOVAReactorManager::eraseDocReactor", [&] { m_mapDocReactors.erase(reactor); });
}

void KOVAReactorManager::attachDispatchers(bool attached) {
  KV_GUARDED(L"KOVAReactorManager::attachDispatchers", [&] {
    // A player's client leaves before the hub stops, and comes once it runs.
    if (!attached) KvTrace::hubRunning(nullptr);
    m_bDetached = !attached;
    auto follow = [attached](KOVARetirable* dispatcher) {
      if (dispatcher == nullptr) return;
      if (attached)
        dispatcher->attachToHost();
      else
        dispatcher->detachFromHost();
    };
    follow(m_pDocDispatcher);
    follow(m_pDbDispatcher);
    follow(m_pEdDispatcher);
    if (!attached) KOVAEditorReactorDispathcer::abandonCommandPhases();
    if (attached) KvTrace::hubRunning(&kServicesToPlayers);
  });
}

void KOVAReactorManager::setFilterReactors(bool value) {
  if (value != m_bFilterReactors) KvTrace::filterFlagChanged(value);
  m_bFilterReactors = value;
}

bool KOVAReactorManager::setPostUndoOnCommandFinish(const bool& value) {
  return KV_GUARDED(L"KOVAReactorManager::setPostUndoOnCommandFinish", [&] {
    if (m_pEdDispatcher != nullptr) m_pEdDispatcher->setPostUndoOnCommandFinish(value);
    return true;
  });
}
