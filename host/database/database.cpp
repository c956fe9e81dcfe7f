// Databases: the objects they hold by handle, their header, their reactors,
// and the watchers that hear of every database.
#include <algorithm>
#include <utility>
#include "common/journal.h"
#include "database/dbimpl.h"
#include "dbapserv.h"

namespace kvhost {

std::vector<AcDbDatabase*>& databases() {
  static std::vector<AcDbDatabase*> all;
  return all;
}
bool isAlive(const AcDbDatabase* db) {
  return std::find(databases().begin(), databases().end(), db) != databases().end();
}

namespace {
bool s_bClientFaulted = false;

// The stubs of databases that went: ids of their objects stay safe to ask
// and open to an error, as an erased object's do.
std::vector<std::unique_ptr<AcDbStub[]>>& deadStubs() {
  static auto* dead = new std::vector<std::unique_ptr<AcDbStub[]>>;
  return *dead;
}
}  // namespace

void clientFaulted(std::exception_ptr fault) {
  s_bClientFaulted = true;
  try {
    std::rethrow_exception(fault);
  } catch (const std::exception& e) {
    journalf(L"a database reactor threw: %s", e.what());
  } catch (...) {
    journalf(L"a database reactor threw");
  }
}

bool exchangeClientFault(bool faulted) { return std::exchange(s_bClientFaulted, faulted); }

ReactorList<AcDbDatabaseReactor>& databaseReactors(const AcDbDatabase* db) { return db->impl()->reactors; }

ReactorList<DatabaseWatcher>& databaseWatchers() {
  static auto* watchers = new ReactorList<DatabaseWatcher>;
  return *watchers;
}

template <class F>
static void notifyWatchers(F&& call) {
  databaseWatchers().notify(call);
}

AcDbStub* stubForHandle(AcDbDatabase* db, AcDbHandle handle) { return db->impl()->stubFor(db, handle); }
void raiseHandseed(AcDbDatabase* db, AcDbHandle seed) {
  db->impl()->nextHandle = std::max(db->impl()->nextHandle, seed);
}
void setNamedObjectsDictionary(AcDbDatabase* db, AcDbObjectId id) { db->impl()->nod = id; }
void setDatabaseFileName(AcDbDatabase* db, const std::wstring& name) { db->impl()->fileName = name; }
std::vector<std::pair<std::wstring, std::wstring>> headerSysVars(const AcDbDatabase* db) {
  return {db->impl()->header.begin(), db->impl()->header.end()};
}

}  // namespace kvhost

// ---- Database reactors: every notification does nothing by default ----

AcDbDatabaseReactor::~AcDbDatabaseReactor() = default;
void AcDbDatabaseReactor::objectAppended(const AcDbDatabase*, const AcDbObject*) {}
void AcDbDatabaseReactor::objectUnAppended(const AcDbDatabase*, const AcDbObject*) {}
void AcDbDatabaseReactor::objectReAppended(const AcDbDatabase*, const AcDbObject*) {}
void AcDbDatabaseReactor::objectOpenedForModify(const AcDbDatabase*, const AcDbObject*) {}
void AcDbDatabaseReactor::objectModified(const AcDbDatabase*, const AcDbObject*) {}
void AcDbDatabaseReactor::objectErased(const AcDbDatabase*, const AcDbObject*, Adesk::Boolean) {}
void AcDbDatabaseReactor::headerSysVarWillChange(const AcDbDatabase*, const ACHAR*) {}
void AcDbDatabaseReactor::headerSysVarChanged(const AcDbDatabase*, const ACHAR*, Adesk::Boolean) {}
void AcDbDatabaseReactor::proxyResurrectionCompleted(const AcDbDatabase*, const ACHAR*, AcDbObjectIdArray&) {}
void AcDbDatabaseReactor::goodbye(const AcDbDatabase*) {}

// ---- Databases ----

AcDbDatabase::AcDbDatabase(bool buildDefaultDrawing, bool) : m_pImpl(new Impl) {
  kvhost::databases().push_back(this);
  if (buildDefaultDrawing) {
    auto* nod = new AcDbDictionary;
    addAcDbObject(m_pImpl->nod, nod);
    nod->close();
    m_pImpl->header[L"CLAYER"] = L"0";
  }
  m_pImpl->undoGroups.clear();  // building the drawing is not undoable
  kvhost::notifyWatchers([&](kvhost::DatabaseWatcher* w) { w->databaseConstructed(this); });
}

