// The pickfirst service through the host: the selection read once per
// change, its common class, the redraw set drained when the outermost
// handling ends, the filter flag, and the redraw set pruned when drawings close.
#include <gtest/gtest.h>
#include <KvTrace.h>
#include <algorithm>
#include <memory>
#include <stdexcept>
#include "editor_clients.h"

using namespace edtest;

namespace {

// A client database reactor: which objects it heard opened or modified.
class DbClient : public KOVADatabaseReactorBase {
 public:
  void objectOpenedForModify(const AcDbDatabase*, const AcDbObject* obj) override { opened.push_back(obj->objectId()); }
  void objectModified(const AcDbDatabase*, const AcDbObject* obj) override { modified.push_back(obj->objectId()); }
  std::vector<AcDbObjectId> opened, modified;
};

AcDbObjectIdArray idArray(std::initializer_list<AcDbObjectId> ids) {
  AcDbObjectIdArray out;
  for (const AcDbObjectId& id : ids) out.append(id);
  return out;
}

void paint(AcDbObjectId id, Adesk::UInt16 color) {
  ASSERT_EQ(kvhost::modifyObject(id, [&](AcDbObject* o) { AcDbEntity::cast(o)->setColorIndex(color); }), Acad::eOk);
}

class EditorPickfirst : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(startHub()) << kvhost::lastModuleError().c_str();
    doc = kvhost::newDocument(L"pickfirst.dwg");
    line1 = kvhost::addEntity(doc, new AcDbLine(AcGePoint3d(0, 0, 0), AcGePoint3d(1, 0, 0)));
    line2 = kvhost::addEntity(doc, new AcDbLine(AcGePoint3d(0, 1, 0), AcGePoint3d(1, 1, 0)));
    circle = kvhost::addEntity(doc, new AcDbCircle(AcGePoint3d(3, 0, 0), 1.0));
    text = kvhost::addEntity(doc, new AcDbText(AcGePoint3d(5, 0, 0), L"note"));
    a = std::make_unique<Client>("A");
    b = std::make_unique<Client>("B");
    p = std::make_unique<PlainClient>("P", 0);
    heard().clear();
  }
  void TearDown() override {
    a.reset();
    b.reset();
    p.reset();
    for (AcApDocument* d : kvhost::documents()) kvhost::closeDocument(d);
  }

  AcApDocument* doc = nullptr;
  AcDbObjectId line1, line2, circle, text;
  std::unique_ptr<Client> a, b;
  std::unique_ptr<PlainClient> p;
};

long long homogenityRuns(long long since) {
  auto entries = KvTrace::recentEntries(static_cast<size_t>(KvTrace::entryCount() - since));
  return std::count(entries.begin(), entries.end(), L"enter KOVAEditorReactorBase::homogenity");
}

TEST_F(EditorPickfirst, SelectionIsReadOnceAndEveryBaseClientGetsTheSameSet) {
  long long before = KvTrace::entryCount();
  kvhost::setPickfirst(idArray({line1, circle}));
  EXPECT_EQ(homogenityRuns(before), 1);
  ASSERT_EQ(a->pickfirsts.size(), 1u);
  ASSERT_EQ(b->pickfirsts.size(), 1u);
  const PickfirstSeen seenA = a->pickfirsts[0], seenB = b->pickfirsts[0];
  EXPECT_EQ(seenA.ids, (std::vector<AcDbObjectId>{line1, circle}));
  EXPECT_EQ(seenA.cls, AcDbCurve::desc());
  EXPECT_NE(seenA.ss0, 0);
  EXPECT_EQ(seenB.ids, seenA.ids);
  EXPECT_EQ(seenB.cls, seenA.cls);
  EXPECT_EQ(seenB.ss0, seenA.ss0);  // one selection set for all clients
  EXPECT_EQ(seenA.openSets, 1);
  EXPECT_TRUE(seenA.filterOn);
  EXPECT_EQ(kvhost::openSelectionSetCount(), 0);
  EXPECT_FALSE(g_ReactorManager.filterReactors());

  // The host names every set it hands out anew: one name further means one read.
  kvhost::setPickfirst(idArray({text}));
  ASSERT_EQ(a->pickfirsts.size(), 2u);
  EXPECT_EQ(a->pickfirsts[1].ss0, seenA.ss0 + 1);
  EXPECT_EQ(b->pickfirsts[1].ss0, seenA.ss0 + 1);
  EXPECT_EQ(kvhost::openSelectionSetCount(), 0);

  // No pickfirst set: the clients still hear of it, with nothing in it.
  kvhost::setPickfirst(AcDbObjectIdArray());
  ASSERT_EQ(b->pickfirsts.size(), 3u);
  EXPECT_TRUE(b->pickfirsts[2].ids.empty());
  EXPECT_EQ(b->pickfirsts[2].cls, nullptr);
  EXPECT_EQ(b->pickfirsts[2].ss0, 0);
  EXPECT_EQ(b->pickfirsts[2].openSets, 0);

  // The plain reactor has no form of the notification that carries the set,
  // and the hub does not call the form without arguments on anybody.
  EXPECT_EQ(whoHeard("pickfirstModified(ss,ids,cls)"), (std::vector<std::string>{"A", "B", "A", "B", "A", "B"}));
  EXPECT_TRUE(whoHeard("pickfirstModified").empty());
}

