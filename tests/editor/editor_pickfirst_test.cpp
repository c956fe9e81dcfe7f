// The pickfirst service through the host: the selection read once per
// change, its common class, the redraw set drained when the outermost
// handling ends, the filter flag, and the redraw set pruned when a drawing closes.
#include <gtest/gtest.h>
#include <KvTrace.h>
#include <algorithm>
#include <memory>
#include <stdexcept>
#include <recorders.h>

using namespace rec;

namespace {

::testing::Environment* const g_endSession = ::testing::AddGlobalTestEnvironment(new EndSessionAtExit);
using Ids = std::vector<AcDbObjectId>;

AcDbObjectIdArray idArray(std::initializer_list<AcDbObjectId> ids) {
  AcDbObjectIdArray out;
  for (const AcDbObjectId& id : ids) out.append(id);
  return out;
}

void paint(AcDbObjectId id, Adesk::UInt16 color) {
  ASSERT_EQ(kvhost::modifyObject(id, [&](AcDbObject* o) { AcDbEntity::cast(o)->setColorIndex(color); }), Acad::eOk);
}
void redraw(AcDbObjectId id) { KOVAEditorReactorBase::redrawEntity(id); }

class EditorPickfirst : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kvhost::loadModule(L"KOVANotification10.arx")) << kvhost::lastModuleError().c_str();
    doc = kvhost::newDocument(L"pickfirst.dwg");
    line1 = kvhost::addEntity(doc, newLine(0));
    line2 = kvhost::addEntity(doc, newLine(1));
    circle = kvhost::addEntity(doc, new AcDbCircle(AcGePoint3d(3, 0, 0), 1.0));
    text = kvhost::addEntity(doc, new AcDbText(AcGePoint3d(5, 0, 0), L"note"));
    a = std::make_unique<Client>("A");
    b = std::make_unique<Client>("B");
    p = std::make_unique<PlainEd>("P", 0);
    heard().clear();
  }
  void TearDown() override {
    a.reset();
    b.reset();
    p.reset();
    for (AcApDocument* d : kvhost::documents()) kvhost::closeDocument(d);
  }
  // The handling is over: nothing queued, no selection set open, the filter flag down.
  void expectNoHandlingState() {
    EXPECT_TRUE(Client::queued().empty());
    EXPECT_EQ(kvhost::openSelectionSetCount(), 0);
    EXPECT_FALSE(g_ReactorManager.filterReactors());
  }

  AcApDocument* doc = nullptr;
  AcDbObjectId line1, line2, circle, text;
  std::unique_ptr<Client> a, b;
  std::unique_ptr<PlainEd> p;
};

TEST_F(EditorPickfirst, EveryBaseClientGetsTheSetReadOnceAndItsMostDerivedCommonClass) {
  AcDbObjectId erased = kvhost::addEntity(doc, newLine(2));
  ASSERT_EQ(kvhost::eraseObject(erased), Acad::eOk);
  const struct {
    AcDbObjectIdArray ids;
    AcRxClass* cls;
  } cases[] = {
      {idArray({line1, circle}), AcDbCurve::desc()},
      {idArray({circle, line1}), AcDbCurve::desc()},
      {idArray({text, circle, line2}), AcDbEntity::desc()},
      {idArray({line1, line2}), AcDbLine::desc()},
      {idArray({circle}), AcDbCircle::desc()},
      {AcDbObjectIdArray(), nullptr},  // the clients still hear of it, with nothing in it
      {idArray({line1, erased}), nullptr},  // an entity that cannot be opened
  };
  Adesk::Int64 lastSet = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cls ? testfiles::narrow(c.cls->name()) : "none");
    a->pickfirsts.clear();
    b->pickfirsts.clear();
    kvhost::setPickfirst(c.ids);
    ASSERT_EQ(a->pickfirsts.size(), 1u);
    ASSERT_EQ(b->pickfirsts.size(), 1u);
    const PickfirstSeen& seen = a->pickfirsts[0];
    EXPECT_EQ(seen.ids, Ids(c.ids.begin(), c.ids.end()));
    EXPECT_EQ(seen.cls, c.cls);
    EXPECT_TRUE(seen.filterOn);
    EXPECT_EQ(seen.openSets, c.ids.isEmpty() ? 0 : 1);
    // One set for all clients; the host names every set anew: one name further is one read.
    EXPECT_EQ(seen.ss0, c.ids.isEmpty() ? 0 : lastSet ? lastSet + 1 : seen.ss0);
    lastSet = c.ids.isEmpty() ? lastSet : seen.ss0;
    EXPECT_EQ(b->pickfirsts[0].ss0, seen.ss0);
    EXPECT_EQ(b->pickfirsts[0].ids, seen.ids);
    EXPECT_EQ(b->pickfirsts[0].cls, seen.cls);
    expectNoHandlingState();
  }
  // The hub calls the form without the set on nobody.
  EXPECT_TRUE(whoHeard("pickfirstModified").empty());
}

