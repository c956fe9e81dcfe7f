// The editor dispatcher: forwarding of every editor notification to the
// clients in priority order, the combined result of xrefSubCommandStart,
// and a dispatcher replaced or retired from inside its own notifications.
#include <gtest/gtest.h>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include "editor_clients.h"

using namespace edtest;

namespace {

class EditorDispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(startHub()) << kvhost::lastModuleError().c_str();
    doc = kvhost::newDocument(L"dispatch.dwg");
    db = doc->database();
    heard().clear();
  }
  void TearDown() override {
    clients.clear();
    plains.clear();
    for (AcApDocument* d : kvhost::documents()) kvhost::closeDocument(d);
    ASSERT_EQ(g_ReactorManager.edReactorDispatcher(), nullptr);
  }

  Client& addClient(const std::string& name, bool bRegister = true) {
    clients.push_back(std::make_unique<Client>(name, bRegister));
    return *clients.back();
  }
  PlainClient& addPlain(const std::string& name, int priority) {
    plains.push_back(std::make_unique<PlainClient>(name, priority));
    return *plains.back();
  }
  // Five clients of both kinds; they are served C, A, E, D, B.
  void registerFive() {
    results["A"] = &addClient("A").xrefResult;                // -1
    results["B"] = &addPlain("B", 5).xrefResult;              // 5
    results["C"] = &addPlain("C", -7).xrefResult;             // -7
    Client& d = addClient("D", false);                        // 0, registered by itself
    g_ReactorManager.addEdReactor(&d, 0);
    results["D"] = &d.xrefResult;
    results["E"] = &addClient("E").xrefResult;                // -1, after A
  }
  void unregisterSelfRegistered() {
    for (auto& c : clients)
      if (c->name() == "D") g_ReactorManager.removeEdReactor(c.get());
  }

  AcApDocument* doc = nullptr;
  AcDbDatabase* db = nullptr;
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<std::unique_ptr<PlainClient>> plains;
  std::map<std::string, Acad::ErrorStatus*> results;
  const std::vector<std::string> order = {"C", "A", "E", "D", "B"};
};

struct Row {
  const char* kind;
  std::function<void()> raise;
  std::string expected;  // what every client hears; empty: no client hears it
};

