// The database and document dispatchers as their clients see them: order,
// the snapshot of each notification, nesting, destruction and removal during
// a fan-out, the filter flag, vetoes and the database attachments.
#include <gtest/gtest.h>
#include <KvTrace.h>
#include <memory>
#include <new>
#include "core_clients.h"

namespace {

using namespace core;

// Two drawings, A with a line, B current; every test starts from this.
class Session : public ::testing::Test {
 public:
  void SetUp() override {
    a = kvhost::newDocument(L"A.dwg");
    line = kvhost::addEntity(a, newLine());
    b = kvhost::newDocument(L"B.dwg");
    heard().clear();
  }
  void TearDown() override {
    for (AcApDocument* d : kvhost::documents()) kvhost::closeDocument(d);
  }
  AcDbDatabase* dbA() const { return a->database(); }
  AcApDocument* a = nullptr;
  AcApDocument* b = nullptr;
  AcDbObjectId line;
};

// ---- Order: every notification kind, through the host's own work ----

struct Event {
  const char* notification;
  std::function<void(Session&)> raise;
};

// The object behind an id, opened and closed again, for notifications that
// only the host's raising hook can deliver.
const AcDbObject* objectOf(AcDbObjectId id) {
  AcDbObject* o = nullptr;
  acdbOpenAcDbObject(o, id, AcDb::kForRead, true);
  o->close();
  return o;
}

class EveryNotification : public Session, public ::testing::WithParamInterface<Event> {};

bool g_vetoNextLock = false;

const Event kEvents[] = {
    {"objectAppended", [](Session& s) { kvhost::addEntity(s.a, newLine(5)); }},
    {"objectUnAppended",
     [](Session& s) {
       kvhost::activateDocument(s.a);
       kvhost::addEntity(s.a, newLine(5));
       kvhost::executeString(L"_U");
     }},
    {"objectReAppended",
     [](Session& s) {
       const AcDbObject* o = objectOf(s.line);
       kvhost::raiseDatabaseEvent(s.dbA(), [&](AcDbDatabaseReactor* r) { r->objectReAppended(s.dbA(), o); });
     }},
    {"objectOpenedForModify", [](Session& s) { moveLine(s.line, 3); }},
    {"objectModified", [](Session& s) { moveLine(s.line, 3); }},
    {"objectErased", [](Session& s) { kvhost::eraseObject(s.line); }},
    {"headerSysVarWillChange", [](Session& s) { s.dbA()->setHeaderSysVar(L"LTSCALE", L"2"); }},
    {"headerSysVarChanged", [](Session& s) { s.dbA()->setHeaderSysVar(L"LTSCALE", L"2"); }},
    {"proxyResurrectionCompleted",
     [](Session& s) {
       AcDbObjectIdArray ids;
       ids.append(s.line);
       kvhost::raiseDatabaseEvent(s.dbA(), [&](AcDbDatabaseReactor* r) {
         r->proxyResurrectionCompleted(s.dbA(), L"KOVA_ORBAPP", ids);
       });
     }},
    {"goodbye",
     [](Session& s) { kvhost::raiseDatabaseEvent(s.dbA(), [&](AcDbDatabaseReactor* r) { r->goodbye(s.dbA()); }); }},
    {"documentCreateStarted", [](Session&) { kvhost::newDocument(L"C.dwg"); }},
    {"documentCreated", [](Session&) { kvhost::newDocument(L"C.dwg"); }},
    {"documentToBeDestroyed", [](Session& s) { kvhost::closeDocument(s.b); }},
    {"documentDestroyed", [](Session& s) { kvhost::closeDocument(s.b); }},
    {"documentCreateCanceled", [](Session&) { kvhost::cancelDocumentCreation(L"D.dwg"); }},
    {"documentLockModeWillChange", [](Session& s) { kvhost::addEntity(s.a, newLine(5)); }},
    {"documentLockModeChanged", [](Session& s) { kvhost::addEntity(s.a, newLine(5)); }},
    {"documentLockModeChangeVetoed",
     [](Session& s) {
       g_vetoNextLock = true;
       EXPECT_EQ(acDocManagerPtr()->lockDocument(s.a), Acad::eVetoed);
     }},
    {"documentBecameCurrent", [](Session& s) { kvhost::activateDocument(s.a); }},
    {"documentToBeActivated", [](Session& s) { kvhost::activateDocument(s.a); }},
    {"documentToBeDeactivated", [](Session& s) { kvhost::activateDocument(s.a); }},
    {"documentActivationModified",
     [](Session&) {
       kvhost::setDocumentActivation(false);
       kvhost::setDocumentActivation(true);
     }},
    {"documentActivated", [](Session& s) { kvhost::activateDocument(s.a); }},
};

TEST_P(EveryNotification, ReachesEveryClientInPriorityOrder) {
  // Plain host reactors with their own priorities around clients on the
  // bases, one of which moves itself behind the others.
  PlainDb dbD("D", -5), dbC("C", 0);
  BaseDb dbA("A", -1), dbB("B", -1), dbE("E", -1);
  dbE.registerAt(3);
  PlainDoc docD("D", -5), docC("C", 0);
  BaseDoc docA("A", -1), docB("B", -1), docE("E", -1);
  docE.registerAt(3);
  docE.hook = [&](const std::string& n) {
    if (n == "documentLockModeChanged" && g_vetoNextLock) {
      g_vetoNextLock = false;
      docE.KOVAVeto();
    }
  };
  GetParam().raise(*this);

  std::vector<std::string> who = whoHeard(GetParam().notification);
  ASSERT_FALSE(who.empty());
  ASSERT_EQ(who.size() % 5, 0u);
  for (size_t i = 0; i < who.size(); i += 5)
    EXPECT_EQ(std::vector<std::string>(who.begin() + i, who.begin() + i + 5),
              (std::vector<std::string>{"D", "A", "B", "C", "E"}));
}

INSTANTIATE_TEST_SUITE_P(Hub, EveryNotification, ::testing::ValuesIn(kEvents),
                         [](const ::testing::TestParamInfo<Event>& info) { return info.param.notification; });

// ---- The fan-out rule ----

TEST_F(Session, EachNotificationTakesItsOwnSnapshot) {
  std::unique_ptr<PlainDb> early, late;
  PlainDb adder("adder", 0);
  adder.hook = [&](const std::string& n) {
    if (n != "objectOpenedForModify" || early) return;
    early = std::make_unique<PlainDb>("early", -10);
    late = std::make_unique<PlainDb>("late", 10);
  };
  moveLine(line, 2);
  // Registered during one notification of an operation, heard from the next one.
  EXPECT_EQ(whoHeard("objectOpenedForModify"), (std::vector<std::string>{"adder"}));
  EXPECT_EQ(whoHeard("objectModified"), (std::vector<std::string>{"early", "adder", "late"}));

  // Document clients too: the lock change that registers them is not theirs.
  std::unique_ptr<PlainDoc> newcomer;
  BaseDoc docAdder("docAdder", -1);
  docAdder.hook = [&](const std::string& n) {
    if (n == "documentLockModeChanged" && !newcomer) newcomer = std::make_unique<PlainDoc>("newcomer", -5);
  };
  heard().clear();
  moveLine(line, 3);
  // Locked, then unlocked: the newcomer hears only the second change.
  EXPECT_EQ(whoHeard("documentLockModeChanged"), (std::vector<std::string>{"docAdder", "newcomer", "docAdder"}));
}

TEST_F(Session, AClientRemovedDuringANotificationStillHearsIt) {
  PlainDb remover("remover", -5), target("target", 5);
  BaseDoc docRemover("remover", -1);
  PlainDoc docTarget("target", 5);
  remover.hook = [&](const std::string& n) {
    if (n == "objectModified") g_ReactorManager.removeDbReactor(&target);
  };
  docRemover.hook = [&](const std::string& n) {
    if (n == "documentLockModeChanged") g_ReactorManager.removeDocReactor(&docTarget);
  };
  moveLine(line, 2);
  EXPECT_EQ(whoHeard("objectModified"), (std::vector<std::string>{"remover", "target"}));
  // The lock change announced first is the one the document target still hears.
  // The lock still hears it; the unlock that ends the change no longer does.
  EXPECT_EQ(whoHeard("documentLockModeChanged"), (std::vector<std::string>{"remover", "target", "remover"}));
  heard().clear();
  moveLine(line, 3);
  EXPECT_EQ(whoHeard("objectModified"), (std::vector<std::string>{"remover"}));
}

TEST_F(Session, NestedNotificationsRunCompleteFanOuts) {
  PlainDb nester("nester", -5);
  BaseDb x("x", -1), y("y", -1);
  nester.hook = [&](const std::string& n) {
    // Appending one line changes the other, under the appending call's lock.
    if (n == "objectAppended" && whoHeard("objectAppended").size() == 1) moveLine(line, 9);
  };
  kvhost::addEntity(a, newLine(4));
  EXPECT_EQ(heard(), (std::vector<std::string>{
                         "nester objectAppended",
                         "nester objectOpenedForModify", "x objectOpenedForModify", "y objectOpenedForModify",
                         "nester objectModified", "x objectModified", "y objectModified",
                         "x objectAppended", "y objectAppended"}));
}

TEST_F(Session, ClientsGetTheHostsArgumentsAndAThrowStopsOnlyThatEvent) {
  PlainDb first("first", 0), second("second", 1);
  AcDbObjectId extra = kvhost::addEntity(a, newLine(7));
  AcDbObjectIdArray ids;
  first.hook = [&](const std::string& n) {
    if (n == "proxyResurrectionCompleted") ids.append(extra);
    if (n == "objectReAppended") throw std::runtime_error("client fault");
  };
  kvhost::eraseObject(line, true);
  EXPECT_EQ(second.lastFlag, 1);
  EXPECT_EQ(second.lastDb, dbA());
  EXPECT_EQ(second.lastObject, objectOf(line));
  kvhost::eraseObject(line, false);
  EXPECT_EQ(first.lastFlag, 0);
  EXPECT_EQ(second.lastFlag, 0);

  ids.append(line);
  kvhost::raiseDatabaseEvent(dbA(), [&](AcDbDatabaseReactor* r) { r->proxyResurrectionCompleted(dbA(), L"app", ids); });
  EXPECT_EQ(second.lastFlag, 2);  // saw the id the first client added
  EXPECT_EQ(ids.length(), 2);

  heard().clear();
  const AcDbObject* o = objectOf(line);
  EXPECT_THROW(kvhost::raiseDatabaseEvent(dbA(), [&](AcDbDatabaseReactor* r) { r->objectReAppended(dbA(), o); }),
               std::runtime_error);
  EXPECT_EQ(whoHeard("objectReAppended"), (std::vector<std::string>{"first"}));
  moveLine(line, 1);
  EXPECT_EQ(whoHeard("objectModified"), (std::vector<std::string>{"first", "second"}));
}

// ---- Clients destroyed or removed while a fan-out has not reached them ----

// Takes the place of a destroyed client in its memory: any call that still
// reaches that address lands here, and its bytes read as a set flag.
template <class Base>
struct Tripwire : Base {
  Tripwire() { std::fill(std::begin(flags), std::end(flags), static_cast<unsigned char>(1)); }
  unsigned char flags[32];
};
struct DbTripwire : Tripwire<AcDbDatabaseReactor> {
  void objectAppended(const AcDbDatabase*, const AcDbObject*) override { heard().push_back("tripwire"); }
  void objectOpenedForModify(const AcDbDatabase*, const AcDbObject*) override { heard().push_back("tripwire"); }
  void objectModified(const AcDbDatabase*, const AcDbObject*) override { heard().push_back("tripwire"); }
};
struct DocTripwire : Tripwire<AcApDocManagerReactor> {
  void documentLockModeChanged(AcApDocument*, AcAp::DocLockMode, AcAp::DocLockMode, AcAp::DocLockMode,
                               const ACHAR*) override {
    heard().push_back("tripwire");
  }
};

template <class Client, class Wire>
struct Grave {
  static_assert(sizeof(Wire) <= sizeof(Client), "the tripwire must fit where the client stood");
  alignas(Client) alignas(Wire) unsigned char storage[sizeof(Client)];
  Client* client = nullptr;
  Wire* wire = nullptr;
  Client* make(const char* name) { return client = new (storage) Client(name, -1); }
  void bury() {
    client->~Client();
    wire = new (storage) Wire;
  }
  ~Grave() {
    if (wire)
      wire->~Wire();
    else if (client)
      client->~Client();
  }
};

TEST_F(Session, AClientDestroyedDuringAFanOutIsNotCalledAnyMore) {
  PlainDb nester("nester", -5), killer("killer", -4);
  Grave<BaseDb, DbTripwire> grave;
  grave.make("victim");
  BaseDb removed("removed", -1);
  nester.hook = [&](const std::string& n) {
    if (n == "objectAppended" && whoHeard("objectAppended").size() == 1) moveLine(line, 9);
  };
  // Inside the nested objectModified: one client destroyed, one only removed.
  killer.hook = [&](const std::string& n) {
    if (n != "objectModified" || grave.wire) return;
    grave.bury();
    g_ReactorManager.removeDbReactor(&removed);
  };
  kvhost::addEntity(a, newLine(4));
  EXPECT_EQ(whoHeard("objectOpenedForModify"), (std::vector<std::string>{"nester", "killer", "victim", "removed"}));
  EXPECT_EQ(whoHeard("objectModified"), (std::vector<std::string>{"nester", "killer", "removed"}));
  // The outer fan-out's snapshot forgot the destroyed client too.
  EXPECT_EQ(whoHeard("objectAppended"), (std::vector<std::string>{"nester", "killer", "removed"}));
  EXPECT_EQ(std::count(heard().begin(), heard().end(), "tripwire"), 0);
}

TEST_F(Session, ADocumentClientDestroyedDuringALockChangeIsNotCalledNorReadForAVeto) {
  BaseDoc killer("killer", -1);
  Grave<BaseDoc, DocTripwire> grave;
  grave.make("victim");
  killer.hook = [&](const std::string& n) {
    if (n == "documentLockModeChanged" && !grave.wire) grave.bury();
  };
  EXPECT_EQ(acDocManagerPtr()->lockDocument(a), Acad::eOk);
  EXPECT_EQ(a->myLockMode(), AcAp::kWrite);
  EXPECT_EQ(whoHeard("documentLockModeChanged"), (std::vector<std::string>{"killer"}));
  EXPECT_EQ(std::count(heard().begin(), heard().end(), "tripwire"), 0);
  acDocManagerPtr()->unlockDocument(a);
}

TEST_F(Session, TheLastDatabaseClientLeavingInsideANotificationIsSafe) {
  auto only = std::make_unique<PlainDb>("only", 0);
  std::unique_ptr<PlainDb> next;
  AcDbDatabaseReactor* delivering = dbDispatcher();
  bool detachedAtOnce = false;
  only->hook = [&](const std::string& n) {
    if (n != "objectOpenedForModify") return;
    g_ReactorManager.removeDbReactor(only.get());
    detachedAtOnce = g_ReactorManager.dbReactorDispatcher() == nullptr &&
                     !dbA()->reactors().contains(delivering) && !b->database()->reactors().contains(delivering);
  };
  moveLine(line, 2);
  EXPECT_TRUE(detachedAtOnce);
  // The host did not call the retired dispatcher for the rest of the operation.
  EXPECT_EQ(heard(), (std::vector<std::string>{"only objectOpenedForModify"}));

  // Leaving and coming back within one notification: a new dispatcher, attached once.
  heard().clear();
  g_ReactorManager.addDbReactor(only.get(), 0);
  only->hook = [&](const std::string& n) {
    if (n != "objectOpenedForModify" || next) return;
    g_ReactorManager.removeDbReactor(only.get());
    next = std::make_unique<PlainDb>("next", 0);
  };
  moveLine(line, 3);
  EXPECT_EQ(heard(), (std::vector<std::string>{"only objectOpenedForModify", "next objectModified"}));
  EXPECT_EQ(attachments(dbA()), 1);
  EXPECT_EQ(attachments(b->database()), 1);

  // A client on the base that destroys itself as the last one.
  next.reset();
  auto* self = new BaseDb("self", -1);
  self->hook = [self](const std::string& n) {
    if (n == "objectModified") delete self;
  };
  heard().clear();
  moveLine(line, 4);
  EXPECT_EQ(g_ReactorManager.dbReactorDispatcher(), nullptr);
  EXPECT_TRUE(dbA()->reactors().isEmpty());
  EXPECT_EQ(heard(), (std::vector<std::string>{"self objectOpenedForModify", "self objectModified"}));
}

TEST_F(Session, AForeignDocumentReactorIsNeverReadForAVeto) {
  struct Foreign : AcApDocManagerReactor {
    unsigned char bytes[32];
    Foreign() { std::fill(std::begin(bytes), std::end(bytes), static_cast<unsigned char>(1)); }
  } foreign;
  BaseDoc client("client", -1);
  g_ReactorManager.addDocReactor(&foreign, 0);
  EXPECT_EQ(acDocManagerPtr()->lockDocument(a), Acad::eOk);
  EXPECT_EQ(a->myLockMode(), AcAp::kWrite);
  acDocManagerPtr()->unlockDocument(a);
  EXPECT_TRUE(kvhost::addEntity(a, newLine(3)).isValid());
  for (unsigned char byte : foreign.bytes) EXPECT_EQ(byte, 1);  // nor written
  g_ReactorManager.removeDocReactor(&foreign);
}

// ---- The filter flag ----

TEST_F(Session, TheFilterFlagSilencesDatabaseNotificationsOnly) {
  BaseDb dbClient("db", -1);
  BaseDoc docClient("doc", -1);
  g_ReactorManager.setFilterReactors(true);
  AcDbObjectId added = kvhost::addEntity(a, newLine(2));
  moveLine(line, 5);
  kvhost::eraseObject(added);
  dbA()->setHeaderSysVar(L"LTSCALE", L"3");
  kvhost::raiseDatabaseEvent(dbA(), [&](AcDbDatabaseReactor* r) { r->headerSysVarWillChange(dbA(), L"LTSCALE"); });
  kvhost::newDocument(L"C.dwg");
  for (const std::string& entry : heard()) EXPECT_EQ(entry.rfind("db ", 0), std::string::npos) << entry;
  EXPECT_FALSE(whoHeard("documentLockModeChanged").empty());
  EXPECT_EQ(whoHeard("documentCreated"), (std::vector<std::string>{"doc"}));

  g_ReactorManager.setFilterReactors(false);
  moveLine(line, 6);
  EXPECT_EQ(whoHeard("objectModified"), (std::vector<std::string>{"db"}));
}

// ---- Vetoes of lock-mode changes ----

TEST_F(Session, AVetoStopsTheLockChangeAndTheFanOut) {
  BaseDoc first("first", -1), second("second", -1), third("third", -1);
  int vetoes = 0;
  second.hook = [&](const std::string& n) {
    if (n == "documentLockModeWillChange") second.KOVAVeto();  // not honoured here
    if (n == "documentLockModeChanged" && vetoes > 0) {
      --vetoes;
      second.KOVAVeto();
      second.KOVAVeto();  // one request
    }
  };
  vetoes = 1;
  EXPECT_EQ(acDocManagerPtr()->lockDocument(a), Acad::eVetoed);
  EXPECT_EQ(a->myLockMode(), AcAp::kNotLocked);
  EXPECT_EQ(whoHeard("documentLockModeChanged"), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(whoHeard("documentLockModeChangeVetoed"), (std::vector<std::string>{"first", "second", "third"}));

  // The change does not happen: work that needs the lock is refused.
  vetoes = 1;
  int entities = kvhost::entities(a).length();
  EXPECT_TRUE(kvhost::addEntity(a, newLine(8)).isNull());
  EXPECT_EQ(kvhost::entities(a).length(), entities);

  // The flag was cleared: the next change goes through, to all three, though
  // a veto was asked for in documentLockModeWillChange.
  heard().clear();
  EXPECT_EQ(acDocManagerPtr()->lockDocument(a), Acad::eOk);
  EXPECT_EQ(a->myLockMode(), AcAp::kWrite);
  EXPECT_EQ(whoHeard("documentLockModeChanged"), (std::vector<std::string>{"first", "second", "third"}));

  // Releasing a lock cannot be vetoed: the host refuses and all clients hear it.
  heard().clear();
  vetoes = 1;
  EXPECT_EQ(acDocManagerPtr()->unlockDocument(a), Acad::eOk);
  EXPECT_EQ(a->myLockMode(), AcAp::kNotLocked);
  EXPECT_EQ(whoHeard("documentLockModeChanged"), (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_EQ(acDocManagerPtr()->lockDocument(a), Acad::eOk);
  acDocManagerPtr()->unlockDocument(a);
}

// ---- Documents opened and closed while clients listen ----

TEST_F(Session, TheDatabaseDispatcherFollowsTheOpenDocuments) {
  EXPECT_EQ(g_ReactorManager.dbReactorDispatcher(), nullptr);
  BaseDoc docs("docs", -1);
  auto dbClient = std::make_unique<BaseDb>("db", -1);
  auto eachOpenOnce = [] {
    for (AcApDocument* d : kvhost::documents())
      if (attachments(d->database()) != 1) return false;
    return true;
  };
  EXPECT_TRUE(eachOpenOnce());  // drawings open before the first client

  int attachedWhenCreated = -1, dbmodDepth = -1;
  bool undoOff = false;
  AcDbDatabase* working = nullptr;
  int attachedWhenCancelled = -1, attachedWhenClosing = -1;
  docs.hook = [&](const std::string& n) {
    AcApDocument* d = docs.lastDoc;
    if (n == "documentCreated") {
      attachedWhenCreated = attachments(d->database());
      dbmodDepth = d->dbmodDepth();
      working = acdbHostApplicationServices()->workingDatabase();
      undoOff = !working->undoRecording();
      kvhost::addEntity(d, newLine(1));
    }
    if (n == "documentCreateCanceled") attachedWhenCancelled = attachments(d->database());
    if (n == "documentToBeDestroyed") {
      attachedWhenClosing = attachments(d->database());
      d->database()->setHeaderSysVar(L"LTSCALE", L"4");
    }
  };
  AcApDocument* c = kvhost::newDocument(L"C.dwg");
  EXPECT_EQ(attachedWhenCreated, 1);
  EXPECT_EQ(dbmodDepth, 1);
  EXPECT_TRUE(undoOff);
  EXPECT_EQ(c->dbmodDepth(), 0);
  ASSERT_NE(working, nullptr);
  EXPECT_TRUE(working->undoRecording());
  // What the document's clients did to its new drawing reached the database client.
  EXPECT_EQ(whoHeard("objectAppended"), (std::vector<std::string>{"db"}));
  EXPECT_EQ(dbClient->lastDb, c->database());
  EXPECT_TRUE(eachOpenOnce());

  kvhost::cancelDocumentCreation(L"D.dwg");
  EXPECT_EQ(attachedWhenCancelled, 0);
  EXPECT_TRUE(eachOpenOnce());

  heard().clear();
  kvhost::closeDocument(c);
  EXPECT_EQ(attachedWhenClosing, 0);
  EXPECT_TRUE(whoHeard("headerSysVarChanged").empty());
  EXPECT_TRUE(eachOpenOnce());

  dbClient.reset();
  EXPECT_EQ(g_ReactorManager.dbReactorDispatcher(), nullptr);
  for (AcApDocument* d : kvhost::documents()) EXPECT_TRUE(d->database()->reactors().isEmpty());
  AcApDocument* e = kvhost::newDocument(L"E.dwg");  // created with no database client
  EXPECT_TRUE(e->database()->reactors().isEmpty());
}

// The first database client may arrive while a drawing is going away, when
// its document has already left the document list; the dispatcher it brings
// is attached to that drawing too and must come off it when it retires.
TEST_F(Session, ADispatcherRetiredWhileADrawingGoesAwayIsNotLeftOnIt) {
  struct LastClientLeaves : AcEditorReactor {
    std::unique_ptr<BaseDb>* client = nullptr;
    void databaseToBeDestroyed(AcDbDatabase*) override { client->reset(); }
  };
  for (bool cancel : {true, false}) {
    SCOPED_TRACE(cancel ? "cancelled creation" : "closed drawing");
    BaseDoc docs("docs", -1);
    std::unique_ptr<BaseDb> late;
    docs.hook = [&](const std::string& n) {
      if (n == "documentCreateCanceled" || n == "documentToBeDestroyed") late = std::make_unique<BaseDb>("late", -1);
    };
    LastClientLeaves leaver;
    leaver.client = &late;
    acedEditorPtr()->addReactor(&leaver);
    if (cancel) {
      kvhost::cancelDocumentCreation(L"D.dwg");
    } else {
      docs.hook = nullptr;
      AcApDocument* c = kvhost::newDocument(L"C.dwg");
      docs.hook = [&](const std::string& n) {
        if (n == "documentToBeDestroyed") late = std::make_unique<BaseDb>("late", -1);
      };
      kvhost::closeDocument(c);
    }
    acedEditorPtr()->removeReactor(&leaver);
    EXPECT_EQ(late, nullptr);
    EXPECT_EQ(g_ReactorManager.dbReactorDispatcher(), nullptr);
    for (AcApDocument* d : kvhost::documents()) EXPECT_TRUE(d->database()->reactors().isEmpty());
  }
}

TEST_F(Session, DocumentCreatedRestoresDbmodAndUndoRecordingWhenAClientThrows) {
  BaseDoc thrower("thrower", -1);
  PlainDoc after("after", 0);
  AcDbDatabase* working = nullptr;
  thrower.hook = [&](const std::string& n) {
    if (n != "documentCreated") return;
    working = acdbHostApplicationServices()->workingDatabase();
    throw std::runtime_error("client fault");
  };
  KvTrace::clearCrashReports();
  AcApDocument* c = nullptr;
  EXPECT_NO_THROW(c = kvhost::newDocument(L"C.dwg"));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->dbmodDepth(), 0);
  ASSERT_NE(working, nullptr);
  EXPECT_TRUE(working->undoRecording());
  EXPECT_EQ(KvTrace::crashReports().size(), 1u);
  EXPECT_TRUE(whoHeard("documentCreated") == std::vector<std::string>{"thrower"});

  // Recording that was off before stays off.
  thrower.hook = nullptr;
  acdbHostApplicationServices()->setWorkingDatabase(dbA());
  dbA()->disableUndoRecording(true);
  kvhost::newDocument(L"D.dwg");
  EXPECT_FALSE(dbA()->undoRecording());
  acdbHostApplicationServices()->setWorkingDatabase(nullptr);
}

}  // namespace