TEST_F(EditorPickfirst, QueuedEntitiesAreRedrawnOnceWhenTheOutermostHandlingEnds) {
  int depth = 0;
  a->onPickfirst = [&] {
    if (++depth == 1) {
      redraw(line1);
      redraw(line1);
      redraw(circle);
      kvhost::setPickfirst(idArray({text}));  // a nested change, handled at once
      // The nested handling adds to the outer set and leaves the redraw to it.
      EXPECT_EQ(kvhost::redrawCount(text), 0);
      EXPECT_EQ(Client::queued(), (Ids{line1, circle, text, line2}));
    } else {
      redraw(text);
      redraw(line1);
    }
    --depth;
  };
  b->onPickfirst = [&] { redraw(line2); };
  kvhost::setPickfirst(idArray({line1}));
  ASSERT_EQ(a->pickfirsts.size(), 2u);
  EXPECT_EQ(a->pickfirsts[1].openSets, 2);
  for (AcDbObjectId id : {line1, line2, circle, text}) EXPECT_EQ(kvhost::redrawCount(id), 1);
  EXPECT_FALSE(KOVAEditorReactorBase::isDuringRedrawEntity());
  expectNoHandlingState();

  // A client registered during a handling replaces the dispatcher; a change
  // nested after that reaches the new one, and leaves the outer queue alone.
  std::unique_ptr<Client> late;
  a->onPickfirst = [&] {
    if (late) return;
    redraw(line1);
    late = std::make_unique<Client>("late");
    kvhost::setPickfirst(idArray({text}));
    EXPECT_EQ(Client::queued(), Ids{line1});
  };
  b->onPickfirst = nullptr;
  kvhost::setPickfirst(idArray({line1}));
  EXPECT_EQ(kvhost::redrawCount(line1), 2);
  expectNoHandlingState();
  // The fresh dispatcher handles the next change as an outermost one.
  a->onPickfirst = [&] { redraw(circle); };
  kvhost::setPickfirst(idArray({line2}));
  EXPECT_EQ(kvhost::redrawCount(circle), 2);
}

TEST_F(EditorPickfirst, DatabaseClientsHearNothingWhileAChangeIsHandled) {
  BaseDb dbClient("db");
  BaseDoc docClient("doc");
  a->onPickfirst = [&] {
    paint(line1, 2);
    kvhost::setSysVar(L"CLAYER", L"0");
  };
  kvhost::setPickfirst(idArray({line1, line2}));
  EXPECT_TRUE(whoHeard("objectOpenedForModify").empty());
  // Editor and document notifications still go through.
  EXPECT_EQ(whoHeard("sysVarWillChange"), (std::vector<std::string>{"A", "B", "P"}));
  EXPECT_FALSE(whoHeard("documentLockModeChanged").empty());
  expectNoHandlingState();
  paint(line1, 3);
  EXPECT_EQ(whoHeard("objectModified"), std::vector<std::string>{"db"});
}

TEST_F(EditorPickfirst, ClientThatThrowsLeavesNoHandlingStateBehind) {
  KvTrace::clearCrashReports();
  int depth = 0;
  a->onPickfirst = [&] {
    redraw(line1);
    throw std::runtime_error("client fault");
  };
  kvhost::setPickfirst(idArray({line1}));
  ASSERT_EQ(KvTrace::crashReports().size(), 1u);
  EXPECT_NE(KvTrace::crashReports()[0].function.find(L"::pickfirstModified"), std::wstring::npos);
  EXPECT_EQ(kvhost::redrawCount(line1), 0);  // what was queued is discarded
  expectNoHandlingState();

  // A fault in a nested handling leaves the outer one to finish normally.
  a->onPickfirst = [&] {
    ++depth;
    struct Leave {
      int& d;
      ~Leave() { --d; }
    } leave{depth};
    redraw(depth == 1 ? line2 : text);
    if (depth > 1) throw std::runtime_error("nested fault");
    kvhost::setPickfirst(idArray({text}));
  };
  kvhost::setPickfirst(idArray({line2}));
  EXPECT_EQ(KvTrace::crashReports().size(), 2u);
  EXPECT_EQ(kvhost::redrawCount(line2), 1);
  EXPECT_EQ(kvhost::redrawCount(text), 1);
  EXPECT_EQ(kvhost::redrawCount(line1), 0);
  expectNoHandlingState();
}

TEST_F(EditorPickfirst, RedrawSetDropsTheIdsOfADrawingThatCloses) {
  AcApDocument* other = kvhost::newDocument(L"other.dwg");
  AcDbObjectId b1 = kvhost::addEntity(other, newLine(0));
  AcDbObjectId b2 = kvhost::addEntity(other, new AcDbCircle(AcGePoint3d(0, 0, 0), 2.0));
  for (AcDbObjectId id : {line1, b1, circle, line2, b2}) redraw(id);
  std::vector<AcDbObjectId> whenTold;
  a->hook = [&](std::string_view kind) {
    if (kind == "databaseToBeDestroyed") whenTold = Client::queued();
  };
  kvhost::closeDocument(doc);
  a->hook = nullptr;
  EXPECT_EQ(whenTold.size(), 5u);  // the clients are told before the set is pruned
  EXPECT_EQ(Client::queued(), (Ids{b1, b2}));
  ASSERT_EQ(kvhost::runCommand(L"TOUCH"), kvhost::CommandOutcome::kEnded);
  EXPECT_EQ(kvhost::redrawCount(b1), 1);
  EXPECT_EQ(kvhost::redrawCount(b2), 1);
  EXPECT_TRUE(Client::queued().empty());
}

}  // namespace
