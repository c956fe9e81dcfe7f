// The reactor manager's registries, the lifetimes of the dispatchers it owns
// and the registration of the database and document client bases.
#include <gtest/gtest.h>
#include <memory>
#include "core_clients.h"

namespace {

using namespace core;

// The three kinds of client share one set of registry rules.
struct EditorKind {
  using R = AcEditorReactor;
  static void add(R* r, int p) { g_ReactorManager.addEdReactor(r, p); }
  static void remove(R* r) { g_ReactorManager.removeEdReactor(r); }
  static void list(AcArray<R*>& out) { g_ReactorManager.edReactors(out); }
};
struct DatabaseKind {
  using R = AcDbDatabaseReactor;
  static void add(R* r, int p) { g_ReactorManager.addDbReactor(r, p); }
  static void remove(R* r) { g_ReactorManager.removeDbReactor(r); }
  static void list(AcArray<R*>& out) { g_ReactorManager.dbReactors(out); }
};
struct DocumentKind {
  using R = AcApDocManagerReactor;
  static void add(R* r, int p) { g_ReactorManager.addDocReactor(r, p); }
  static void remove(R* r) { g_ReactorManager.removeDocReactor(r); }
  static void list(AcArray<R*>& out) { g_ReactorManager.docReactors(out); }
};

template <class Kind>
class Registry : public ::testing::Test {
 protected:
  using R = typename Kind::R;
  R r[6];
  // The registered reactors as indexes into r.
  std::vector<int> listed() {
    AcArray<R*> out;
    Kind::list(out);
    std::vector<int> at;
    for (R* p : out) at.push_back(static_cast<int>(p - r));
    return at;
  }
  void TearDown() override {
    for (R& each : r) Kind::remove(&each);
  }
};
using Kinds = ::testing::Types<EditorKind, DatabaseKind, DocumentKind>;
TYPED_TEST_SUITE(Registry, Kinds);

TYPED_TEST(Registry, ListsByAscendingPriorityThenRegistration) {
  TypeParam::add(&this->r[0], 0);
  TypeParam::add(&this->r[1], -1);
  TypeParam::add(&this->r[2], 0);
  TypeParam::add(&this->r[3], 7);
  TypeParam::add(&this->r[4], 3);
  TypeParam::add(&this->r[5], -5);
  EXPECT_EQ(this->listed(), (std::vector<int>{5, 1, 0, 2, 4, 3}));
}

TYPED_TEST(Registry, RegisteringAgainMovesTheReactor) {
  for (int i = 0; i < 3; ++i) TypeParam::add(&this->r[i], 0);
  TypeParam::add(&this->r[3], 1);
  TypeParam::add(&this->r[0], 2);
  EXPECT_EQ(this->listed(), (std::vector<int>{1, 2, 3, 0}));
  TypeParam::add(&this->r[0], 0);  // back to its priority, behind the others there
  EXPECT_EQ(this->listed(), (std::vector<int>{1, 2, 0, 3}));
  TypeParam::add(&this->r[1], 0);
  EXPECT_EQ(this->listed(), (std::vector<int>{2, 0, 1, 3}));
}

TYPED_TEST(Registry, RemovalAndIgnoredCalls) {
  TypeParam::add(&this->r[0], 4);
  TypeParam::add(&this->r[1], 4);
  TypeParam::add(&this->r[2], 9);
  TypeParam::add(&this->r[4], 4);
  TypeParam::remove(&this->r[4]);  // the last of a bucket that keeps others
  TypeParam::remove(&this->r[0]);
  TypeParam::remove(&this->r[5]);  // never registered
  TypeParam::remove(nullptr);
  TypeParam::add(nullptr, 5);
  EXPECT_EQ(this->listed(), (std::vector<int>{1, 2}));
  TypeParam::add(&this->r[4], 4);
  EXPECT_EQ(this->listed(), (std::vector<int>{1, 4, 2}));
  // The last reactors of priority 4 leave; priority 4 comes back as a new bucket.
  TypeParam::remove(&this->r[4]);
  TypeParam::remove(&this->r[1]);
  TypeParam::add(&this->r[3], 4);
  TypeParam::add(&this->r[1], 10);
  EXPECT_EQ(this->listed(), (std::vector<int>{3, 2, 1}));
  TypeParam::remove(&this->r[3]);
  TypeParam::remove(&this->r[3]);
  EXPECT_EQ(this->listed(), (std::vector<int>{2, 1}));
}

TYPED_TEST(Registry, ListingReplacesWhatTheArrayHeldAndKeepsItsStorage) {
  using R = typename TypeParam::R;
  TypeParam::add(&this->r[2], 1);
  TypeParam::add(&this->r[4], 0);
  AcArray<R*> out(0, 8);
  for (int i = 0; i < 20; ++i) out.append(&this->r[0]);
  const int storage = out.physicalLength();
  TypeParam::list(out);
  ASSERT_EQ(out.length(), 2);
  EXPECT_EQ(out[0], &this->r[4]);
  EXPECT_EQ(out[1], &this->r[2]);
  EXPECT_EQ(out.physicalLength(), storage);
  // The filter flag silences forwarding, not the registry.
  g_ReactorManager.setFilterReactors(true);
  EXPECT_TRUE(g_ReactorManager.filterReactors());
  TypeParam::list(out);
  EXPECT_EQ(out.length(), 2);
  g_ReactorManager.setFilterReactors(false);
  EXPECT_FALSE(g_ReactorManager.filterReactors());
}

bool editorHas(AcRxEventReactor* r) { return acedEditorPtr()->reactors().contains(r); }

TEST(Dispatchers, TheDocumentDispatcherLivesWithTheModule) {
  auto* doc = static_cast<AcApDocManagerReactor*>(g_ReactorManager.docReactorDispatcher());
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(kvhost::attachedReactors().documentManager, 1);
  AcApDocManagerReactor client;
  g_ReactorManager.addDocReactor(&client, 0);
  g_ReactorManager.removeDocReactor(&client);
  EXPECT_EQ(static_cast<AcApDocManagerReactor*>(g_ReactorManager.docReactorDispatcher()), doc);
  EXPECT_TRUE(acDocManagerPtr()->reactors().contains(doc));
}

TEST(Dispatchers, TheDatabaseDispatcherExistsWhileADatabaseClientIsRegistered) {
  AcApDocument* doc = kvhost::newDocument(L"A.dwg");
  EXPECT_EQ(g_ReactorManager.dbReactorDispatcher(), nullptr);
  EXPECT_EQ(kvhost::attachedReactors(doc).database, 0);
  AcDbDatabaseReactor one, two;
  g_ReactorManager.removeDbReactor(&one);  // nothing to remove, nothing created
  EXPECT_EQ(g_ReactorManager.dbReactorDispatcher(), nullptr);
  g_ReactorManager.addDbReactor(&one, 0);
  AcDbDatabaseReactor* first = dbDispatcher();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(kvhost::attachedReactors(doc).database, 1);
  g_ReactorManager.addDbReactor(&two, 3);
  EXPECT_EQ(dbDispatcher(), first);
  g_ReactorManager.removeDbReactor(&one);
  EXPECT_EQ(dbDispatcher(), first);
  g_ReactorManager.removeDbReactor(&two);
  EXPECT_EQ(g_ReactorManager.dbReactorDispatcher(), nullptr);
  EXPECT_EQ(kvhost::attachedReactors(doc).database, 0);
}

TEST(Dispatchers, EveryEditorRegistrationAttachesAFreshEditorDispatcher) {
  EXPECT_EQ(g_ReactorManager.edReactorDispatcher(), nullptr);
  AcEditorReactor one, two, stranger;
  auto current = [] { return static_cast<AcRxEventReactor*>(g_ReactorManager.edReactorDispatcher()); };
  g_ReactorManager.addEdReactor(&one, 0);
  ASSERT_NE(current(), nullptr);
  EXPECT_EQ(kvhost::attachedReactors().editor, 1);
  g_ReactorManager.addEdReactor(nullptr, 5);  // does not replace it
  EXPECT_EQ(kvhost::attachedReactors().editor, 1);
  size_t before = kvhost::journal().size();
  g_ReactorManager.addEdReactor(&two, 0);
  // The old one was detached and a new one attached, as the last editor reactor.
  ASSERT_EQ(kvhost::attachedReactors().editor, 1);
  EXPECT_EQ(acedEditorPtr()->reactors().last(), current());
  int attached = 0, detached = 0;
  for (size_t i = before; i < kvhost::journal().size(); ++i) {
    attached += kvhost::journal()[i].find(L"editor: reactor attached") != std::wstring::npos;
    detached += kvhost::journal()[i].find(L"editor: reactor detached") != std::wstring::npos;
  }
  EXPECT_EQ(attached, 1);
  EXPECT_EQ(detached, 1);
  g_ReactorManager.removeEdReactor(&stranger);
  g_ReactorManager.removeEdReactor(&one);
  EXPECT_TRUE(editorHas(current()));
  g_ReactorManager.removeEdReactor(&two);
  EXPECT_EQ(current(), nullptr);
  EXPECT_EQ(kvhost::attachedReactors().editor, 0);
}

std::vector<AcDbDatabaseReactor*> dbList() {
  AcArray<AcDbDatabaseReactor*> out;
  g_ReactorManager.dbReactors(out);
  return {out.begin(), out.end()};
}
std::vector<AcApDocManagerReactor*> docList() {
  AcArray<AcApDocManagerReactor*> out;
  g_ReactorManager.docReactors(out);
  return {out.begin(), out.end()};
}

TEST(ClientBases, RegisterAtMinusOneInConstructionOrderForTheirWholeLife) {
  PlainDb plain("plain", 0);
  auto first = std::make_unique<BaseDb>("first", -1);
  BaseDb second("second", -1);
  EXPECT_EQ(dbList(), (std::vector<AcDbDatabaseReactor*>{first.get(), &second, &plain}));
  second.registerAt(5);  // a client that wants another place
  EXPECT_EQ(dbList(), (std::vector<AcDbDatabaseReactor*>{first.get(), &plain, &second}));
  first.reset();
  EXPECT_EQ(dbList(), (std::vector<AcDbDatabaseReactor*>{&plain, &second}));

  BaseDoc a("a", -1), b("b", -1);
  EXPECT_EQ(docList(), (std::vector<AcApDocManagerReactor*>{&a, &b}));
}

TEST(ClientBases, CopiesAreNotRegisteredAndLeaveTheOriginalRegistered) {
  KOVADatabaseReactorBase db;
  KOVADocReactorBase doc;
  {
    KOVADatabaseReactorBase dbCopy(db);
    KOVADocReactorBase docCopy(doc);
    EXPECT_EQ(dbList(), (std::vector<AcDbDatabaseReactor*>{&db}));
    EXPECT_EQ(docList(), (std::vector<AcApDocManagerReactor*>{&doc}));
    KOVADatabaseReactorBase dbOther;
    dbOther = db;
    docCopy = doc;
    EXPECT_EQ(dbList(), (std::vector<AcDbDatabaseReactor*>{&db, &dbOther}));
  }
  EXPECT_EQ(dbList(), (std::vector<AcDbDatabaseReactor*>{&db}));
  EXPECT_EQ(docList(), (std::vector<AcApDocManagerReactor*>{&doc}));
  EXPECT_NE(g_ReactorManager.dbReactorDispatcher(), nullptr);
}

}  // namespace
