// Documents, the document manager with its lock protocol, document locks,
// and the host application services.
#include <algorithm>
#include "common/journal.h"
#include "database/dbinternal.h"
#include "dbapserv.h"
#include "docman/docinternal.h"

struct AcApDocManager::Impl {
  std::vector<AcApDocument*> docs;
  AcApDocument* current = nullptr;
  kvhost::ReactorList<AcApDocManagerReactor> reactors;
  bool activationEnabled = true;

  bool isOpen(const AcApDocument* doc) const { return std::find(docs.begin(), docs.end(), doc) != docs.end(); }
};

// ---- Document reactors: every notification does nothing by default ----

AcApDocManagerReactor::~AcApDocManagerReactor() = default;
void AcApDocManagerReactor::documentCreateStarted(AcApDocument*) {}
void AcApDocManagerReactor::documentCreated(AcApDocument*) {}
void AcApDocManagerReactor::documentToBeDestroyed(AcApDocument*) {}
void AcApDocManagerReactor::documentDestroyed(const ACHAR*) {}
void AcApDocManagerReactor::documentCreateCanceled(AcApDocument*) {}
void AcApDocManagerReactor::documentLockModeWillChange(AcApDocument*, AcAp::DocLockMode, AcAp::DocLockMode,
                                                       AcAp::DocLockMode, const ACHAR*) {}
void AcApDocManagerReactor::documentLockModeChangeVetoed(AcApDocument*, const ACHAR*) {}
void AcApDocManagerReactor::documentLockModeChanged(AcApDocument*, AcAp::DocLockMode, AcAp::DocLockMode,
                                                    AcAp::DocLockMode, const ACHAR*) {}
void AcApDocManagerReactor::documentBecameCurrent(AcApDocument*) {}
void AcApDocManagerReactor::documentToBeActivated(AcApDocument*) {}
void AcApDocManagerReactor::documentToBeDeactivated(AcApDocument*) {}
void AcApDocManagerReactor::documentActivationModified(bool) {}
void AcApDocManagerReactor::documentActivated(AcApDocument*) {}

namespace {
const unsigned char kVetoAllowed = 1;
const unsigned char kVetoed = 2;
}  // namespace

Acad::ErrorStatus AcApDocManagerReactor::veto() {
  if ((m_veto & kVetoAllowed) == 0) return Acad::eNotApplicable;
  m_veto |= kVetoed;
  return Acad::eOk;
}

// ---- Documents ----

AcApDocument::AcApDocument(AcDbDatabase* db, const ACHAR* fileName) : m_pDb(db), m_fileName(fileName) {}
AcApDocument::~AcApDocument() = default;

AcAp::DocLockMode AcApDocument::myLockMode() const {
  return m_locks.isEmpty() ? AcAp::kNotLocked : m_locks[m_locks.length() - 1].mode;
}
bool AcApDocument::isQuiescent() const { return m_locks.isEmpty(); }
void AcApDocument::pushDbmod() { m_dbmodStack.push_back(m_dbmod); }
Acad::ErrorStatus AcApDocument::popDbmod() {
  if (m_dbmodStack.empty()) return Acad::eNotApplicable;
  m_dbmod = m_dbmodStack.back();
  m_dbmodStack.pop_back();
  return Acad::eOk;
}

AcApDocumentIterator::~AcApDocumentIterator() = default;
bool AcApDocumentIterator::done() const { return m_index >= m_docs.length(); }
void AcApDocumentIterator::step() { ++m_index; }
AcApDocument* AcApDocumentIterator::document() { return done() ? nullptr : m_docs[m_index]; }

// ---- The document manager ----

AcApDocManager::AcApDocManager() : m_pImpl(new Impl) {}
AcApDocManager::~AcApDocManager() { delete m_pImpl; }

AcApDocManager* acDocManagerPtr() {
  static AcApDocManager* manager = new AcApDocManager;  // lives as long as the process
  return manager;
}

