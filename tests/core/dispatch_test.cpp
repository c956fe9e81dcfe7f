// The database and document dispatchers as their clients see them: order and
// arguments, crash guards, vetoes and the database attachments. What clients do
// to the registry inside a notification is the re-entrancy stress test's.
#include <gtest/gtest.h>
#include <KvTrace.h>
#include <memory>
#include <sstream>
#include <recorders.h>

namespace {

using namespace rec;

class Session : public TwoDrawings {
 public:
  AcDbDatabase* dbA() const { return a->database(); }
  void raiseDb(const std::function<void(AcDbDatabaseReactor*)>& call) { kvhost::raiseDatabaseEvent(dbA(), call); }
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
    {"objectOpenedForModify objectModified",
     [](Session& s) { kvhost::modifyObject(s.line, [](AcDbObject* o) { AcDbEntity::cast(o)->setColorIndex(3); }); }},
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
     [](Session&) { kvhost::setDocumentActivation(false), kvhost::setDocumentActivation(true); }},
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
  auto first = heard().begin();
  for (std::string kind; kinds >> kind;) {
    SCOPED_TRACE(kind);
    // A row's kinds arrive in the host's order, as listed.
    first = std::find_if(first, heard().end(), [&](const Heard& h) { return isKind(h, kind); });
    EXPECT_NE(first, heard().end());
    expectHeardInOrder({"D", "A", "B", "C", "E"}, kind, GetParam().expected ? GetParam().expected(*this) : "");
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
  bool recording = true;
  int depth = 0;
  thrower.hook = [&](std::string_view n) {
    if (n != notification) return;
    if (n == "documentCreated") {
      recording = acdbHostApplicationServices()->workingDatabase()->undoRecording();
      depth = thrower.lastDoc->dbmodDepth();
    }
    throw std::runtime_error("client fault");
  };
  KvTrace::clearCrashReports();
  kvhost::clearClientFailures();
  EXPECT_NO_THROW(GetParam().raise(*this));
  EXPECT_EQ(whoHeard(notification), std::vector<std::string>{"thrower"});
  ASSERT_EQ(KvTrace::crashReports().size(), 1u);
  const std::wstring function = KvTrace::crashReports()[0].function;
  EXPECT_EQ(function.substr(function.rfind(L':') + 1), testfiles::widen(notification));
  // The host's record names the client that threw, and the module holding it.
  ASSERT_EQ(kvhost::clientFailures().size(), 1u);
  const kvhost::ClientFailure& failure = kvhost::clientFailures()[0];
  // The client is this program's own, named as the system names it (Windows adds ".exe").
  const std::wstring program = failure.module.substr(0, failure.module.rfind(L".exe"));
  EXPECT_EQ(program + L" " + failure.clientClass + L" " + failure.notification + L" " + failure.message,
            L"dispatch_test rec::DocRecorder<KOVADocReactorBase> " + testfiles::widen(notification) + L" client fault");
  for (AcApDocument* d : kvhost::documents()) {
    EXPECT_EQ(d->dbmodDepth(), 0);
    EXPECT_TRUE(d->database()->undoRecording());
  }
  // Clients of a new drawing work with undo recording off and its DBMOD kept.
  if (notification == "documentCreated") {
    EXPECT_FALSE(recording);
    EXPECT_EQ(depth, 1);
  }
  // A client call that returned is not taken for the source of a later fault.
  thrower.hook = nullptr;
  kvhost::newDocument(L"E.dwg");
  kvGuarded(L"Later::run", L"dispatch_test", __LINE__, [] { throw 1; });
  EXPECT_EQ(kvhost::clientFailures().back().clientClass + L" " + kvhost::clientFailures().back().notification, L" run");
}

INSTANTIATE_TEST_SUITE_P(Hub, GuardedNotification, ::testing::ValuesIn(kGuarded),
                         [](const ::testing::TestParamInfo<Guarded>& info) { return info.param.notification; });

// ---- A client's exception through a plain database forwarder ----

// It passes to the host, which fails the command it reached; every object
// is closed and the session goes on.
class ThrowingDbClient : public Session, public ::testing::WithParamInterface<const char*> {};

TEST_P(ThrowingDbClient, FailsTheCommandAndLeavesNothingOpen) {
  const std::string notification = GetParam();
  BaseDb thrower("thrower");
  thrower.hook = [&](std::string_view n) {
    if (n == notification) throw std::runtime_error("client fault");
  };
  auto recolour = [](AcDbObjectId id) {
    return kvhost::modifyObject(id, [](AcDbObject* o) { AcDbEntity::cast(o)->setColorIndex(3); });
  };
  kvhost::activateDocument(a);
  AcDbObjectId added;
  EXPECT_EQ(kvhost::runCommand(L"EDIT", [&] { added = kvhost::addEntity(a, newLine()), recolour(line); }),
            kvhost::CommandOutcome::kFailed);
  thrower.hook = nullptr;
  for (AcDbObjectId id : {line, added}) EXPECT_EQ(recolour(id), Acad::eOk);
  EXPECT_EQ(kvhost::runCommand(L"NEXT"), kvhost::CommandOutcome::kEnded);
}

INSTANTIATE_TEST_SUITE_P(Hub, ThrowingDbClient, ::testing::Values("objectAppended", "objectModified"));

// ---- Vetoes ----

TEST_F(Session, AVetoStopsTheLockChangeAndTheFanOut) {
  // A client not on the base is never read or written for a veto.
  struct Foreign : AcApDocManagerReactor {
    unsigned char bytes[32];
    Foreign() { std::fill(std::begin(bytes), std::end(bytes), static_cast<unsigned char>(1)); }
  } foreign;
  BaseDoc first("first"), second("second");
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
  const std::vector<std::string> both = {"first", "second"};
  EXPECT_EQ(acDocManagerPtr()->lockDocument(a), Acad::eVetoed);
  EXPECT_EQ(a->myLockMode(), AcAp::kNotLocked);
  EXPECT_EQ(whoHeard("documentLockModeChanged"), both);
  EXPECT_EQ(whoHeard("documentLockModeChangeVetoed"), both);
  // Work that needs the lock is refused.
  vetoes = 1;
  const int entities = kvhost::entities(a).length();
  EXPECT_TRUE(kvhost::addEntity(a, newLine(8)).isNull());
  EXPECT_EQ(kvhost::entities(a).length(), entities);
  // The request was cleared: the next change goes through.
  heard().clear();
  EXPECT_EQ(acDocManagerPtr()->lockDocument(a), Acad::eOk);
  EXPECT_EQ(whoHeard("documentLockModeChanged"), both);
  for (unsigned char byte : foreign.bytes) EXPECT_EQ(byte, 1);
  // Releasing a lock cannot be vetoed: the host refuses and all clients hear it.
  heard().clear();
  vetoes = 1;
  EXPECT_EQ(acDocManagerPtr()->unlockDocument(a), Acad::eOk);
  EXPECT_EQ(a->myLockMode(), AcAp::kNotLocked);
  EXPECT_EQ(whoHeard("documentLockModeChanged"), both);
  hubRemove(&foreign);
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
