// The database and document dispatchers as their clients see them: order
// and arguments, the snapshot of each notification, clients destroyed or
// removed during a fan-out, crash guards, vetoes and the database attachments.
#include <gtest/gtest.h>
#include <KvTrace.h>
#include <memory>
#include <new>
#include <sstream>
#include <recorders.h>

namespace {

using namespace rec;

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
  // Moving the line opens it for modify and modifies it.
  void moveLine(double x) {
    kvhost::modifyObject(line, [x](AcDbObject* o) { AcDbLine::cast(o)->setStartPoint(AcGePoint3d(x, 0, 0)); });
  }
  // The line's object, for notifications that only the host's raising hook delivers.
  const AcDbObject* lineObject() const {
    AcDbObject* o = nullptr;
    acdbOpenAcDbObject(o, line, AcDb::kForRead, true);
    o->close();
    return o;
  }
  void raiseDb(const std::function<void(AcDbDatabaseReactor*)>& call) { kvhost::raiseDatabaseEvent(dbA(), call); }
  AcApDocument* a = nullptr;
  AcApDocument* b = nullptr;
  AcDbObjectId line;
  AcDbObjectIdArray ids;
};

// ---- Every notification kind: order and arguments ----

struct Event {
  const char* kinds;  // the notifications the raise brings, by name
  std::function<void(Session&)> raise;
  // What every client hears, when the row says so.
  std::function<std::string(Session&)> expected = nullptr;
};
class EveryNotification : public Session, public ::testing::WithParamInterface<Event> {};