AcApDocument* AcApDocManager::curDocument() const { return m_pImpl->current; }
AcApDocument* AcApDocManager::mdiActiveDocument() const { return m_pImpl->current; }
AcApDocument* AcApDocManager::document(const AcDbDatabase* db) const {
  if (db == nullptr) return nullptr;
  for (AcApDocument* doc : m_pImpl->docs)
    if (doc->database() == db) return doc;
  return nullptr;
}
int AcApDocManager::documentCount() const { return static_cast<int>(m_pImpl->docs.size()); }

AcApDocumentIterator* AcApDocManager::newAcApDocumentIterator() {
  AcArray<AcApDocument*> docs;
  for (AcApDocument* doc : m_pImpl->docs) docs.append(doc);
  return new AcApDocumentIterator(docs);
}

void AcApDocManager::addReactor(AcApDocManagerReactor* reactor) {
  if (m_pImpl->reactors.add(reactor)) kvhost::journalf(L"document manager: reactor attached (%d)", m_pImpl->reactors.live().length());
}
void AcApDocManager::removeReactor(AcApDocManagerReactor* reactor) {
  if (m_pImpl->reactors.remove(reactor)) kvhost::journalf(L"document manager: reactor detached (%d)", m_pImpl->reactors.live().length());
}
AcArray<AcApDocManagerReactor*> AcApDocManager::reactors() const { return m_pImpl->reactors.live(); }

namespace kvhost {
ReactorList<AcApDocManagerReactor>& documentManagerReactors() { return acDocManagerPtr()->impl()->reactors; }

ReactorList<DocumentWatcher>& documentWatchers() {
  static auto* watchers = new ReactorList<DocumentWatcher>;
  return *watchers;
}
}  // namespace kvhost

Acad::ErrorStatus AcApDocManager::lockDocument(AcApDocument* doc, AcAp::DocLockMode mode, const ACHAR* pGlobalCmdName,
                                               const ACHAR*, bool) {
  if (doc == nullptr || !m_pImpl->isOpen(doc)) return Acad::eNoDocument;
  const ACHAR* cmd = pGlobalCmdName ? pGlobalCmdName : L"";
  AcAp::DocLockMode previous = doc->myLockMode();
  m_pImpl->reactors.notify(
      [&](AcApDocManagerReactor* r) { r->documentLockModeWillChange(doc, previous, mode, mode, cmd); });
  const int mine = doc->locks().append({mode, cmd});
  bool vetoed = false;
  m_pImpl->reactors.notify([&](AcApDocManagerReactor* r) {
    struct VetoWindow {
      AcApDocManagerReactor* reactor;
      ~VetoWindow() {
        if (reactor) reactor->setVetoState(0);
      }
    } window{r};
    r->setVetoState(kVetoAllowed);
    r->documentLockModeChanged(doc, previous, mode, mode, cmd);
    // A reactor that left during its notification may be destroyed already.
    if (!m_pImpl->reactors.contains(r)) {
      window.reactor = nullptr;
      return true;
    }
    vetoed = (r->vetoState() & kVetoed) != 0;
    return !vetoed;
  });
  if (!vetoed) return Acad::eOk;
  // A reactor may have locked or unlocked the document from inside its
  // notification: withdraw this lock where it stands, if it still does.
  if (mine < doc->locks().length()) doc->locks().removeAt(mine);
  kvhost::journalf(L"lock of %ls vetoed", doc->fileName());
  m_pImpl->reactors.notify([&](AcApDocManagerReactor* r) { r->documentLockModeChangeVetoed(doc, cmd); });
  return Acad::eVetoed;
}

Acad::ErrorStatus AcApDocManager::unlockDocument(AcApDocument* doc) {
  if (doc == nullptr || !m_pImpl->isOpen(doc)) return Acad::eNoDocument;
  if (doc->locks().isEmpty()) return Acad::eNotApplicable;
  AcAp::DocLockMode previous = doc->myLockMode();
  const int top = doc->locks().length() - 1;
  std::wstring cmd = doc->locks().last().globalCommand;
  AcAp::DocLockMode next = top > 0 ? doc->locks()[top - 1].mode : AcAp::kNotLocked;
  m_pImpl->reactors.notify(
      [&](AcApDocManagerReactor* r) { r->documentLockModeWillChange(doc, previous, next, next, cmd.c_str()); });
  // A reactor may have unlocked the document from inside its notification:
  // only the lock still standing where this one stood is released.
  if (top < doc->locks().length()) doc->locks().removeAt(top);
  // Releasing a lock cannot be vetoed: the reactors are told after the fact.
  m_pImpl->reactors.notify(
      [&](AcApDocManagerReactor* r) { r->documentLockModeChanged(doc, previous, next, next, cmd.c_str()); });
  return Acad::eOk;
}

