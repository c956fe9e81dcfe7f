// The database dispatcher and the client database reactor base.
#include "kovanotificationdatabasereactor.h"
#include <KvTrace.h>
#include <acdocman.h>
#include "kovareactormanager.h"

#define KV_SOURCE_FILE L"kovanotificationdatabasereactor"

KOVARunningSnapshots<AcDbDatabaseReactor>& kovaDbSnapshots() {
  static KOVARunningSnapshots<AcDbDatabaseReactor> running;
  return running;
}

namespace {
// Calls attach(database) for the database of every open document.
template <class F>
void forEachOpenDatabase(F&& attach) {
  AcApDocumentIterator* it = acDocManagerPtr()->newAcApDocumentIterator();
  if (it == nullptr) return;
  std::unique_ptr<AcApDocumentIterator> owner(it);
  for (; !it->done(); it->step())
    if (AcDbDatabase* db = it->document()->database()) attach(db);
}
}  // namespace

KOVADatabaseReactorDispatcher::KOVADatabaseReactorDispatcher() {
  KV_GUARDED(L"KOVADatabaseReactorDispatcher::KOVADatabaseReactorDispatcher", [&] { attachToHost(); });
}

KOVADatabaseReactorDispatcher::~KOVADatabaseReactorDispatcher() {
  KV_GUARDED(L"KOVADatabaseReactorDispatcher::~KOVADatabaseReactorDispatcher", [&] { detachFromHost(); });
}

void KOVADatabaseReactorDispatcher::attachTo(AcDbDatabase* db) {
  if (db == nullptr || m_tabAttached.contains(db)) return;
  db->addReactor(this);
  m_tabAttached.append(db);
}

void KOVADatabaseReactorDispatcher::detachFrom(const AcDbDatabase* db) {
  if (db == nullptr || !m_tabAttached.remove(db)) return;
  db->removeReactor(this);
}

void KOVADatabaseReactorDispatcher::attachToHost() {
  forEachOpenDatabase([this](AcDbDatabase* db) { attachTo(db); });
}

void KOVADatabaseReactorDispatcher::detachFromHost() {
  while (!m_tabAttached.isEmpty()) detachFrom(m_tabAttached.last());
}

// The forwarders capture their arguments by value: the fan-out then keeps
// them in registers across the client calls.
template <class Call>
void KOVADatabaseReactorDispatcher::forward(const char* name, Call&& call) {
  if (g_ReactorManager.filterReactors()) return;
  KOVARunningNotification running(*this);
  kovaFanOut(kovaDbSnapshots(), [] { return g_ReactorManager.shareDbReactors(); }, name, call);
}

void KOVADatabaseReactorDispatcher::objectAppended(const AcDbDatabase* dwg, const AcDbObject* obj) {
  forward("objectAppended", [=](AcDbDatabaseReactor* c) { c->objectAppended(dwg, obj); });
}
void KOVADatabaseReactorDispatcher::objectUnAppended(const AcDbDatabase* dwg, const AcDbObject* obj) {
  forward("objectUnAppended", [=](AcDbDatabaseReactor* c) { c->objectUnAppended(dwg, obj); });
}
void KOVADatabaseReactorDispatcher::objectReAppended(const AcDbDatabase* dwg, const AcDbObject* obj) {
  forward("objectReAppended", [=](AcDbDatabaseReactor* c) { c->objectReAppended(dwg, obj); });
}
void KOVADatabaseReactorDispatcher::objectOpenedForModify(const AcDbDatabase* dwg, const AcDbObject* obj) {
  forward("objectOpenedForModify", [=](AcDbDatabaseReactor* c) { c->objectOpenedForModify(dwg, obj); });
}
void KOVADatabaseReactorDispatcher::objectModified(const AcDbDatabase* dwg, const AcDbObject* obj) {
  forward("objectModified", [=](AcDbDatabaseReactor* c) { c->objectModified(dwg, obj); });
}
void KOVADatabaseReactorDispatcher::objectErased(const AcDbDatabase* dwg, const AcDbObject* obj,
                                                 Adesk::Boolean erased) {
  forward("objectErased", [=](AcDbDatabaseReactor* c) { c->objectErased(dwg, obj, erased); });
}
void KOVADatabaseReactorDispatcher::headerSysVarWillChange(const AcDbDatabase* dwg, const ACHAR* name) {
  forward("headerSysVarWillChange", [=](AcDbDatabaseReactor* c) { c->headerSysVarWillChange(dwg, name); });
}
void KOVADatabaseReactorDispatcher::headerSysVarChanged(const AcDbDatabase* dwg, const ACHAR* name,
                                                        Adesk::Boolean success) {
  forward("headerSysVarChanged", [=](AcDbDatabaseReactor* c) { c->headerSysVarChanged(dwg, name, success); });
}
void KOVADatabaseReactorDispatcher::proxyResurrectionCompleted(const AcDbDatabase* dwg, const ACHAR* appname,
                                                               AcDbObjectIdArray& objects) {
  forward("proxyResurrectionCompleted",
          [=, &objects](AcDbDatabaseReactor* c) { c->proxyResurrectionCompleted(dwg, appname, objects); });
}
void KOVADatabaseReactorDispatcher::goodbye(const AcDbDatabase* dwg) {
  KOVARunningNotification running(*this);
  forward("goodbye", [=](AcDbDatabaseReactor* c) { c->goodbye(dwg); });
  // The database is going away: the dispatcher leaves it with its clients.
  detachFrom(dwg);
}

KOVADatabaseReactorBase::KOVADatabaseReactorBase() {
  KV_GUARDED(L"KOVADatabaseReactorBase::KOVADatabaseReactorBase", [&] { g_ReactorManager.addDbReactor(this, -1); });
}

KOVADatabaseReactorBase::KOVADatabaseReactorBase(const KOVADatabaseReactorBase&) : AcDbDatabaseReactor() {}

KOVADatabaseReactorBase& KOVADatabaseReactorBase::operator=(const KOVADatabaseReactorBase&) { return *this; }

KOVADatabaseReactorBase::~KOVADatabaseReactorBase() {
  KV_GUARDED(L"KOVADatabaseReactorBase::~KOVADatabaseReactorBase", [&] {
    g_ReactorManager.removeDbReactor(this);
    kovaDbSnapshots().forget(this);
  });
}