AcDbDatabase::~AcDbDatabase() {
  kvhost::notifyWatchers([&](kvhost::DatabaseWatcher* w) { w->databaseToBeDestroyed(this); });
  kvhost::notifyDb(this, [&](AcDbDatabaseReactor* r) { r->goodbye(this); });
  kvhost::notifyWatchers([&](kvhost::DatabaseWatcher* w) { w->goodbye(this); });
  if (acdbHostApplicationServices()->workingDatabase() == this) acdbHostApplicationServices()->setWorkingDatabase(nullptr);
  auto& all = kvhost::databases();
  all.erase(std::remove(all.begin(), all.end(), this), all.end());
  m_pImpl->stubs.forEach([](AcDbStub* stub) {
    delete stub->object;
    const AcDbHandle handle = stub->handle;
    *stub = AcDbStub();
    stub->handle = handle;
    stub->erased = true;
  });
  m_pImpl->stubs.moveTo(kvhost::deadStubs());
  delete m_pImpl;
}

Acad::ErrorStatus AcDbDatabase::addAcDbObject(AcDbObjectId& id, AcDbObject* object) {
  if (object == nullptr) return Acad::eInvalidInput;
  if (object->database() != nullptr) return Acad::eAlreadyInDb;
  AcDbStub* stub = m_pImpl->stubFor(this, m_pImpl->nextHandle);
  stub->object = object;
  object->bindStub(stub);
  id = AcDbObjectId(stub);
  kvhost::recordAppendForUndo(object);
  kvhost::notifyDb(this, [&](AcDbDatabaseReactor* r) { r->objectAppended(this, object); });
  return Acad::eOk;
}

AcDbObjectId AcDbDatabase::namedObjectsDictionaryId() const { return m_pImpl->nod; }

Acad::ErrorStatus AcDbDatabase::getNamedObjectsDictionary(AcDbDictionary*& dict, AcDb::OpenMode mode) {
  return acdbOpenObject(dict, m_pImpl->nod, mode);
}

void AcDbDatabase::addReactor(AcDbDatabaseReactor* reactor) const { m_pImpl->reactors.add(reactor); }
void AcDbDatabase::removeReactor(AcDbDatabaseReactor* reactor) const { m_pImpl->reactors.remove(reactor); }
AcArray<AcDbDatabaseReactor*> AcDbDatabase::reactors() const { return m_pImpl->reactors.live(); }

bool AcDbDatabase::undoRecording() const { return !m_pImpl->undoDisabled; }
void AcDbDatabase::disableUndoRecording(bool disable) { m_pImpl->undoDisabled = disable; }

const ACHAR* AcDbDatabase::headerSysVar(const ACHAR* name) const {
  auto it = m_pImpl->header.find(name ? name : L"");
  return it == m_pImpl->header.end() ? nullptr : it->second.c_str();
}

Acad::ErrorStatus AcDbDatabase::setHeaderSysVar(const ACHAR* name, const ACHAR* value) {
  if (name == nullptr || value == nullptr) return Acad::eInvalidInput;
  kvhost::notifyDb(this, [&](AcDbDatabaseReactor* r) { r->headerSysVarWillChange(this, name); });
  m_pImpl->header[name] = value;
  kvhost::notifyDb(this, [&](AcDbDatabaseReactor* r) { r->headerSysVarChanged(this, name, true); });
  return Acad::eOk;
}

AcDbObjectIdArray AcDbDatabase::objectIds(bool includeErased) const {
  AcDbObjectIdArray ids;
  m_pImpl->stubs.forEach([&](AcDbStub* stub) {
    if (stub->object != nullptr && (includeErased || !stub->erased)) ids.append(AcDbObjectId(stub));
  });
  return ids;
}

AcDbObjectId AcDbDatabase::getObjectId(AcDbHandle handle) const {
  return AcDbObjectId(m_pImpl->stubFor(const_cast<AcDbDatabase*>(this), handle));
}

AcDbHandle AcDbDatabase::handseed() const { return m_pImpl->nextHandle; }

Acad::ErrorStatus AcDbDatabase::getFilename(const ACHAR*& fileName) const {
  fileName = m_pImpl->fileName.c_str();
  return Acad::eOk;
}