Acad::ErrorStatus AcApDocManager::setCurDocument(AcApDocument* doc, AcAp::DocLockMode mode, bool activate) {
  if (doc == nullptr || !m_pImpl->isOpen(doc)) return Acad::eNoDocument;
  if (activate) return activateDocument(doc);
  m_pImpl->current = doc;
  m_pImpl->reactors.notify([&](AcApDocManagerReactor* r) { r->documentBecameCurrent(doc); });
  return mode == AcAp::kNone ? Acad::eOk : lockDocument(doc, mode);
}

Acad::ErrorStatus AcApDocManager::activateDocument(AcApDocument* doc, bool) {
  if (doc == nullptr || !m_pImpl->isOpen(doc)) return Acad::eNoDocument;
  if (!m_pImpl->activationEnabled) return Acad::eNotApplicable;
  AcApDocument* old = m_pImpl->current;
  if (old == doc) return Acad::eOk;
  // The document being activated stays open through its own notifications.
  AcApDocument::BusyScope activating(doc);
  auto& reactors = m_pImpl->reactors;
  if (old) reactors.notify([&](AcApDocManagerReactor* r) { r->documentToBeDeactivated(old); });
  reactors.notify([&](AcApDocManagerReactor* r) { r->documentToBeActivated(doc); });
  m_pImpl->current = doc;
  reactors.notify([&](AcApDocManagerReactor* r) { r->documentBecameCurrent(doc); });
  reactors.notify([&](AcApDocManagerReactor* r) { r->documentActivated(doc); });
  return Acad::eOk;
}

