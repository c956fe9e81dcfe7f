// The document dispatcher and the client document reactor base.
#include "kovanotificationdocreactor.h"
#include <KvTrace.h>
#include "guards.h"
#include "kovanotificationdatabasereactor.h"
#include "kovanotificationeditorreactor.h"
#include "kovareactormanager.h"

#define KV_SOURCE_FILE L"kovanotificationdocreactor"

namespace {
KOVARunningSnapshots<AcApDocManagerReactor>& docSnapshots() {
  static KOVARunningSnapshots<AcApDocManagerReactor> running;
  return running;
}

KOVAClientList<AcApDocManagerReactor>* shareDocReactors() { return g_ReactorManager.shareDocReactors(); }

// While no editor dispatcher is there to hear the drawing's database go,
// what the command phases and the redraw set hold of it is dropped here.
void forgetUnheardDatabase(AcApDocument* doc) {
  if (doc != nullptr && g_ReactorManager.edReactorDispatcher() == nullptr)
    KOVAEditorReactorDispathcer::forgetDatabase(doc->database());
}
}  // namespace

KOVADocReactorDispatcher::KOVADocReactorDispatcher() { attachToHost(); }

KOVADocReactorDispatcher::~KOVADocReactorDispatcher() {
  KV_GUARDED(L"KOVADocReactorDispatcher::~KOVADocReactorDispatcher", [&] { detachFromHost(); });
}

void KOVADocReactorDispatcher::attachToHost() {
  if (AcApDocManager* manager = acDocManagerPtr()) manager->addReactor(this);
}

void KOVADocReactorDispatcher::detachFromHost() {
  if (AcApDocManager* manager = acDocManagerPtr()) manager->removeReactor(this);
}

template <class Call>
void KOVADocReactorDispatcher::fanOut(const char* name, Call&& call) {
  kovaFanOut(docSnapshots(), shareDocReactors, name, call);
}

template <class Call>
void KOVADocReactorDispatcher::forward(const char* name, Call&& call) {
  KOVARunningNotification running(*this);
  fanOut(name, call);
}

void KOVADocReactorDispatcher::detachDatabaseDispatcher(AcApDocument* doc) {
  AcDbDatabase* db = doc ? doc->database() : nullptr;
  if (db != nullptr && g_ReactorManager.dbReactorDispatcher() != nullptr)
    g_ReactorManager.dbReactorDispatcher()->detachFrom(db);
}

void KOVADocReactorDispatcher::documentCreated(AcApDocument* doc) {
  KOVARunningNotification running(*this);
  KV_GUARDED(L"KOVADocReactorDispatcher::documentCreated", [&] {
    AcDbDatabase* db = doc ? doc->database() : nullptr;
    if (db != nullptr && g_ReactorManager.dbReactorDispatcher() != nullptr)
      g_ReactorManager.dbReactorDispatcher()->attachTo(db);
    KOVASmartPushPopDbMod dbmod(doc);
    KOVASmartUndoRecording undo(nullptr);
    fanOut("documentCreated", [&](AcApDocManagerReactor* c) { c->documentCreated(doc); });
  });
}

void KOVADocReactorDispatcher::documentToBeDestroyed(AcApDocument* doc) {
  KOVARunningNotification running(*this);
  KV_GUARDED(L"KOVADocReactorDispatcher::documentToBeDestroyed", [&] {
    detachDatabaseDispatcher(doc);
    forgetUnheardDatabase(doc);
    fanOut("documentToBeDestroyed", [&](AcApDocManagerReactor* c) { c->documentToBeDestroyed(doc); });
  });
}

void KOVADocReactorDispatcher::documentCreateCanceled(AcApDocument* doc) {
  KOVARunningNotification running(*this);
  KV_GUARDED(L"KOVADocReactorDispatcher::documentCreateCanceled", [&] {
    detachDatabaseDispatcher(doc);
    forgetUnheardDatabase(doc);
    fanOut("documentCreateCanceled", [&](AcApDocManagerReactor* c) { c->documentCreateCanceled(doc); });
  });
}

