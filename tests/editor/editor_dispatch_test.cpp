// The editor dispatcher: every editor notification forwarded to the clients
// in priority order, the combined result of xrefSubCommandStart, a dispatcher
// replaced or retired from inside its own notifications; and the pickfirst
// service: the selection read once per change, its common class, the redraw
// set drained when the outermost handling or operation ends, the filter
// flag, and the redraw set pruned when a drawing closes.
#include <gtest/gtest.h>
#include <KvTrace.h>
#include <map>
#include <memory>
#include <stdexcept>
#include <recorders.h>

using namespace rec;

namespace {

::testing::Environment* const g_endSession = ::testing::AddGlobalTestEnvironment(new EndSessionAtExit);
using Names = std::vector<std::string>;

class EditorDispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kvhost::loadModule(L"KOVANotification10.arx")) << kvhost::lastModuleError().c_str();
    doc = kvhost::newDocument(L"dispatch.dwg");
    db = doc->database();
    line = kvhost::addEntity(doc, newLine());
    heard().clear();
  }
  void TearDown() override {
    five.clear();
    for (AcApDocument* d : kvhost::documents()) kvhost::closeDocument(d);
    ASSERT_EQ(g_ReactorManager.edReactorDispatcher(), nullptr);
  }
  // Five clients of both kinds, served C, A, E, D, B.
  void registerFive() {
    add<Client>("A", -1);
    add<PlainEd>("B", 5);
    add<PlainEd>("C", -7);
    add<Client>("D", 0);
    add<Client>("E", -1);
  }
  template <class T>
  void add(const std::string& name, int priority) {
    auto client = std::make_unique<T>(name, priority);
    xrefResult[name] = &client->xrefResult;
    five.push_back(std::move(client));
  }

  AcApDocument* doc = nullptr;
  AcDbDatabase* db = nullptr;
  AcDbObjectId line;
  std::vector<std::unique_ptr<AcEditorReactor>> five;
  std::map<std::string, Acad::ErrorStatus*> xrefResult;
  const Names order = {"C", "A", "E", "D", "B"};
};

// A handling is over: nothing queued, no selection set open, the filter flag down.
void expectNoHandlingState() {
  EXPECT_TRUE(Client::queued().empty());
  EXPECT_EQ(kvhost::openSelectionSetCount(), 0);
  EXPECT_FALSE(g_ReactorManager.filterReactors());
}