#define ED_ROW(NAME, ...) \
  Row{#NAME, [&] { kvhost::raiseEditorEvent([&](AcEditorReactor* r) { r->NAME(__VA_ARGS__); }); }, sig(#NAME, __VA_ARGS__)}
#define ED_ROW0(NAME) Row{#NAME, [&] { kvhost::raiseEditorEvent([&](AcEditorReactor* r) { r->NAME(); }); }, #NAME}
#define EV_ROW(NAME, ...) \
  Row{#NAME, [&] { kvhost::raiseEventReactorEvent([&](AcRxEventReactor* r) { r->NAME(__VA_ARGS__); }); }, sig(#NAME, __VA_ARGS__)}
#define KEPT_EV_ROW(NAME, ...) \
  Row{#NAME, [&] { kvhost::raiseEventReactorEvent([&](AcRxEventReactor* r) { r->NAME(__VA_ARGS__); }); }, ""}
#define KEPT_ED2_ROW(NAME, ...)                                                          \
  Row{#NAME, [&] {                                                                       \
        kvhost::raiseEditorEvent([&](AcEditorReactor* r) {                               \
          if (auto* r2 = AcEditorReactor2::cast(r)) r2->NAME(__VA_ARGS__);               \
        });                                                                              \
      }, ""}

TEST_F(EditorDispatch, EveryNotificationReachesEveryClientInPriorityOrderWithItsArguments) {
  registerFive();
  AcApDocument* other = kvhost::newDocument(L"other.dwg");
  AcDbDatabase* to = other->database();
  AcDbObjectId line = kvhost::addEntity(doc, new AcDbLine(AcGePoint3d(0, 0, 0), AcGePoint3d(1, 0, 0)));
  AcDbObjectId circle = kvhost::addEntity(doc, new AcDbCircle(AcGePoint3d(2, 0, 0), 1.0));
  AcDbIdMapping map;
  Acad::ErrorStatus status = Acad::eOk;
  AcGePoint3d point(1, 2, 3);
  const AcGePoint3d* pPoint = &point;
  AcGeMatrix3d xform;
  AcDbObjectIdArray ids;
  ids.append(line);
  ids.append(circle);
  ACHAR fileBuffer[] = L"opened.dwg";
  ACHAR* file = fileBuffer;
  const ACHAR* names[] = {L"BLOCK", nullptr};
  const ACHAR* pathList[] = {L"x.dwg", nullptr};
  const ACHAR* const* pNames = names;
  const ACHAR* const* paths = pathList;
  AcDbVoidPtrArray unknownArgs;
  AcDbVoidPtrArray* pUnknownArgs = &unknownArgs;
  bool veto = false;
  Adesk::LongPtr hwnd = 0x1234;
  Adesk::Boolean yes = Adesk::kTrue;
  heard().clear();

  const std::vector<Row> rows = {
      EV_ROW(dwgFileOpened, db, file),
      EV_ROW(initialDwgFileOpenComplete, db),
      EV_ROW(databaseConstructed, to),
      EV_ROW(databaseToBeDestroyed, to),
      EV_ROW(beginSave, db, L"saved.dwg"),
      EV_ROW(saveComplete, db, L"saved.dwg"),
      EV_ROW(abortSave, db),
      EV_ROW(beginDxfIn, db),
      EV_ROW(abortDxfIn, db),
      EV_ROW(dxfInComplete, db),
      EV_ROW(beginDxfOut, db),
      EV_ROW(abortDxfOut, db),
      EV_ROW(dxfOutComplete, db),
      EV_ROW(beginInsert, to, L"BLOCK", db),
      EV_ROW(beginInsert, to, xform, db),
      EV_ROW(otherInsert, to, map, db),
      EV_ROW(abortInsert, to),
      EV_ROW(endInsert, to),
      EV_ROW(wblockNotice, db),
      EV_ROW(beginWblock, to, db, pPoint),
      EV_ROW(beginWblock, to, db, line),
      EV_ROW(beginWblock, to, db),
      EV_ROW(otherWblock, to, map, db),
      EV_ROW(abortWblock, to),
      EV_ROW(endWblock, to),
      EV_ROW(beginWblockObjects, db, map),
      EV_ROW(beginDeepClone, to, map),
      EV_ROW(beginDeepCloneXlation, map, &status),
      EV_ROW(abortDeepClone, map),
      EV_ROW(endDeepClone, map),
      EV_ROW(partialOpenNotice, db),
      EV_ROW(beginAttach, to, L"x.dwg", db),
      EV_ROW(otherAttach, to, db),
      EV_ROW(abortAttach, db),
      EV_ROW(endAttach, to),
      EV_ROW(redirected, circle, line),
      EV_ROW(comandeered, to, line, db),
      EV_ROW(beginRestore, to, L"BLOCK", db),
      EV_ROW(abortRestore, to),
      EV_ROW(endRestore, to),
      ED_ROW(unknownCommand, L"NOSUCH", pUnknownArgs),
      ED_ROW(lispWillStart, L"(princ)"),
      ED_ROW0(lispEnded),
      ED_ROW0(lispCancelled),
      ED_ROW(sysVarChanged, L"CLAYER", yes),
      ED_ROW(sysVarWillChange, L"CLAYER"),
      ED_ROW(xrefSubcommandBindItem, db, 1, line),
      ED_ROW(xrefSubcommandAttachItem, db, 2, L"x.dwg"),
      ED_ROW(xrefSubcommandOverlayItem, db, 3, L"y.dwg"),
      ED_ROW(xrefSubcommandDetachItem, db, 4, line),
      ED_ROW(xrefSubcommandPathItem, db, 5, line, L"z.dwg"),
      ED_ROW(xrefSubcommandReloadItem, db, 6, circle),
      ED_ROW(xrefSubcommandUnloadItem, db, 7, circle),
      ED_ROW(undoSubcommandAuto, 1, yes),
      ED_ROW(undoSubcommandControl, 2, 3),
      ED_ROW(undoSubcommandBegin, 4),
      ED_ROW(undoSubcommandEnd, 5),
      ED_ROW(undoSubcommandMark, 6),
      ED_ROW(undoSubcommandBack, 7),
      ED_ROW(undoSubcommandNumber, 8, 9),
      ED_ROW(layoutSwitched, L"Layout1"),
      ED_ROW(docFrameMovedOrResized, hwnd, true),
      ED_ROW(mainFrameMovedOrResized, hwnd, false),
      ED_ROW(beginDoubleClick, point),
      ED_ROW(beginRightClick, point),
      ED_ROW(toolbarBitmapSizeWillChange, yes),
      ED_ROW(toolbarBitmapSizeChanged, yes),
      ED_ROW(objectsLazyLoaded, ids),
      ED_ROW0(beginQuit),
      ED_ROW0(quitAborted),
      ED_ROW0(quitWillStart),
      ED_ROW(cmdIUnkModified, L"LINE"),
      ED_ROW(xrefSubCommandStart, kBind, ids, pNames, paths),
      ED_ROW(preXrefLockFile, line),
      ED_ROW0(viewChanged),
      // The host keeps these: the hub does not forward them.
      Row{"beginClose", [&] { kvhost::raiseEditorEvent([&](AcEditorReactor* r) { r->beginClose(db); }); }, ""},
      KEPT_EV_ROW(xrefSubCommandStart, db, kAttach, ids, pNames, paths, veto),
      KEPT_EV_ROW(xrefSubCommandAborted, db, kAttach, ids, pNames, paths),
      KEPT_EV_ROW(preXrefLockFile, db, line),
      KEPT_ED2_ROW(beginDocClose, db),
      KEPT_ED2_ROW(docCloseAborted, db),
      KEPT_ED2_ROW(docCloseWillStart, db),
      KEPT_ED2_ROW(layoutToBeSwitched, L"Model", L"Layout1"),
      KEPT_ED2_ROW(dwgViewResized, hwnd),
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected.empty() ? row.kind : row.expected);
    heard().clear();
    row.raise();
    if (row.expected.empty()) {
      EXPECT_TRUE(heard().empty()) << heard().front().who << " heard " << heard().front().what;
      continue;
    }
    std::vector<std::string> who, whats;
    for (const Heard& h : heard()) {
      who.push_back(h.who);
      whats.push_back(h.what);
    }
    EXPECT_EQ(who, order);
    EXPECT_EQ(whats, std::vector<std::string>(order.size(), row.expected));
  }
  unregisterSelfRegistered();
}

// Every kind in the list was heard at least once, each time by every client
// in priority order with the same arguments.
void expectHeardInOrder(const std::vector<std::string>& order, const std::vector<std::string>& kinds) {
  for (const std::string& kind : kinds) {
    SCOPED_TRACE(kind);
    std::vector<std::string> whats;
    std::vector<std::string> who = whoHeard(kind, &whats);
    ASSERT_FALSE(who.empty());
    ASSERT_EQ(who.size() % order.size(), 0u);
    for (size_t i = 0; i < who.size(); ++i) {
      EXPECT_EQ(who[i], order[i % order.size()]);
      EXPECT_EQ(whats[i], whats[i - i % order.size()]);
    }
  }
}

TEST_F(EditorDispatch, HostWorkReachesEveryClientInPriorityOrder) {
  registerFive();
  const std::wstring file = (std::filesystem::path(::testing::TempDir()) / "editor_dispatch.dwg").wstring();
  ASSERT_EQ(kvhost::runCommand(L"LINE"), kvhost::CommandOutcome::kEnded);
  ASSERT_EQ(kvhost::runCommand(L"ESCAPED", [] { throw kvhost::CommandCancelled(); }), kvhost::CommandOutcome::kCancelled);
  ASSERT_EQ(kvhost::runCommand(L"BROKEN", [] { throw std::runtime_error("broken"); }), kvhost::CommandOutcome::kFailed);
  kvhost::runLisp(L"(princ)");
  kvhost::runLisp(L"(exit)", true);
  kvhost::setSysVar(L"CLAYER", L"0");
  ASSERT_EQ(kvhost::executeString(L"NOSUCH"), kvhost::CommandOutcome::kUnknown);
  kvhost::executeString(L"_UNDO 1");
  kvhost::modelessOperation(L"palette", {});
  ASSERT_EQ(kvhost::saveDocument(doc, file), Acad::eOk);
  AcApDocument* opened = kvhost::openDocument(file);
  ASSERT_NE(opened, nullptr);
  kvhost::closeDocument(opened);
  expectHeardInOrder(order, {"commandWillStart", "commandEnded", "commandCancelled", "commandFailed", "lispWillStart",
                             "lispEnded", "lispCancelled", "sysVarWillChange", "sysVarChanged", "unknownCommand",
                             "undoSubcommandNumber", "modelessOperationWillStart", "modelessOperationEnded",
                             "beginSave", "saveComplete", "beginDwgOpen", "dwgFileOpened", "endDwgOpen",
                             "initialDwgFileOpenComplete", "databaseConstructed", "databaseToBeDestroyed"});
  // Closing a drawing raises these too, but the hub keeps them from its clients.
  for (const char* kept : {"beginClose", "beginDocClose", "docCloseWillStart"}) EXPECT_TRUE(whoHeard(kept).empty()) << kept;
  unregisterSelfRegistered();
}

TEST_F(EditorDispatch, XrefSubCommandStartStopsAtTheFirstClientThatRefuses) {
  registerFive();
  AcDbObjectIdArray ids;
  const ACHAR* const* none = nullptr;
  struct Case {
    std::map<std::string, Acad::ErrorStatus> answers;
    Acad::ErrorStatus result;
    std::vector<std::string> called;
  };
  const std::vector<Case> cases = {
      {{}, Acad::eOk, order},
      {{{"A", Acad::eInvalidInput}}, Acad::eInvalidInput, {"C", "A"}},
      {{{"C", Acad::eNotApplicable}, {"D", Acad::eInvalidInput}}, Acad::eNotApplicable, {"C"}},
      {{{"B", Acad::eVetoed}}, Acad::eVetoed, order},
  };
  ASSERT_EQ(editorReactors().size(), 1u);  // only the hub answers the host
  for (const Case& c : cases) {
    for (auto& r : results) *r.second = c.answers.count(r.first) ? c.answers.at(r.first) : Acad::eOk;
    heard().clear();
    Acad::ErrorStatus result = Acad::eNotImplementedYet;
    kvhost::raiseEditorEvent([&](AcEditorReactor* r) { result = r->xrefSubCommandStart(kReload, ids, none, none); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(whoHeard("xrefSubCommandStart"), c.called);
  }
  unregisterSelfRegistered();
}

// Notifications in which a client re-registers or unregisters, and how each is raised.
struct Trigger {
  std::string kind;
  std::function<void()> raise;
  // What the clients record for it; plain reactors never get the pickfirst one.
  std::string heardAs() const { return kind == "pickfirstModified" ? "pickfirstModified(ss,ids,cls)" : kind; }
  bool plainHears() const { return kind != "pickfirstModified"; }
};

std::vector<Trigger> triggers(AcApDocument* doc) {
  AcDbObjectId line = kvhost::addEntity(doc, new AcDbLine(AcGePoint3d(0, 0, 0), AcGePoint3d(1, 1, 0)));
  return {
      {"lispWillStart", [] { kvhost::runLisp(L"(princ)"); }},
      {"commandWillStart", [] { kvhost::runCommand(L"LINE"); }},
      {"sysVarChanged", [] { kvhost::setSysVar(L"CLAYER", L"0"); }},
      {"xrefSubCommandStart",
       [] {
         AcDbObjectIdArray none;
         kvhost::raiseEditorEvent([&](AcEditorReactor* r) { r->xrefSubCommandStart(kReload, none, nullptr, nullptr); });
       }},
      {"databaseToBeDestroyed", [] { kvhost::closeDocument(kvhost::newDocument(L"closing.dwg")); }},
      {"pickfirstModified", [line] {
         AcDbObjectIdArray ids;
         ids.append(line);
         kvhost::setPickfirst(ids);
       }},
  };
}

// A pickfirst change handled from scratch: a queued entity is redrawn once
// at its end, every given client hears it with the selection.
void expectFreshPickfirstHandling(AcApDocument* doc, Client& queuer, const std::vector<Client*>& hearers) {
  AcDbObjectId circle = kvhost::addEntity(doc, new AcDbCircle(AcGePoint3d(5, 5, 0), 2.0));
  queuer.onPickfirst = [circle](Client&, const AcArray<AcDbObjectId>&) { KOVAEditorReactorBase::redrawEntity(circle); };
  for (Client* c : hearers) c->pickfirsts.clear();
  AcDbObjectIdArray ids;
  ids.append(circle);
  kvhost::setPickfirst(ids);
  queuer.onPickfirst = nullptr;
  EXPECT_EQ(kvhost::redrawCount(circle), 1);
  EXPECT_FALSE(g_ReactorManager.filterReactors());
  EXPECT_EQ(kvhost::openSelectionSetCount(), 0);
  for (Client* c : hearers) {
    ASSERT_EQ(c->pickfirsts.size(), 1u) << c->name();
    EXPECT_EQ(c->pickfirsts[0].ids, std::vector<AcDbObjectId>{circle});
    EXPECT_EQ(c->pickfirsts[0].cls, AcDbCircle::desc());
  }
}

TEST_F(EditorDispatch, ClientRegisteredInsideANotificationLeavesAFreshDispatcherLastOnTheEditor) {
  for (const Trigger& t : triggers(doc)) {
    SCOPED_TRACE(t.kind);
    Client& a = addClient("A");
    addPlain("P", 3);
    std::unique_ptr<Client> late;
    a.onHear = [&](const std::string& what) {
      if (!late && what.rfind(t.kind, 0) == 0) late = std::make_unique<Client>("late");
    };
    heard().clear();
    t.raise();
    a.onHear = nullptr;
    ASSERT_NE(late, nullptr);
    // The newcomer misses the running event.
    using Names = std::vector<std::string>;
    EXPECT_EQ(whoHeard(t.heardAs()), (t.plainHears() ? Names{"A", "P"} : Names{"A"}));
    std::vector<AcRxEventReactor*> attached = editorReactors();
    ASSERT_EQ(attached.size(), 1u);
    EXPECT_EQ(attached.back(), hubDispatcher());
    expectFreshPickfirstHandling(doc, a, {&a, late.get()});
    late.reset();
    clients.clear();
    plains.clear();
    EXPECT_TRUE(editorReactors().empty());
  }
}

TEST_F(EditorDispatch, LastEditorReactorRemovedInsideANotificationLeavesNoDispatcher) {
  for (const Trigger& t : triggers(doc)) {
    for (bool base : {false, true}) {
      if (!base && !t.plainHears()) continue;
      SCOPED_TRACE(t.kind + (base ? " (client base destroys itself)" : " (plain reactor unregisters)"));
      std::unique_ptr<Client> client;
      std::unique_ptr<Recorder<AcEditorReactor>> plain;
      if (base) {
        client = std::make_unique<Client>("A");
        client->onHear = [&](const std::string& what) {
          if (what.rfind(t.kind, 0) == 0) client.reset();
        };
      } else {
        plain = std::make_unique<Recorder<AcEditorReactor>>("P");
        g_ReactorManager.addEdReactor(plain.get(), 0);
        plain->onHear = [&](const std::string& what) {
          if (what.rfind(t.kind, 0) == 0) g_ReactorManager.removeEdReactor(plain.get());
        };
      }
      t.raise();
      EXPECT_EQ(client, nullptr);
      EXPECT_EQ(g_ReactorManager.edReactorDispatcher(), nullptr);
      EXPECT_TRUE(editorReactors().empty());
      EXPECT_FALSE(g_ReactorManager.filterReactors());
      EXPECT_EQ(kvhost::openSelectionSetCount(), 0);
      if (plain) g_ReactorManager.removeEdReactor(plain.get());
      plain.reset();
      // A later registration brings a working dispatcher back.
      Client& again = addClient("again");
      ASSERT_EQ(editorReactors().size(), 1u);
      EXPECT_EQ(editorReactors().back(), hubDispatcher());
      expectFreshPickfirstHandling(doc, again, {&again});
      clients.clear();
    }
  }
}

TEST_F(EditorDispatch, ClientDestroyedByAnEarlierClientIsNotCalledAnyMore) {
  for (const Trigger& t : triggers(doc)) {
    SCOPED_TRACE(t.kind);
    Client& first = addClient("first");
    auto victim = std::make_unique<Client>("victim");
    addPlain("after", 1);
    first.onHear = [&](const std::string& what) {
      if (what.rfind(t.kind, 0) == 0) victim.reset();
    };
    heard().clear();
    t.raise();
    ASSERT_EQ(victim, nullptr);
    using Names = std::vector<std::string>;
    EXPECT_EQ(whoHeard(t.heardAs()), (t.plainHears() ? Names{"first", "after"} : Names{"first"}));
    clients.clear();
    plains.clear();
  }
}

}  // namespace
