// What forwarding costs in heap traffic, and when a retired database
// dispatcher is freed. This program replaces the global operator new and
// delete, which interposes for the host and the module as well.
#include <gtest/gtest.h>
#include <cstdlib>
#include <new>
#include "core_clients.h"

namespace {
long g_allocations = 0;
long g_frees = 0;
bool g_counting = false;
const void* g_watched = nullptr;
bool g_watchedFreed = false;

void* allocate(std::size_t n) {
  if (g_counting) ++g_allocations;
  return std::malloc(n ? n : 1);
}
void release(void* p) {
  if (p == nullptr) return;
  if (g_counting) ++g_frees;
  if (p == g_watched) g_watchedFreed = true;
  std::free(p);
}
}  // namespace

void* operator new(std::size_t n) {
  if (void* p = allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  if (void* p = allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace {

using namespace core;

// Clients that count and do nothing that allocates.
struct CountingDb : KOVADatabaseReactorBase {
  int heard = 0;
  void objectAppended(const AcDbDatabase*, const AcDbObject*) override { ++heard; }
  void objectUnAppended(const AcDbDatabase*, const AcDbObject*) override { ++heard; }
  void objectReAppended(const AcDbDatabase*, const AcDbObject*) override { ++heard; }
  void objectOpenedForModify(const AcDbDatabase*, const AcDbObject*) override { ++heard; }
  void objectModified(const AcDbDatabase*, const AcDbObject*) override { ++heard; }
  void objectErased(const AcDbDatabase*, const AcDbObject*, Adesk::Boolean) override { ++heard; }
  void headerSysVarWillChange(const AcDbDatabase*, const ACHAR*) override { ++heard; }
  void headerSysVarChanged(const AcDbDatabase*, const ACHAR*, Adesk::Boolean) override { ++heard; }
  void proxyResurrectionCompleted(const AcDbDatabase*, const ACHAR*, AcDbObjectIdArray&) override { ++heard; }
  void goodbye(const AcDbDatabase*) override { ++heard; }
};
struct CountingDoc : KOVADocReactorBase {
  int heard = 0;
  void documentCreateStarted(AcApDocument*) override { ++heard; }
  void documentCreated(AcApDocument*) override { ++heard; }
  void documentToBeDestroyed(AcApDocument*) override { ++heard; }
  void documentDestroyed(const ACHAR*) override { ++heard; }
  void documentCreateCanceled(AcApDocument*) override { ++heard; }
  void documentLockModeWillChange(AcApDocument*, AcAp::DocLockMode, AcAp::DocLockMode, AcAp::DocLockMode,
                                  const ACHAR*) override {
    ++heard;
  }
  void documentLockModeChangeVetoed(AcApDocument*, const ACHAR*) override { ++heard; }
  void documentLockModeChanged(AcApDocument*, AcAp::DocLockMode, AcAp::DocLockMode, AcAp::DocLockMode,
                               const ACHAR*) override {
    ++heard;
  }
  void documentBecameCurrent(AcApDocument*) override { ++heard; }
  void documentToBeActivated(AcApDocument*) override { ++heard; }
  void documentToBeDeactivated(AcApDocument*) override { ++heard; }
  void documentActivationModified(bool) override { ++heard; }
  void documentActivated(AcApDocument*) override { ++heard; }
};

using DbCall = std::function<void(AcDbDatabaseReactor*)>;
using DocCall = std::function<void(AcApDocManagerReactor*)>;

// A client that answers a modification with nested ones, down to a depth.
struct NestingDb : CountingDb {
  AcDbDatabase* db = nullptr;
  const DbCall* nested = nullptr;
  int depth = 0, deepest = 0;
  void objectModified(const AcDbDatabase*, const AcDbObject*) override {
    ++heard;
    if (depth == 3) return;
    ++depth;
    deepest = std::max(deepest, depth);
    kvhost::raiseDatabaseEvent(db, *nested);
    --depth;
  }
};
// A document client that raises a database notification inside its own.
struct NestingDoc : CountingDoc {
  AcDbDatabase* db = nullptr;
  const DbCall* nested = nullptr;
  void documentActivated(AcApDocument*) override {
    ++heard;
    kvhost::raiseDatabaseEvent(db, *nested);
  }
};

class Forwarding : public ::testing::Test {
 protected:
  void SetUp() override {
    a = kvhost::newDocument(L"A.dwg");
    line = kvhost::addEntity(a, newLine());
    b = kvhost::newDocument(L"B.dwg");
    AcDbObject* o = nullptr;
    ASSERT_EQ(acdbOpenAcDbObject(o, line, AcDb::kForRead), Acad::eOk);
    o->close();
    obj = o;
    ids.append(line);
    AcDbDatabase* db = a->database();
    dbCalls = {
        [=](AcDbDatabaseReactor* r) { r->objectAppended(db, o); },
        [=](AcDbDatabaseReactor* r) { r->objectUnAppended(db, o); },
        [=](AcDbDatabaseReactor* r) { r->objectReAppended(db, o); },
        [=](AcDbDatabaseReactor* r) { r->objectOpenedForModify(db, o); },
        [=](AcDbDatabaseReactor* r) { r->objectModified(db, o); },
        [=](AcDbDatabaseReactor* r) { r->objectErased(db, o, true); },
        [=](AcDbDatabaseReactor* r) { r->headerSysVarWillChange(db, L"LTSCALE"); },
        [=](AcDbDatabaseReactor* r) { r->headerSysVarChanged(db, L"LTSCALE", true); },
        [this, db](AcDbDatabaseReactor* r) { r->proxyResurrectionCompleted(db, L"app", ids); },
        // goodbye is left out: the dispatcher leaves a database that says it.
    };
    AcApDocument* d = b;
    // b's database is detached and attached again on the way.
    docCalls = {
        [=](AcApDocManagerReactor* r) { r->documentToBeDestroyed(d); },
        [=](AcApDocManagerReactor* r) { r->documentDestroyed(L"B.dwg"); },
        [=](AcApDocManagerReactor* r) { r->documentCreateCanceled(d); },
        [=](AcApDocManagerReactor* r) { r->documentCreateStarted(d); },
        [=](AcApDocManagerReactor* r) { r->documentCreated(d); },
        [=](AcApDocManagerReactor* r) { r->documentLockModeWillChange(d, AcAp::kNotLocked, AcAp::kWrite, AcAp::kWrite, L""); },
        [=](AcApDocManagerReactor* r) { r->documentLockModeChanged(d, AcAp::kNotLocked, AcAp::kWrite, AcAp::kWrite, L""); },
        [=](AcApDocManagerReactor* r) { r->documentLockModeChangeVetoed(d, L""); },
        [=](AcApDocManagerReactor* r) { r->documentBecameCurrent(d); },
        [=](AcApDocManagerReactor* r) { r->documentToBeActivated(d); },
        [=](AcApDocManagerReactor* r) { r->documentToBeDeactivated(d); },
        [=](AcApDocManagerReactor* r) { r->documentActivationModified(true); },
        [=](AcApDocManagerReactor* r) { r->documentActivated(d); },
    };
  }
  void round() {
    for (const DbCall& call : dbCalls) kvhost::raiseDatabaseEvent(a->database(), call);
    for (const DbCall& call : dbCalls) kvhost::raiseDatabaseEvent(b->database(), call);
    for (const DocCall& call : docCalls) kvhost::raiseDocManagerEvent(call);
  }
  // Heap allocations and frees made by many rounds after two to warm up.
  long measure() {
    round();
    round();
    g_allocations = g_frees = 0;
    g_counting = true;
    for (int i = 0; i < 200; ++i) round();
    g_counting = false;
    return g_allocations + g_frees;
  }

  AcApDocument* a = nullptr;
  AcApDocument* b = nullptr;
  AcDbObjectId line;
  const AcDbObject* obj = nullptr;
  AcDbObjectIdArray ids;
  std::vector<DbCall> dbCalls;
  std::vector<DocCall> docCalls;
};

TEST_F(Forwarding, AllocatesNothingOnceWarm) {
  // The host's raising path alone, with no client listening.
  EXPECT_EQ(measure(), 0);

  CountingDb first, second;
  NestingDb nester;
  nester.db = a->database();
  nester.nested = &dbCalls[4];
  auto* plain = new CountingDb;
  g_ReactorManager.addDbReactor(plain, 5);
  CountingDoc doc1;
  NestingDoc doc2;
  doc2.db = a->database();
  doc2.nested = &dbCalls[4];
  AcApDocManagerReactor plainDoc;
  g_ReactorManager.addDocReactor(&plainDoc, 5);
  ASSERT_EQ(attachments(a->database()), 1);

  EXPECT_EQ(measure(), 0);
  EXPECT_EQ(nester.deepest, 3);
  EXPECT_GT(first.heard, 0);
  EXPECT_EQ(first.heard, plain->heard);
  EXPECT_EQ(doc1.heard, doc2.heard);
  EXPECT_GT(doc1.heard, 0);
  // b's database was attached again by the last documentCreated of each round.
  EXPECT_EQ(attachments(b->database()), 1);

  g_ReactorManager.removeDocReactor(&plainDoc);
  g_ReactorManager.removeDbReactor(plain);
  delete plain;
}

// A client that leaves as the last database client from inside a
// notification, optionally from a nested one, and what was freed meanwhile.
struct Leaver : AcDbDatabaseReactor {
  AcDbDatabase* db = nullptr;
  const DbCall* nested = nullptr;
  bool freedInside = true, freedBetween = true;
  void objectReAppended(const AcDbDatabase*, const AcDbObject*) override {
    if (nested != nullptr) {
      kvhost::raiseDatabaseEvent(db, *nested);
      freedBetween = g_watchedFreed;  // back in the outer notification
    } else {
      leave();
    }
  }
  void objectModified(const AcDbDatabase*, const AcDbObject*) override { leave(); }
  void leave() {
    g_ReactorManager.removeDbReactor(this);
    freedInside = g_watchedFreed;
  }
};

TEST_F(Forwarding, ARetiredDatabaseDispatcherIsFreedWhenItsLastNotificationReturns) {
  for (bool nesting : {false, true}) {
    Leaver leaver;
    leaver.db = a->database();
    leaver.nested = nesting ? &dbCalls[4] : nullptr;
    g_ReactorManager.addDbReactor(&leaver, 0);
    g_watched = g_ReactorManager.dbReactorDispatcher();
    g_watchedFreed = false;
    kvhost::raiseDatabaseEvent(a->database(), dbCalls[2]);  // objectReAppended
    EXPECT_FALSE(leaver.freedInside) << "nesting " << nesting;
    if (nesting) {
      EXPECT_FALSE(leaver.freedBetween);
    }
    EXPECT_TRUE(g_watchedFreed) << "nesting " << nesting;
    EXPECT_EQ(g_ReactorManager.dbReactorDispatcher(), nullptr);
    EXPECT_TRUE(a->database()->reactors().isEmpty());
    g_watched = nullptr;
  }
}

}  // namespace
