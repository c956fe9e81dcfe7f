// What forwarding costs in heap traffic, and when a retired database dispatcher
// is freed: this program counts every allocation and free, the host's and the module's too.
#include <gtest/gtest.h>
#include <KOVATools.h>
#include <allocations.h>
#include <memory>
#include <recorders.h>

namespace {

using namespace rec;
using DbCall = std::function<void(AcDbDatabaseReactor*)>;
using DocCall = std::function<void(AcApDocManagerReactor*)>;
using EdCall = std::function<void(AcEditorReactor*)>;

class Forwarding : public TwoDrawings {
 protected:
  void SetUp() override {
    TwoDrawings::SetUp();
    obj = lineObject();
    ids.append(line);
  }
  const AcDbObject* obj = nullptr;
};

// The counts reach into the host's library, or every zero below would be empty.
TEST(Counting, SeesWhatTheHostAllocates) {
  const std::string text(100, 'x');
  EXPECT_GT(allocations::count([&] { kvhost::fromUtf8(text); }), 0);
}

TEST_F(Forwarding, AllocatesNothingOnceWarm) {
  AcDbDatabase* db = a->database();
  const std::vector<DbCall> dbCalls = {
      [&](AcDbDatabaseReactor* r) { r->objectModified(db, obj); },
      [&](AcDbDatabaseReactor* r) { r->objectErased(db, obj, true); },
      [&](AcDbDatabaseReactor* r) { r->proxyResurrectionCompleted(db, L"app", ids); },
  };
  // b's database is detached and attached again on the way.
  const std::vector<DocCall> docCalls = {
      [&](AcApDocManagerReactor* r) { r->documentToBeDestroyed(b); },
      [&](AcApDocManagerReactor* r) { r->documentCreateCanceled(b); },
      [&](AcApDocManagerReactor* r) { r->documentCreated(b); },
      [&](AcApDocManagerReactor* r) { r->documentLockModeChanged(b, AcAp::kNotLocked, AcAp::kWrite, AcAp::kWrite, L""); },
      [&](AcApDocManagerReactor* r) { r->documentActivated(b); },
  };
  AcDbIdMapping map;
  const std::vector<EdCall> edCalls = {
      [&](AcEditorReactor* r) { r->beginDeepClone(db, map); },
      [&](AcEditorReactor* r) { r->sysVarWillChange(L"CLAYER"); },
      [&](AcEditorReactor* r) { r->xrefSubCommandStart(kReload, ids, nullptr, nullptr); },
      [&](AcEditorReactor* r) { r->viewChanged(); },
  };
  auto round = [&] {
    for (const DbCall& call : dbCalls) kvhost::raiseDatabaseEvent(db, call);
    for (const DocCall& call : docCalls) kvhost::raiseDocManagerEvent(call);
    for (const EdCall& call : edCalls) kvhost::raiseEditorEvent(call);
  };
  // Heap traffic of many rounds after two to warm up.
  auto measure = [&] {
    round();
    round();
    return allocations::count([&] {
      for (int i = 0; i < 100; ++i) round();
    });
  };
  EXPECT_EQ(measure(), 0);  // the host's raising path alone, with no client listening

  // Clients of every kind, on the bases and plain, that answer with nested notifications.
  BaseDb dbNester("n"), dbBase("b");
  PlainDb dbPlain("p", 5);
  BaseDoc docNester("n");
  PlainDoc docPlain("p", 5);
  Client edNester("n");
  PlainEd edPlain("p", 5);
  int depth = 0;
  dbNester.hook = [&](std::string_view n) {
    if (n == "objectModified" && depth < 3) {
      ++depth;
      kvhost::raiseDatabaseEvent(db, dbCalls[0]);
      --depth;
    }
  };
  docNester.hook = [&](std::string_view n) {
    if (n == "documentActivated") kvhost::raiseDatabaseEvent(db, dbCalls[0]);
  };
  edNester.hook = [&](std::string_view n) { if (n == "viewChanged") kvhost::raiseEditorEvent(edCalls[1]); };
  dbNester.quiet = dbBase.quiet = dbPlain.quiet = docNester.quiet = docPlain.quiet = edNester.quiet = edPlain.quiet =
      true;
  EXPECT_EQ(measure(), 0);
  EXPECT_EQ(attachments(b->database()), 1);
  EXPECT_GT(dbBase.calls, 0);
  EXPECT_EQ(dbBase.calls, dbPlain.calls);
  EXPECT_EQ(docNester.calls, docPlain.calls);
  EXPECT_EQ(edNester.calls, edPlain.calls);
}

// A pickfirst change costs the host's selection services and nothing more.
TEST_F(Forwarding, APickfirstHandlingAllocatesNothingBeyondTheHostsSelectionServices) {
  AcDbObjectIdArray selected;
  for (int i = 0; i < 20; ++i) selected.append(kvhost::addEntity(b, newLine(i)));
  kvhost::setPickfirst(selected);
  Client client("client");
  client.quiet = true;
  const EdCall pickfirst = [](AcEditorReactor* r) { r->pickfirstModified(); };
  auto hostServices = [&] {
    ads_name ss;
    ASSERT_EQ(acedSSGet(L"_I", nullptr, nullptr, nullptr, ss), RTNORM);
    ids.setLogicalLength(0);
    KOVASelectionTools::enameSetToObjIds(ss, ids);
    acedSSFree(ss);
  };
  for (int n = 0; n < 2; ++n) {  // warm-up
    kvhost::raiseEditorEvent(pickfirst);
    hostServices();
  }
  const long services = allocations::count(hostServices);
  EXPECT_EQ(allocations::count([&] { kvhost::raiseEditorEvent(pickfirst); }), services);
  EXPECT_EQ(ids.length(), 20);
}

// A client that leaves as the last database client from inside a
// notification, optionally from a nested one, and what was freed meanwhile.
struct Leaver : AcDbDatabaseReactor {
  AcDbDatabase* db = nullptr;
  bool nesting = false, freedInside = true, freedBetween = true;
  void objectReAppended(const AcDbDatabase*, const AcDbObject* o) override {
    if (!nesting) return leave();
    kvhost::raiseDatabaseEvent(db, [&](AcDbDatabaseReactor* r) { r->objectModified(db, o); });
    freedBetween = allocations::g_watchedFreed;  // back in the outer notification
  }
  void objectModified(const AcDbDatabase*, const AcDbObject*) override { leave(); }
  void leave() {
    hubRemove(this);
    freedInside = allocations::g_watchedFreed;
  }
};

TEST_F(Forwarding, ARetiredDatabaseDispatcherIsFreedWhenItsLastNotificationReturns) {
  for (bool nesting : {false, true}) {
    SCOPED_TRACE(nesting ? "nested" : "single");
    Leaver leaver;
    leaver.db = a->database();
    leaver.nesting = nesting;
    hubAdd(&leaver, 0);
    allocations::g_watched = g_ReactorManager.dbReactorDispatcher();
    allocations::g_watchedFreed = false;
    kvhost::raiseDatabaseEvent(leaver.db, [&](AcDbDatabaseReactor* r) { r->objectReAppended(leaver.db, obj); });
    EXPECT_FALSE(leaver.freedInside);
    EXPECT_TRUE(!nesting || !leaver.freedBetween);
    EXPECT_TRUE(allocations::g_watchedFreed);
    EXPECT_EQ(dbDispatcher(), nullptr);
    EXPECT_TRUE(leaver.db->reactors().isEmpty());
  }
}

}  // namespace