void KOVADocReactorDispatcher::documentLockModeChanged(AcApDocument* doc, AcAp::DocLockMode previous,
                                                       AcAp::DocLockMode mine, AcAp::DocLockMode current,
                                                       const ACHAR* command) {
  KOVARunningNotification running(*this);
  KV_GUARDED(L"KOVADocReactorDispatcher::documentLockModeChanged", [&] {
    // Only the hub's own client base carries a veto request.
    KOVADocReactorBase* base = nullptr;
    kovaFanOutUntil(
        docSnapshots(), shareDocReactors, "documentLockModeChanged",
        [&](AcApDocManagerReactor* client) {
          base = dynamic_cast<KOVADocReactorBase*>(client);
          if (base) base->m_bVeto = false;
          client->documentLockModeChanged(doc, previous, mine, current, command);
        },
        [&](AcApDocManagerReactor* stillThere) {
          if (base == nullptr || stillThere == nullptr || !base->m_bVeto) return false;
          base->m_bVeto = false;
          return veto() == Acad::eOk;
        });
  });
}

void KOVADocReactorDispatcher::documentCreateStarted(AcApDocument* doc) {
  forward("documentCreateStarted", [&](AcApDocManagerReactor* c) { c->documentCreateStarted(doc); });
}
void KOVADocReactorDispatcher::documentDestroyed(const ACHAR* fileName) {
  forward("documentDestroyed", [&](AcApDocManagerReactor* c) { c->documentDestroyed(fileName); });
}
void KOVADocReactorDispatcher::documentLockModeWillChange(AcApDocument* doc, AcAp::DocLockMode mine,
                                                          AcAp::DocLockMode next, AcAp::DocLockMode current,
                                                          const ACHAR* command) {
  forward("documentLockModeWillChange",
          [&](AcApDocManagerReactor* c) { c->documentLockModeWillChange(doc, mine, next, current, command); });
}
void KOVADocReactorDispatcher::documentLockModeChangeVetoed(AcApDocument* doc, const ACHAR* command) {
  forward("documentLockModeChangeVetoed",
          [&](AcApDocManagerReactor* c) { c->documentLockModeChangeVetoed(doc, command); });
}
void KOVADocReactorDispatcher::documentBecameCurrent(AcApDocument* doc) {
  forward("documentBecameCurrent", [&](AcApDocManagerReactor* c) { c->documentBecameCurrent(doc); });
}
void KOVADocReactorDispatcher::documentToBeActivated(AcApDocument* doc) {
  forward("documentToBeActivated", [&](AcApDocManagerReactor* c) { c->documentToBeActivated(doc); });
}
void KOVADocReactorDispatcher::documentToBeDeactivated(AcApDocument* doc) {
  forward("documentToBeDeactivated", [&](AcApDocManagerReactor* c) { c->documentToBeDeactivated(doc); });
}
void KOVADocReactorDispatcher::documentActivationModified(bool activation) {
  forward("documentActivationModified", [&](AcApDocManagerReactor* c) { c->documentActivationModified(activation); });
}
void KOVADocReactorDispatcher::documentActivated(AcApDocument* doc) {
  forward("documentActivated", [&](AcApDocManagerReactor* c) { c->documentActivated(doc); });
}

KOVADocReactorBase::KOVADocReactorBase() : m_bVeto(false) {
  KV_GUARDED(L"KOVADocReactorBase::KOVADocReactorBase", [&] { g_ReactorManager.addDocReactor(this, -1); });
}

KOVADocReactorBase::KOVADocReactorBase(const KOVADocReactorBase& other)
    : AcApDocManagerReactor(other), m_bVeto(other.m_bVeto) {}

KOVADocReactorBase& KOVADocReactorBase::operator=(const KOVADocReactorBase& other) {
  AcApDocManagerReactor::operator=(other);
  m_bVeto = other.m_bVeto;
  return *this;
}

KOVADocReactorBase::~KOVADocReactorBase() {
  KV_GUARDED(L"KOVADocReactorBase::~KOVADocReactorBase", [&] {
    g_ReactorManager.removeDocReactor(this);
    docSnapshots().forget(this);
  });
}

void KOVADocReactorBase::KOVAVeto() { m_bVeto = true; }