TEST_F(EditorPickfirst, CommonClassIsTheMostDerivedClassAllEntitiesShare) {
  AcDbObjectId erased = kvhost::addEntity(doc, new AcDbLine(AcGePoint3d(0, 2, 0), AcGePoint3d(1, 2, 0)));
  ASSERT_EQ(kvhost::eraseObject(erased), Acad::eOk);
  struct Case {
    const char* what;
    AcDbObjectIdArray ids;
    AcRxClass* cls;
  };
  const std::vector<Case> cases = {
      {"line and circle", idArray({line1, circle}), AcDbCurve::desc()},
      {"circle and line", idArray({circle, line1}), AcDbCurve::desc()},
      {"line and text", idArray({line1, text}), AcDbEntity::desc()},
      {"text, circle and line", idArray({text, circle, line2}), AcDbEntity::desc()},
      {"lines only", idArray({line1, line2}), AcDbLine::desc()},
      {"one circle", idArray({circle}), AcDbCircle::desc()},
      {"empty set", AcDbObjectIdArray(), nullptr},
      {"an entity that cannot be opened", idArray({line1, erased}), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    a->pickfirsts.clear();
    kvhost::setPickfirst(c.ids);
    ASSERT_EQ(a->pickfirsts.size(), 1u);
    EXPECT_EQ(a->pickfirsts[0].cls, c.cls);
    EXPECT_EQ(a->pickfirsts[0].ids, std::vector<AcDbObjectId>(c.ids.begin(), c.ids.end()));
    EXPECT_EQ(KOVAEditorReactorBase::homogenity(c.ids), c.cls);
  }
}

TEST_F(EditorPickfirst, QueuedEntitiesAreRedrawnOnceWhenTheOutermostHandlingEnds) {
  int depth = 0;
  a->onPickfirst = [&](Client&, const AcArray<AcDbObjectId>&) {
    if (++depth == 1) {
      KOVAEditorReactorBase::redrawEntity(line1);
      KOVAEditorReactorBase::redrawEntity(line1);
      KOVAEditorReactorBase::redrawEntity(circle);
      kvhost::setPickfirst(idArray({text}));  // a nested change, handled at once
      // The nested handling adds to the outer set and leaves the redraw to it.
      EXPECT_EQ(kvhost::redrawCount(line1), 0);
      EXPECT_EQ(kvhost::redrawCount(text), 0);
      EXPECT_EQ(Client::queued(), (std::vector<AcDbObjectId>{line1, circle, text, line2}));
    } else {
      KOVAEditorReactorBase::redrawEntity(text);
      KOVAEditorReactorBase::redrawEntity(line1);
    }
    --depth;
  };
  b->onPickfirst = [&](Client&, const AcArray<AcDbObjectId>&) {
    KOVAEditorReactorBase::redrawEntity(line2);
    EXPECT_EQ(kvhost::redrawCount(text), 0);
  };
  kvhost::setPickfirst(idArray({line1}));
  // Each client records a change when its handler is done: the nested one first.
  EXPECT_EQ(whoHeard("pickfirstModified(ss,ids,cls)"), (std::vector<std::string>{"A", "B", "A", "B"}));
  ASSERT_EQ(a->pickfirsts.size(), 2u);
  EXPECT_EQ(a->pickfirsts[1].ids, std::vector<AcDbObjectId>{text});
  EXPECT_EQ(a->pickfirsts[1].cls, AcDbText::desc());
  EXPECT_EQ(a->pickfirsts[1].openSets, 2);
  for (AcDbObjectId id : {line1, line2, circle, text}) EXPECT_EQ(kvhost::redrawCount(id), 1);
  EXPECT_TRUE(Client::queued().empty());
  EXPECT_FALSE(KOVAEditorReactorBase::isDuringRedrawEntity());
  EXPECT_EQ(kvhost::openSelectionSetCount(), 0);
  EXPECT_FALSE(g_ReactorManager.filterReactors());

  // The next change starts from an empty set.
  a->onPickfirst = b->onPickfirst = nullptr;
  kvhost::setPickfirst(idArray({line2}));
  for (AcDbObjectId id : {line1, line2, circle, text}) EXPECT_EQ(kvhost::redrawCount(id), 1);
}

// A client registered during a handling replaces the dispatcher; a change
// nested after that reaches the new one, and must still leave the outer
// handling's queue and its redraw alone.
TEST_F(EditorPickfirst, ANestedChangeAfterTheDispatcherWasReplacedKeepsTheOuterQueue) {
  std::unique_ptr<Client> late;
  a->onPickfirst = [&](Client&, const AcArray<AcDbObjectId>&) {
    if (late) return;
    KOVAEditorReactorBase::redrawEntity(line1);
    late = std::make_unique<Client>("late");
    kvhost::setPickfirst(idArray({text}));
    EXPECT_EQ(kvhost::redrawCount(line1), 0);
    EXPECT_EQ(Client::queued(), std::vector<AcDbObjectId>{line1});
  };
  kvhost::setPickfirst(idArray({line1}));
  EXPECT_EQ(kvhost::redrawCount(line1), 1);
  EXPECT_TRUE(Client::queued().empty());
  EXPECT_FALSE(g_ReactorManager.filterReactors());

  // The fresh dispatcher handles the next change as an outermost one.
  a->onPickfirst = [&](Client&, const AcArray<AcDbObjectId>&) { KOVAEditorReactorBase::redrawEntity(circle); };
  kvhost::setPickfirst(idArray({line2}));
  EXPECT_EQ(kvhost::redrawCount(circle), 1);
  a->onPickfirst = nullptr;
}

TEST_F(EditorPickfirst, DatabaseClientsHearNothingWhileAChangeIsHandled) {
  DbClient dbClient;
  paint(line1, 1);
  ASSERT_EQ(dbClient.modified, std::vector<AcDbObjectId>{line1});
  dbClient.opened.clear();
  dbClient.modified.clear();
  a->onPickfirst = [&](Client&, const AcArray<AcDbObjectId>&) {
    EXPECT_TRUE(g_ReactorManager.filterReactors());
    paint(line1, 2);
    KOVAEditorReactorBase::redrawEntity(line2);
    kvhost::setSysVar(L"CLAYER", L"0");  // editor notifications still go through
  };
  kvhost::setPickfirst(idArray({line1, line2}));
  EXPECT_EQ(kvhost::redrawCount(line2), 1);
  EXPECT_TRUE(dbClient.opened.empty());
  EXPECT_TRUE(dbClient.modified.empty());
  EXPECT_EQ(whoHeard("sysVarWillChange"), (std::vector<std::string>{"A", "B", "P"}));
  EXPECT_FALSE(g_ReactorManager.filterReactors());

  a->onPickfirst = nullptr;
  paint(line1, 3);
  EXPECT_EQ(dbClient.modified, std::vector<AcDbObjectId>{line1});
}

TEST_F(EditorPickfirst, ClientThatThrowsLeavesNoHandlingStateBehind) {
  DbClient dbClient;
  KvTrace::clearCrashReports();
  a->onPickfirst = [&](Client&, const AcArray<AcDbObjectId>&) {
    KOVAEditorReactorBase::redrawEntity(line1);
    throw std::runtime_error("client fault");
  };
  kvhost::setPickfirst(idArray({line1}));
  ASSERT_EQ(KvTrace::crashReports().size(), 1u);
  EXPECT_EQ(KvTrace::crashReports()[0].function, L"KOVAEditorReactorDispathcer::pickfirstModified");
  EXPECT_FALSE(g_ReactorManager.filterReactors());
  EXPECT_EQ(kvhost::redrawCount(line1), 0);  // what was queued is discarded
  EXPECT_TRUE(Client::queued().empty());
  EXPECT_EQ(kvhost::openSelectionSetCount(), 0);
  paint(text, 4);
  EXPECT_EQ(dbClient.modified, std::vector<AcDbObjectId>{text});

  // The next change is handled as the outermost one again: emptied first,
  // redrawn at its end, database clients silent meanwhile.
  dbClient.modified.clear();
  a->onPickfirst = [&](Client&, const AcArray<AcDbObjectId>&) {
    KOVAEditorReactorBase::redrawEntity(circle);
    paint(text, 5);
  };
  kvhost::setPickfirst(idArray({circle}));
  EXPECT_EQ(kvhost::redrawCount(circle), 1);
  EXPECT_EQ(kvhost::redrawCount(line1), 0);
  EXPECT_TRUE(dbClient.modified.empty());
  EXPECT_FALSE(g_ReactorManager.filterReactors());

  // A fault in a nested handling leaves the outer one to finish normally.
  int depth = 0;
  a->onPickfirst = [&](Client&, const AcArray<AcDbObjectId>&) {
    ++depth;
    struct Leave {
      int& d;
      ~Leave() { --d; }
    } leave{depth};
    KOVAEditorReactorBase::redrawEntity(depth == 1 ? line2 : text);
    if (depth == 1)
      kvhost::setPickfirst(idArray({text}));
    else
      throw std::runtime_error("nested fault");
  };
  kvhost::setPickfirst(idArray({line2}));
  EXPECT_EQ(KvTrace::crashReports().size(), 2u);
  EXPECT_EQ(kvhost::redrawCount(line2), 1);
  EXPECT_EQ(kvhost::redrawCount(text), 1);
  EXPECT_FALSE(g_ReactorManager.filterReactors());
  EXPECT_EQ(kvhost::openSelectionSetCount(), 0);
  a->onPickfirst = nullptr;
}

TEST_F(EditorPickfirst, RedrawSetDropsTheIdsOfADrawingThatCloses) {
  AcApDocument* other = kvhost::newDocument(L"other.dwg");
  AcDbObjectId b1 = kvhost::addEntity(other, new AcDbLine(AcGePoint3d(0, 0, 0), AcGePoint3d(2, 0, 0)));
  AcDbObjectId b2 = kvhost::addEntity(other, new AcDbCircle(AcGePoint3d(0, 0, 0), 2.0));
  for (AcDbObjectId id : {line1, b1, circle, line2, b2}) KOVAEditorReactorBase::redrawEntity(id);
  std::vector<AcDbObjectId> whenTold;
  a->onHear = [&](const std::string& what) {
    if (what.rfind("databaseToBeDestroyed", 0) == 0) whenTold = Client::queued();
  };
  kvhost::closeDocument(doc);
  a->onHear = nullptr;
  EXPECT_EQ(whenTold.size(), 5u);  // the clients are told before the set is pruned
  EXPECT_EQ(Client::queued(), (std::vector<AcDbObjectId>{b1, b2}));

  ASSERT_EQ(kvhost::runCommand(L"TOUCH"), kvhost::CommandOutcome::kEnded);
  EXPECT_EQ(kvhost::redrawCount(b1), 1);
  EXPECT_EQ(kvhost::redrawCount(b2), 1);
  EXPECT_TRUE(Client::queued().empty());
}

TEST_F(EditorPickfirst, RedrawSetHoldsNoIdOfAClosedDrawingWhileNoEditorClientIsRegistered) {
  AcApDocument* other = kvhost::newDocument(L"other.dwg");
  AcDbObjectId b1 = kvhost::addEntity(other, new AcDbLine(AcGePoint3d(0, 0, 0), AcGePoint3d(2, 0, 0)));
  KOVAEditorReactorBase::redrawEntity(line1);
  KOVAEditorReactorBase::redrawEntity(b1);
  a.reset();
  b.reset();
  p.reset();
  ASSERT_EQ(g_ReactorManager.edReactorDispatcher(), nullptr);
  KOVAEditorReactorBase::redrawEntity(line2);  // queued by a client of another kind
  const std::vector<AcDbObjectId> closing = {line1, line2, circle, text};
  kvhost::closeDocument(doc);
  for (const AcDbObjectId& id : Client::queued())
    EXPECT_EQ(std::find(closing.begin(), closing.end(), id), closing.end()) << "an id of the closed drawing is queued";

  // The next drain of the set, at the end of a command, finds only live ids.
  a = std::make_unique<Client>("A");
  for (const AcDbObjectId& id : Client::queued())
    EXPECT_EQ(std::find(closing.begin(), closing.end(), id), closing.end()) << "an id of the closed drawing is queued";
  ASSERT_EQ(kvhost::runCommand(L"TOUCH", [&] { KOVAEditorReactorBase::redrawEntity(b1); }), kvhost::CommandOutcome::kEnded);
  EXPECT_EQ(kvhost::redrawCount(b1), 1);
  EXPECT_TRUE(Client::queued().empty());
}

}  // namespace