namespace kvhost {

// The database's one question to the host application, answered here.
bool isWriteLocked(const AcDbDatabase* db) {
  AcApDocument* doc = acDocManagerPtr()->document(db);
  if (doc == nullptr) return true;  // a database without a document is nobody else's
  switch (doc->myLockMode()) {
    case AcAp::kWrite:
    case AcAp::kAutoWrite:
    case AcAp::kProtectedAutoWrite:
    case AcAp::kXWrite:
      return true;
    default:
      return false;
  }
}

AcApDocument* createDocument(AcDbDatabase* db, const std::wstring& name, bool cancel) {
  AcApDocManager::Impl& m = *acDocManagerPtr()->impl();
  auto* doc = new AcApDocument(db, name.c_str());
  m.docs.push_back(doc);
  journalf(L"document %ls created", name.c_str());
  {
    AcApDocument::BusyScope creating(doc);
    m.reactors.notify([&](AcApDocManagerReactor* r) { r->documentCreateStarted(doc); });
    if (cancel) m.reactors.notify([&](AcApDocManagerReactor* r) { r->documentCreateCanceled(doc); });
    else m.reactors.notify([&](AcApDocManagerReactor* r) { r->documentCreated(doc); });
  }
  if (cancel) {
    m.docs.erase(std::find(m.docs.begin(), m.docs.end(), doc));
    // A reactor may have activated it meanwhile; it must not stay current.
    if (m.current == doc) m.current = nullptr;
    delete db;
    delete doc;
    if (m.current == nullptr && !m.docs.empty()) acDocManagerPtr()->activateDocument(m.docs.back());
    return nullptr;
  }
  acDocManagerPtr()->activateDocument(doc);
  return doc;
}

AcApDocument* newDocument(const std::wstring& name) { return createDocument(new AcDbDatabase, name, false); }
void cancelDocumentCreation(const std::wstring& name) { createDocument(new AcDbDatabase, name, true); }

bool closeDocument(AcApDocument* doc) {
  AcApDocManager::Impl& m = *acDocManagerPtr()->impl();
  if (doc == nullptr || !m.isOpen(doc)) return false;
  if (doc->isBusy()) {
    journalf(L"close of %ls refused: the document is busy", doc->fileName());
    return false;
  }
  AcDbDatabase* db = doc->database();
  {
    AcApDocument::BusyScope closing(doc);
    documentWatchers().notify([&](DocumentWatcher* w) { w->documentToBeClosed(db); });
    if (m.current == doc) m.reactors.notify([&](AcApDocManagerReactor* r) { r->documentToBeDeactivated(doc); });
    m.reactors.notify([&](AcApDocManagerReactor* r) { r->documentToBeDestroyed(doc); });
  }
  m.docs.erase(std::find(m.docs.begin(), m.docs.end(), doc));
  if (m.current == doc) m.current = nullptr;
  std::wstring name = doc->fileName();
  delete db;
  delete doc;
  journalf(L"document %ls closed", name.c_str());
  m.reactors.notify([&](AcApDocManagerReactor* r) { r->documentDestroyed(name.c_str()); });
  if (m.current == nullptr && !m.docs.empty()) acDocManagerPtr()->activateDocument(m.docs.back());
  return true;
}

void activateDocument(AcApDocument* doc) { acDocManagerPtr()->activateDocument(doc); }

void setDocumentActivation(bool enabled) {
  AcApDocManager::Impl& m = *acDocManagerPtr()->impl();
  if (m.activationEnabled == enabled) return;
  m.activationEnabled = enabled;
  m.reactors.notify([&](AcApDocManagerReactor* r) { r->documentActivationModified(enabled); });
}

AcApDocument* findDocument(const std::wstring& name) {
  for (AcApDocument* doc : acDocManagerPtr()->impl()->docs)
    if (name == doc->fileName()) return doc;
  return nullptr;
}

std::vector<AcApDocument*> documents() { return acDocManagerPtr()->impl()->docs; }

bool isOpenDocument(const AcApDocument* doc) { return acDocManagerPtr()->impl()->isOpen(doc); }

}  // namespace kvhost

// ---- Document locks ----

AcAxDocLock::AcAxDocLock() { lock(acDocManagerPtr()->curDocument()); }
AcAxDocLock::AcAxDocLock(const AcDbObjectId& objectId, DocLockType) { lock(acDocManagerPtr()->document(objectId.database())); }
AcAxDocLock::AcAxDocLock(AcDbDatabase* pDatabase, DocLockType) {
  AcApDocument* doc = acDocManagerPtr()->document(pDatabase);
  if (doc == nullptr && pDatabase != nullptr)
    m_status = Acad::eOk;  // a database without a document needs no lock
  else
    lock(doc);
}
void AcAxDocLock::lock(AcApDocument* doc) {
  if (doc == nullptr) {
    m_status = Acad::eNoDocument;
    return;
  }
  m_status = acDocManagerPtr()->lockDocument(doc, AcAp::kWrite, nullptr, nullptr, false);
  if (m_status == Acad::eOk) m_pDoc = doc;
}
AcAxDocLock::~AcAxDocLock() {
  if (m_pDoc != nullptr && kvhost::isOpenDocument(m_pDoc)) acDocManagerPtr()->unlockDocument(m_pDoc);
}

// ---- Host application services ----

AcDbHostApplicationServices::~AcDbHostApplicationServices() = default;
AcDbDatabase* AcDbHostApplicationServices::workingDatabase() const {
  if (m_bExplicit) return m_pWorkingDb;
  AcApDocument* doc = acDocManagerPtr()->curDocument();
  return doc ? doc->database() : nullptr;
}
void AcDbHostApplicationServices::setWorkingDatabase(AcDbDatabase* db) {
  m_pWorkingDb = db;
  m_bExplicit = db != nullptr;
}
AcDbHostApplicationServices* acdbHostApplicationServices() {
  static AcDbHostApplicationServices* services = new AcDbHostApplicationServices;
  return services;
}