bool g_vetoNextLock = false;
using AcAp::kRead, AcAp::kWrite, AcAp::kXWrite;
#define DB_ROW(NAME, ...)                                                                                  \
  {#NAME, [](Session& s) { s.raiseDb([&](AcDbDatabaseReactor* r) { r->NAME(s.dbA(), ##__VA_ARGS__); }); }, \
   [](Session& s) { return sig(#NAME, s.dbA(), ##__VA_ARGS__); }}
#define LOCK_ROW(NAME)                                                                                   \
  {#NAME,                                                                                                \
   [](Session& s) {                                                                                      \
     kvhost::raiseDocManagerEvent([&](AcApDocManagerReactor* r) { r->NAME(s.a, kRead, kWrite, kXWrite, L"CMD"); }); \
   },                                                                                                    \
   [](Session& s) { return sig(#NAME, s.a, kRead, kWrite, kXWrite, L"CMD"); }}

const Event kEvents[] = {
    {"objectAppended", [](Session& s) { kvhost::addEntity(s.a, newLine(5)); }},
    {"objectUnAppended",
     [](Session& s) {
       kvhost::activateDocument(s.a);
       kvhost::addEntity(s.a, newLine(5));
       kvhost::executeString(L"_U");
     }},
    {"objectOpenedForModify objectModified", [](Session& s) { s.moveLine(3); }},
    {"objectErased", [](Session& s) { kvhost::eraseObject(s.line); },
     [](Session& s) { return sig("objectErased", s.dbA(), s.lineObject(), Adesk::kTrue); }},
    {"headerSysVarWillChange headerSysVarChanged", [](Session& s) { s.dbA()->setHeaderSysVar(L"LTSCALE", L"2"); }},
    DB_ROW(objectReAppended, s.lineObject()),
    DB_ROW(proxyResurrectionCompleted, L"app", s.ids),
    DB_ROW(goodbye),
    {"documentCreateStarted documentCreated", [](Session&) { kvhost::newDocument(L"C.dwg"); }},
    {"documentToBeDestroyed documentDestroyed", [](Session& s) { kvhost::closeDocument(s.b); }},
    {"documentCreateCanceled", [](Session&) { kvhost::cancelDocumentCreation(L"D.dwg"); }},
    LOCK_ROW(documentLockModeWillChange),
    LOCK_ROW(documentLockModeChanged),
    {"documentLockModeChangeVetoed",
     [](Session& s) {
       g_vetoNextLock = true;
       EXPECT_EQ(acDocManagerPtr()->lockDocument(s.a), Acad::eVetoed);
     }},
    {"documentToBeDeactivated documentToBeActivated documentBecameCurrent documentActivated",
     [](Session& s) { kvhost::activateDocument(s.a); }},
    {"documentActivationModified",
     [](Session&) {
       kvhost::setDocumentActivation(false);
       kvhost::setDocumentActivation(true);
     }},
};

TEST_P(EveryNotification, ReachesEveryClientInPriorityOrderWithTheHostsArguments) {
  // Plain host reactors with their own priorities around clients on the
  // bases, one of which moves itself behind the others.
  PlainDb dbD("D", -5), dbC("C", 0);
  BaseDb dbA("A"), dbB("B"), dbE("E");
  dbE.registerAt(3);
  PlainDoc docD("D", -5), docC("C", 0);
  BaseDoc docA("A"), docB("B"), docE("E");
  docE.registerAt(3);
  docE.hook = [&](std::string_view n) {
    if (n == "documentLockModeChanged" && g_vetoNextLock) {
      g_vetoNextLock = false;
      docE.KOVAVeto();
    }
  };
  ids.append(line);
  GetParam().raise(*this);
  std::istringstream kinds(GetParam().kinds);
  for (std::string kind; kinds >> kind;) {
    SCOPED_TRACE(kind);
    std::vector<std::string> whats, who = whoHeard(kind, &whats);
    ASSERT_FALSE(who.empty());
    ASSERT_EQ(who.size() % 5, 0u);
    for (size_t i = 0; i < who.size(); ++i) {
      EXPECT_EQ(who[i], (std::vector<std::string>{"D", "A", "B", "C", "E"})[i % 5]);
      EXPECT_EQ(whats[i], GetParam().expected ? GetParam().expected(*this) : whats[i - i % 5]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Hub, EveryNotification, ::testing::ValuesIn(kEvents),
                         [](const ::testing::TestParamInfo<Event>& info) {
                           return std::string(info.param.kinds).substr(0, std::string(info.param.kinds).find(' '));
                         });

// ---- A throwing client in a guarded notification ----

struct Guarded {
  const char* notification;
  std::function<void(Session&)> raise;
};
class GuardedNotification : public Session, public ::testing::WithParamInterface<Guarded> {};

const Guarded kGuarded[] = {
    {"documentCreated", [](Session&) { kvhost::newDocument(L"C.dwg"); }},
    {"documentToBeDestroyed", [](Session& s) { kvhost::closeDocument(s.b); }},
    {"documentCreateCanceled", [](Session&) { kvhost::cancelDocumentCreation(L"D.dwg"); }},
    {"documentLockModeChanged", [](Session& s) { acDocManagerPtr()->lockDocument(s.a); }},
};

TEST_P(GuardedNotification, StopsTheFaultReportsItOnceAndLeavesNoStateBehind) {
  const std::string notification = GetParam().notification;
  BaseDoc thrower("thrower");
  PlainDoc after("after", 0);
  bool undoRecording = true;
  thrower.hook = [&](std::string_view n) {
    if (n != notification) return;
    if (n == "documentCreated") undoRecording = acdbHostApplicationServices()->workingDatabase()->undoRecording();
    throw std::runtime_error("client fault");
  };
  KvTrace::clearCrashReports();
  EXPECT_NO_THROW(GetParam().raise(*this));
  EXPECT_EQ(whoHeard(notification), std::vector<std::string>{"thrower"});
  ASSERT_EQ(KvTrace::crashReports().size(), 1u);
  const std::wstring function = KvTrace::crashReports()[0].function;
  EXPECT_EQ(function.substr(function.rfind(L':') + 1), testfiles::widen(notification));
  for (AcApDocument* d : kvhost::documents()) {
    EXPECT_EQ(d->dbmodDepth(), 0);
    EXPECT_TRUE(d->database()->undoRecording());
  }
  // Clients of a new drawing work on it with undo recording off.
  EXPECT_TRUE(notification != "documentCreated" || !undoRecording);
}

INSTANTIATE_TEST_SUITE_P(Hub, GuardedNotification, ::testing::ValuesIn(kGuarded),
                         [](const ::testing::TestParamInfo<Guarded>& info) { return info.param.notification; });

// ---- The fan-out rule ----

TEST_F(Session, ANotificationKeepsTheClientsRegisteredWhenItArrived) {
  std::unique_ptr<PlainDb> early, late;
  PlainDb adder("adder", 0), target("target", 5);
  adder.hook = [&](std::string_view n) {
    if (n != "objectOpenedForModify" || early) return;
    early = std::make_unique<PlainDb>("early", -10);
    late = std::make_unique<PlainDb>("late", 10);
    hubRemove(&target);
  };
  std::unique_ptr<PlainDoc> newcomer;
  BaseDoc docAdder("docAdder");
  PlainDoc docTarget("docTarget", 5);
  docAdder.hook = [&](std::string_view n) {
    if (n != "documentLockModeChanged" || newcomer) return;
    newcomer = std::make_unique<PlainDoc>("newcomer", -5);
    hubRemove(&docTarget);
  };
  moveLine(2);
  // Registered during one notification, heard from the next; removed, still heard.
  EXPECT_EQ(whoHeard("objectOpenedForModify"), (std::vector<std::string>{"adder", "target"}));
  EXPECT_EQ(whoHeard("objectModified"), (std::vector<std::string>{"early", "adder", "late"}));
  // Locked, then unlocked.
  EXPECT_EQ(whoHeard("documentLockModeChanged"),
            (std::vector<std::string>{"docAdder", "docTarget", "newcomer", "docAdder"}));
}

// Takes the place of a destroyed client in its memory: any call that still
// reaches that address lands here, and its bytes read as a set flag.
template <class Base>
struct Tripwire : Base {
  Tripwire() { std::fill(std::begin(flags), std::end(flags), static_cast<unsigned char>(1)); }
  unsigned char flags[32];
};
struct DbTripwire : Tripwire<AcDbDatabaseReactor> {
  void objectAppended(const AcDbDatabase*, const AcDbObject*) override { heard().push_back({"tripwire", ""}); }
  void objectModified(const AcDbDatabase*, const AcDbObject*) override { heard().push_back({"tripwire", ""}); }
};
struct DocTripwire : Tripwire<AcApDocManagerReactor> {
  void documentLockModeChanged(AcApDocument*, AcAp::DocLockMode, AcAp::DocLockMode, AcAp::DocLockMode,
                               const ACHAR*) override {
    heard().push_back({"tripwire", ""});
  }
};

template <class Client, class Wire>
struct Grave {
  static_assert(sizeof(Wire) <= sizeof(Client), "the tripwire must fit where the client stood");
  alignas(Client) alignas(Wire) unsigned char storage[sizeof(Client)];
  Client* client = new (storage) Client("victim");
  Wire* wire = nullptr;
  void bury() {
    client->~Client();
    wire = new (storage) Wire;
  }
  ~Grave() {
    if (wire)
      wire->~Wire();
    else
      client->~Client();
  }
};

TEST_F(Session, AClientDestroyedDuringAFanOutIsNotCalledAnyMore) {
  PlainDb nester("nester", -5), killer("killer", -4);
  Grave<BaseDb, DbTripwire> grave;
  BaseDb removed("removed");
  nester.hook = [&](std::string_view n) {
    if (n == "objectAppended" && whoHeard("objectAppended").size() == 1) moveLine(9);
  };
  // Inside the nested objectModified: one client destroyed, one only removed.
  killer.hook = [&](std::string_view n) {
    if (n != "objectModified" || grave.wire) return;
    grave.bury();
    hubRemove(&removed);
  };
  kvhost::addEntity(a, newLine(4));
  EXPECT_EQ(whoHeard("objectOpenedForModify"), (std::vector<std::string>{"nester", "killer", "victim", "removed"}));
  EXPECT_EQ(whoHeard("objectModified"), (std::vector<std::string>{"nester", "killer", "removed"}));
  // The outer fan-out's snapshot forgot the destroyed client too.
  EXPECT_EQ(whoHeard("objectAppended"), (std::vector<std::string>{"nester", "killer", "removed"}));
  EXPECT_TRUE(whoHeard("").empty());
}

TEST_F(Session, TheLastDatabaseClientLeavingInsideANotificationIsSafe) {
  auto only = std::make_unique<PlainDb>("only", 0);
  std::unique_ptr<PlainDb> next;
  AcDbDatabaseReactor* delivering = dbDispatcher();
  bool detachedAtOnce = false;
  only->hook = [&](std::string_view n) {
    if (n != "objectOpenedForModify") return;
    hubRemove(only.get());
    detachedAtOnce = dbDispatcher() == nullptr && !dbA()->reactors().contains(delivering) &&
                     !b->database()->reactors().contains(delivering);
  };
  moveLine(2);
  EXPECT_TRUE(detachedAtOnce);
  // The host did not call the retired dispatcher for the rest of the operation.
  EXPECT_TRUE(whoHeard("objectModified").empty());

  // Leaving and coming back within one notification: a new dispatcher, attached once.
  hubAdd(only.get(), 0);
  only->hook = [&](std::string_view n) {
    if (n != "objectOpenedForModify" || next) return;
    hubRemove(only.get());
    next = std::make_unique<PlainDb>("next", 0);
  };
  moveLine(3);
  EXPECT_EQ(whoHeard("objectModified"), std::vector<std::string>{"next"});
  EXPECT_EQ(attachments(dbA()), 1);
  EXPECT_EQ(attachments(b->database()), 1);
}

// ---- Vetoes ----

TEST_F(Session, AVetoStopsTheLockChangeAndTheFanOut) {
  struct Foreign : AcApDocManagerReactor {
    unsigned char bytes[32];
    Foreign() { std::fill(std::begin(bytes), std::end(bytes), static_cast<unsigned char>(1)); }
  } foreign;
  BaseDoc first("first"), second("second");
  Grave<BaseDoc, DocTripwire> grave;
  hubAdd(&foreign, 0);
  int vetoes = 1;
  second.hook = [&](std::string_view n) {
    if (n == "documentLockModeWillChange") second.KOVAVeto();  // not honoured here
    if (n == "documentLockModeChanged" && vetoes > 0) {
      --vetoes;
      second.KOVAVeto();
      second.KOVAVeto();  // one request
    }
  };
  EXPECT_EQ(acDocManagerPtr()->lockDocument(a), Acad::eVetoed);
  EXPECT_EQ(a->myLockMode(), AcAp::kNotLocked);
  EXPECT_EQ(whoHeard("documentLockModeChanged"), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(whoHeard("documentLockModeChangeVetoed"), (std::vector<std::string>{"first", "second", "victim"}));
  // Work that needs the lock is refused.
  vetoes = 1;
  const int entities = kvhost::entities(a).length();
  EXPECT_TRUE(kvhost::addEntity(a, newLine(8)).isNull());
  EXPECT_EQ(kvhost::entities(a).length(), entities);

  // The request was cleared: the next change goes through. A client destroyed
  // meanwhile is neither called nor read for a veto, nor is a foreign one.
  heard().clear();
  first.hook = [&](std::string_view n) {
    if (n == "documentLockModeChanged" && !grave.wire) grave.bury();
  };
  EXPECT_EQ(acDocManagerPtr()->lockDocument(a), Acad::eOk);
  EXPECT_EQ(whoHeard("documentLockModeChanged"), (std::vector<std::string>{"first", "second"}));
  EXPECT_TRUE(whoHeard("").empty());
  for (unsigned char byte : foreign.bytes) EXPECT_EQ(byte, 1);  // nor written
  // Releasing a lock cannot be vetoed: the host refuses and all clients hear it.
  heard().clear();
  vetoes = 1;
  EXPECT_EQ(acDocManagerPtr()->unlockDocument(a), Acad::eOk);
  EXPECT_EQ(a->myLockMode(), AcAp::kNotLocked);
  EXPECT_EQ(whoHeard("documentLockModeChanged"), (std::vector<std::string>{"first", "second"}));
  hubRemove(&foreign);
}

// ---- Documents opened and closed while clients listen ----

TEST_F(Session, TheDatabaseDispatcherFollowsTheOpenDocuments) {
  BaseDoc docs("docs");
  auto dbClient = std::make_unique<BaseDb>("db");
  std::vector<std::string> seen;  // at each document notification: attachments, DBMOD depth
  docs.hook = [&](std::string_view n) {
    AcApDocument* d = docs.lastDoc;
    if (n != "documentCreated" && n != "documentCreateCanceled" && n != "documentToBeDestroyed") return;
    seen.push_back(std::string(n) + " " + std::to_string(attachments(d->database())) + " " +
                   std::to_string(d->dbmodDepth()));
    if (n == "documentCreated") kvhost::addEntity(d, newLine(1));
    if (n == "documentToBeDestroyed") d->database()->setHeaderSysVar(L"LTSCALE", L"4");
  };
  AcApDocument* c = kvhost::newDocument(L"C.dwg");
  kvhost::cancelDocumentCreation(L"D.dwg");
  for (AcApDocument* d : kvhost::documents()) EXPECT_EQ(attachments(d->database()), 1);
  kvhost::closeDocument(c);
  EXPECT_EQ(seen, (std::vector<std::string>{"documentCreated 1 1", "documentCreateCanceled 0 0",
                                            "documentToBeDestroyed 0 0"}));
  // What the clients did to the new drawing reached the database client; to the closing one, not.
  EXPECT_EQ(whoHeard("objectAppended"), std::vector<std::string>{"db"});
  EXPECT_TRUE(whoHeard("headerSysVarChanged").empty());

  dbClient.reset();
  EXPECT_EQ(dbDispatcher(), nullptr);
  kvhost::newDocument(L"E.dwg");
  for (AcApDocument* d : kvhost::documents()) EXPECT_TRUE(d->database()->reactors().isEmpty());
}

// The first database client may arrive while a drawing is going away, when
// its document has already left the document list; the dispatcher it brings
// is attached to that drawing too and must come off it when it retires.
TEST_F(Session, ADispatcherRetiredWhileADrawingGoesAwayIsNotLeftOnIt) {
  struct LastClientLeaves : AcEditorReactor {
    std::unique_ptr<BaseDb> client;
    void databaseToBeDestroyed(AcDbDatabase*) override { client.reset(); }
  } leaver;
  acedEditorPtr()->addReactor(&leaver);
  BaseDoc docs("docs");
  docs.hook = [&](std::string_view n) {
    if (n == "documentCreateCanceled" || n == "documentToBeDestroyed") leaver.client = std::make_unique<BaseDb>("late");
  };
  for (bool cancel : {true, false}) {
    SCOPED_TRACE(cancel ? "cancelled creation" : "closed drawing");
    if (cancel)
      kvhost::cancelDocumentCreation(L"D.dwg");
    else
      kvhost::closeDocument(b);
    EXPECT_EQ(leaver.client, nullptr);
    EXPECT_EQ(dbDispatcher(), nullptr);
    for (AcApDocument* d : kvhost::documents()) EXPECT_TRUE(d->database()->reactors().isEmpty());
  }
  acedEditorPtr()->removeReactor(&leaver);
}

}  // namespace