// The notifications of the host's editor reactor of the second kind, which only the hub's dispatcher is.
void raiseEditor2Event(const std::function<void(AcEditorReactor2*)>& call) {
  kvhost::raiseEditorEvent([&](AcEditorReactor* r) { call(AcEditorReactor2::cast(r)); });
}
#define ROW(EXPECTED, RAISE, R, NAME, ...) \
  {#NAME, [&] { RAISE([&](R* r) { r->NAME(__VA_ARGS__); }); }, EXPECTED}
#define ED(NAME, ...) ROW(sig(#NAME, ##__VA_ARGS__), kvhost::raiseEditorEvent, AcEditorReactor, NAME, ##__VA_ARGS__)
#define EV(NAME, ...) \
  ROW(sig(#NAME, ##__VA_ARGS__), kvhost::raiseEventReactorEvent, AcRxEventReactor, NAME, ##__VA_ARGS__)
#define KEPT_EV(NAME, ...) ROW("", kvhost::raiseEventReactorEvent, AcRxEventReactor, NAME, __VA_ARGS__)
#define KEPT_ED2(NAME, ...) ROW("", raiseEditor2Event, AcEditorReactor2, NAME, __VA_ARGS__)

TEST_F(EditorDispatch, EveryNotificationReachesEveryClientInPriorityOrderWithItsArguments) {
  registerFive();
  AcDbDatabase* to = kvhost::newDocument(L"other.dwg")->database();
  AcDbObjectId circle = kvhost::addEntity(doc, new AcDbCircle(AcGePoint3d(2, 0, 0), 1.0));
  AcDbIdMapping map;
  Acad::ErrorStatus status = Acad::eOk;
  AcGePoint3d point(1, 2, 3);
  const AcGePoint3d* pPoint = &point;
  AcGeMatrix3d xform;
  AcDbObjectIdArray ids;
  ids.append(line);
  ACHAR file[] = L"opened.dwg";
  const ACHAR* namesList[] = {L"BLOCK", nullptr};
  const ACHAR* const* names = namesList;
  AcDbVoidPtrArray unknownArgs;
  bool veto = false;
  Adesk::LongPtr hwnd = 0x1234;
  Adesk::Boolean yes = Adesk::kTrue;
  struct Row {
    const char* kind;
    std::function<void()> raise;
    std::string expected;  // empty: the hub keeps it from its clients
  };
  const Row rows[] = {
      EV(dwgFileOpened, db, file), EV(initialDwgFileOpenComplete, db), EV(databaseConstructed, to),
      EV(databaseToBeDestroyed, to), EV(beginSave, db, L"s.dwg"), EV(saveComplete, db, L"s.dwg"), EV(abortSave, db),
      EV(beginDxfIn, db), EV(abortDxfIn, db), EV(dxfInComplete, db), EV(beginDxfOut, db), EV(abortDxfOut, db),
      EV(dxfOutComplete, db), EV(beginInsert, to, L"BLOCK", db), EV(beginInsert, to, xform, db),
      EV(otherInsert, to, map, db), EV(abortInsert, to), EV(endInsert, to), EV(wblockNotice, db),
      EV(beginWblock, to, db, pPoint), EV(beginWblock, to, db, line), EV(beginWblock, to, db),
      EV(otherWblock, to, map, db), EV(abortWblock, to), EV(endWblock, to), EV(beginWblockObjects, db, map),
      EV(beginDeepClone, to, map), EV(beginDeepCloneXlation, map, &status), EV(abortDeepClone, map),
      EV(endDeepClone, map), EV(partialOpenNotice, db), EV(beginAttach, to, L"x.dwg", db), EV(otherAttach, to, db),
      EV(abortAttach, db), EV(endAttach, to), EV(redirected, circle, line), EV(comandeered, to, line, db),
      EV(beginRestore, to, L"BLOCK", db), EV(abortRestore, to), EV(endRestore, to),
      ED(unknownCommand, L"NOSUCH", &unknownArgs), ED(lispWillStart, L"(princ)"), ED(lispEnded), ED(lispCancelled),
      ED(sysVarChanged, L"CLAYER", yes), ED(sysVarWillChange, L"CLAYER"), ED(xrefSubcommandBindItem, db, 1, line),
      ED(xrefSubcommandAttachItem, db, 2, L"x.dwg"), ED(xrefSubcommandOverlayItem, db, 3, L"y.dwg"),
      ED(xrefSubcommandDetachItem, db, 4, line), ED(xrefSubcommandPathItem, db, 5, line, L"z.dwg"),
      ED(xrefSubcommandReloadItem, db, 6, circle), ED(xrefSubcommandUnloadItem, db, 7, circle),
      ED(undoSubcommandAuto, 1, yes), ED(undoSubcommandControl, 2, 3), ED(undoSubcommandBegin, 4),
      ED(undoSubcommandEnd, 5), ED(undoSubcommandMark, 6), ED(undoSubcommandBack, 7),
      ED(undoSubcommandNumber, 8, 9), ED(layoutSwitched, L"Layout1"), ED(docFrameMovedOrResized, hwnd, true),
      ED(mainFrameMovedOrResized, hwnd, false), ED(beginDoubleClick, point), ED(beginRightClick, point),
      ED(toolbarBitmapSizeWillChange, yes), ED(toolbarBitmapSizeChanged, yes), ED(objectsLazyLoaded, ids),
      ED(beginQuit), ED(quitAborted), ED(quitWillStart), ED(cmdIUnkModified, L"LINE"),
      ED(xrefSubCommandStart, kBind, ids, names, names), ED(preXrefLockFile, line), ED(viewChanged),
      // The host keeps these: the hub does not forward them.
      ROW("", kvhost::raiseEditorEvent, AcEditorReactor, beginClose, db),
      KEPT_EV(xrefSubCommandStart, db, kAttach, ids, names, names, veto),
      KEPT_EV(xrefSubCommandAborted, db, kAttach, ids, names, names), KEPT_EV(preXrefLockFile, db, line),
      KEPT_ED2(beginDocClose, db), KEPT_ED2(docCloseAborted, db), KEPT_ED2(docCloseWillStart, db),
      KEPT_ED2(layoutToBeSwitched, L"Model", L"Layout1"), KEPT_ED2(dwgViewResized, hwnd),
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected.empty() ? row.kind : row.expected);
    heard().clear();
    row.raise();
    if (row.expected.empty())
      EXPECT_TRUE(heard().empty()) << heard().front().who << " heard " << heard().front().what;
    else
      expectHeardInOrder(order, row.kind, row.expected);
  }
}

TEST_F(EditorDispatch, HostWorkReachesEveryClientInPriorityOrder) {
  registerFive();
  const std::wstring file = testfiles::tempPath(L"editor_dispatch.dwg");
  // What a client queues for redraw during a modeless operation is redrawn at its end.
  ASSERT_TRUE(kvhost::modelessOperation(L"palette", [&] { KOVAEditorReactorBase::redrawEntity(line); }));
  EXPECT_EQ(kvhost::redrawCount(line), 1);
  ASSERT_EQ(kvhost::runCommand(L"LINE"), kvhost::CommandOutcome::kEnded);
  ASSERT_EQ(kvhost::runCommand(L"ESC", [] { throw kvhost::CommandCancelled(); }), kvhost::CommandOutcome::kCancelled);
  ASSERT_EQ(kvhost::runCommand(L"BAD", [] { throw std::runtime_error("bad"); }), kvhost::CommandOutcome::kFailed);
  kvhost::runLisp(L"(princ)");
  kvhost::runLisp(L"(exit)", true);
  kvhost::setSysVar(L"CLAYER", L"0");
  ASSERT_EQ(kvhost::executeString(L"NOSUCH"), kvhost::CommandOutcome::kUnknown);
  kvhost::executeString(L"_UNDO 1");
  ASSERT_EQ(kvhost::saveDocument(doc, file), Acad::eOk);
  AcApDocument* opened = kvhost::openDocument(file);
  ASSERT_NE(opened, nullptr);
  kvhost::closeDocument(opened);
  testfiles::removeFile(file);
  for (const char* kind : {"commandWillStart", "commandEnded", "commandCancelled", "commandFailed", "lispWillStart",
                           "lispEnded", "lispCancelled", "sysVarWillChange", "sysVarChanged", "unknownCommand",
                           "undoSubcommandNumber", "modelessOperationWillStart", "modelessOperationEnded",
                           "beginSave", "saveComplete", "beginDwgOpen", "dwgFileOpened", "endDwgOpen",
                           "initialDwgFileOpenComplete", "databaseConstructed", "databaseToBeDestroyed"})
    expectHeardInOrder(order, kind);
  // Closing a drawing raises these too, but the hub keeps them from its clients.
  for (const char* kept : {"beginClose", "beginDocClose", "docCloseWillStart"}) EXPECT_TRUE(whoHeard(kept).empty()) << kept;
}

TEST_F(EditorDispatch, XrefSubCommandStartStopsAtTheFirstClientThatRefuses) {
  registerFive();
  const struct {
    std::map<std::string, Acad::ErrorStatus> answers;
    Acad::ErrorStatus result;
    Names called;
  } cases[] = {
      {{}, Acad::eOk, order},
      {{{"A", Acad::eInvalidInput}}, Acad::eInvalidInput, {"C", "A"}},
      {{{"C", Acad::eNotApplicable}, {"D", Acad::eInvalidInput}}, Acad::eNotApplicable, {"C"}},
      {{{"B", Acad::eVetoed}}, Acad::eVetoed, order},
  };
  ASSERT_EQ(kvhost::attachedReactors().editor, 1);  // only the hub answers the host
  for (const auto& c : cases) {
    for (const std::string& name : order) *xrefResult[name] = c.answers.count(name) ? c.answers.at(name) : Acad::eOk;
    heard().clear();
    Acad::ErrorStatus result = Acad::eNotImplementedYet;
    AcDbObjectIdArray ids;
    kvhost::raiseEditorEvent([&](AcEditorReactor* r) { result = r->xrefSubCommandStart(kReload, ids, nullptr, nullptr); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(whoHeard("xrefSubCommandStart"), c.called);
  }
}

// Notifications with handling of their own in which a client registers,
// is destroyed or leaves, and how each is raised.
const std::pair<std::string, std::function<void()>> kTriggers[] = {
    {"lispWillStart", [] { kvhost::runLisp(L"(princ)"); }},
    {"commandWillStart", [] { kvhost::runCommand(L"LINE"); }},
    {"sysVarChanged", [] { kvhost::setSysVar(L"CLAYER", L"0"); }},
    {"xrefSubCommandStart",
     [] {
       AcDbObjectIdArray none;
       kvhost::raiseEditorEvent([&](AcEditorReactor* r) { r->xrefSubCommandStart(kReload, none, nullptr, nullptr); });
     }},
    {"databaseToBeDestroyed", [] { kvhost::closeDocument(kvhost::newDocument(L"closing.dwg")); }},
    {"pickfirstModified(ss,ids,cls)", [] { kvhost::setPickfirst(kvhost::entities(kvhost::documents().front())); }},
};

// The dispatcher on the editor is the one working now: it is the only and
// last editor reactor and handles a pickfirst change from scratch (the
// queued entity is redrawn once at its end, every client hears it).
void expectAFreshDispatcher(AcApDocument* doc, Client& queuer, const std::vector<Client*>& hearers) {
  ASSERT_EQ(kvhost::attachedReactors().editor, 1);
  EXPECT_EQ(acedEditorPtr()->reactors().last(), g_ReactorManager.edReactorDispatcher());
  AcDbObjectId circle = kvhost::addEntity(doc, new AcDbCircle(AcGePoint3d(5, 5, 0), 2.0));
  queuer.onPickfirst = [circle] { KOVAEditorReactorBase::redrawEntity(circle); };
  for (Client* c : hearers) c->pickfirsts.clear();
  AcDbObjectIdArray ids;
  ids.append(circle);
  kvhost::setPickfirst(ids);
  queuer.onPickfirst = nullptr;
  EXPECT_EQ(kvhost::redrawCount(circle), 1);
  expectNoHandlingState();
  for (Client* c : hearers) EXPECT_EQ(c->pickfirsts.size(), 1u) << c->name();
}

TEST_F(EditorDispatch, ClientsRegisteredDestroyedOrLeavingInsideANotification) {
  for (const auto& [kind, raise] : kTriggers) {
    SCOPED_TRACE(kind);
    // One registered: it misses the running notification; a fresh dispatcher is attached.
    // One destroyed by an earlier client: it is not called any more.
    auto first = std::make_unique<Client>("first");
    auto victim = std::make_unique<Client>("victim");
    auto plain = std::make_unique<PlainEd>("plain", 3);
    std::unique_ptr<Client> late;
    first->hook = [&, kind = kind](std::string_view n) {
      if (late || n != kind) return;
      late = std::make_unique<Client>("late");
      victim.reset();
    };
    heard().clear();
    raise();
    first->hook = nullptr;
    EXPECT_EQ(victim, nullptr);
    // Plain reactors have no form of the pickfirst notification with the set.
    EXPECT_EQ(whoHeard(kind), (kind.rfind("pickfirst", 0) ? Names{"first", "plain"} : Names{"first"}));
    expectAFreshDispatcher(doc, *first, {first.get(), late.get()});

    // The last editor client leaves: no dispatcher is left, nothing held.
    first.reset();
    plain.reset();
    late = std::make_unique<Client>("last");
    late->hook = [&, kind = kind](std::string_view n) { if (n == kind) late.reset(); };
    raise();
    EXPECT_EQ(late, nullptr);
    EXPECT_EQ(g_ReactorManager.edReactorDispatcher(), nullptr);
    EXPECT_EQ(kvhost::attachedReactors().editor, 0);
    expectNoHandlingState();
    // A later registration brings a working dispatcher back.
    Client again("again");
    expectAFreshDispatcher(doc, again, {&again});
  }
}

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

// ---- The pickfirst service ----

class EditorPickfirst : public EditorDispatch {
 protected:
  void SetUp() override {
    EditorDispatch::SetUp();
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
    EditorDispatch::TearDown();
  }
  AcDbObjectId line2, circle, text;
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
      {idArray({line, circle}), AcDbCurve::desc()},
      {idArray({circle, line}), AcDbCurve::desc()},
      {idArray({text, circle, line2}), AcDbEntity::desc()},
      {idArray({line, line2}), AcDbLine::desc()},
      {idArray({circle}), AcDbCircle::desc()},
      {AcDbObjectIdArray(), nullptr},  // the clients still hear of it, with nothing in it
      {idArray({line, erased}), nullptr},  // an entity that cannot be opened
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
    EXPECT_FALSE(KOVAEditorReactorBase::isDuringRedrawEntity());
    if (++depth == 1) {
      redraw(line);
      redraw(line);
      redraw(circle);
      kvhost::setPickfirst(idArray({text}));  // a nested change, handled at once
      // The nested handling adds to the outer set and leaves the redraw to it.
      EXPECT_EQ(kvhost::redrawCount(text), 0);
      EXPECT_EQ(Client::queued(), (Ids{line, circle, text, line2}));
    } else {
      redraw(text);
      redraw(line);
    }
    --depth;
  };
  b->onPickfirst = [&] { redraw(line2); };
  kvhost::setPickfirst(idArray({line}));
  ASSERT_EQ(a->pickfirsts.size(), 2u);
  EXPECT_EQ(a->pickfirsts[1].openSets, 2);
  for (AcDbObjectId id : {line, line2, circle, text}) EXPECT_EQ(kvhost::redrawCount(id), 1);
  EXPECT_FALSE(KOVAEditorReactorBase::isDuringRedrawEntity());
  expectNoHandlingState();

  // The set is its array: a client that empties it or writes over an id
  // may queue that id again.
  redraw(line);
  Client::redrawSet().setLogicalLength(0);
  redraw(line);
  Client::redrawSet()[0] = circle;
  redraw(line);
  redraw(circle);
  EXPECT_EQ(Client::queued(), (Ids{circle, line}));
  Client::redrawSet().setLogicalLength(0);

  // A client registered during a handling replaces the dispatcher; a change
  // nested after that reaches the new one, and leaves the outer queue alone.
  std::unique_ptr<Client> late;
  a->onPickfirst = [&] {
    if (late) return;
    redraw(line);
    late = std::make_unique<Client>("late");
    kvhost::setPickfirst(idArray({text}));
    EXPECT_EQ(Client::queued(), Ids{line});
  };
  b->onPickfirst = nullptr;
  kvhost::setPickfirst(idArray({line}));
  EXPECT_EQ(kvhost::redrawCount(line), 2);
  expectNoHandlingState();
  // The fresh dispatcher handles the next change as an outermost one.
  a->onPickfirst = [&] { redraw(circle); };
  kvhost::setPickfirst(idArray({line2}));
  EXPECT_EQ(kvhost::redrawCount(circle), 2);
}

TEST_F(EditorPickfirst, DatabaseClientsHearNothingWhileAChangeIsHandled) {
  BaseDb dbClient("db");
  BaseDoc docClient("doc");
  a->onPickfirst = [&] { paint(line, 2), kvhost::setSysVar(L"CLAYER", L"0"); };
  kvhost::setPickfirst(idArray({line, line2}));
  EXPECT_TRUE(whoHeard("objectOpenedForModify").empty());
  // Editor and document notifications still go through.
  EXPECT_EQ(whoHeard("sysVarWillChange"), (std::vector<std::string>{"A", "B", "P"}));
  EXPECT_FALSE(whoHeard("documentLockModeChanged").empty());
  expectNoHandlingState();
  paint(line, 3);
  EXPECT_EQ(whoHeard("objectModified"), std::vector<std::string>{"db"});
}

TEST_F(EditorPickfirst, ClientThatThrowsLeavesNoHandlingStateBehind) {
  KvTrace::clearCrashReports();
  int depth = 0;
  a->onPickfirst = [&] {
    redraw(line);
    throw std::runtime_error("client fault");
  };
  kvhost::setPickfirst(idArray({line}));
  ASSERT_EQ(KvTrace::crashReports().size(), 1u);
  EXPECT_NE(KvTrace::crashReports()[0].function.find(L"::pickfirstModified"), std::wstring::npos);
  // What was queued stays queued, for the next end to redraw.
  EXPECT_EQ(kvhost::redrawCount(line), 0);
  EXPECT_EQ(Client::queued(), Ids{line});
  EXPECT_EQ(kvhost::openSelectionSetCount(), 0);
  EXPECT_FALSE(g_ReactorManager.filterReactors());

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
  EXPECT_EQ(kvhost::redrawCount(line), 1);
  expectNoHandlingState();

  // A hub started with the host's watch off follows no client call: a failure names no client.
  kvhost::setClientCallWatch(false);
  ASSERT_TRUE(kvhost::unloadModule(L"KOVANotification10.arx") && kvhost::loadModule(L"KOVANotification10.arx"));
  kvhost::setClientCallWatch(true);
  kvhost::clearClientFailures();
  a->onPickfirst = [] { throw std::runtime_error("client fault"); };
  kvhost::setPickfirst(idArray({circle}));
  ASSERT_EQ(kvhost::clientFailures().size(), 1u);
  EXPECT_EQ(kvhost::clientFailures()[0].clientClass + L" " + kvhost::clientFailures()[0].notification,
            L" pickfirstModified");
}

TEST_F(EditorPickfirst, RedrawSetDropsTheIdsOfADrawingThatCloses) {
  AcApDocument* other = kvhost::newDocument(L"other.dwg");
  AcDbObjectId b1 = kvhost::addEntity(other, newLine(0));
  AcDbObjectId b2 = kvhost::addEntity(other, new AcDbCircle(AcGePoint3d(0, 0, 0), 2.0));
  for (AcDbObjectId id : {line, b1, circle, line2, b2}) redraw(id);
  std::vector<AcDbObjectId> whenTold;
  a->hook = [&](std::string_view kind) { if (kind == "databaseToBeDestroyed") whenTold = Client::queued(); };
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
