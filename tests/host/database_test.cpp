// Databases: the open discipline, the notifications real operations raise,
// and undo restoring what commands did.
#include <functional>
#include <utility>
#include "host_support.h"

using namespace hosttest;

namespace {

class Database : public HostTest {};

AcDbObject* openAs(AcDbObjectId id, AcDb::OpenMode mode) {
  AcDbObject* o = nullptr;
  EXPECT_EQ(acdbOpenAcDbObject(o, id, mode), Acad::eOk);
  return o;
}

// One case of the open discipline: what stays open meanwhile (may be
// null), the open that is tried, and its answer.
struct OpenCase {
  const char* name;
  std::function<AcDbObject*(AcDbObjectId)> hold;
  AcDb::OpenMode mode;
  bool lockDocument;
  Acad::ErrorStatus expected;
};

TEST_F(Database, OpenDisciplineAnswers) {
  auto none = [](AcDbObjectId) -> AcDbObject* { return nullptr; };
  auto reader = [](AcDbObjectId id) { return openAs(id, AcDb::kForRead); };
  auto writer = [](AcDbObjectId id) { return openAs(id, AcDb::kForWrite); };
  const OpenCase cases[] = {
      {"read alone", none, AcDb::kForRead, false, Acad::eOk},
      {"second reader", reader, AcDb::kForRead, false, Acad::eOk},
      {"notify beside a reader", reader, AcDb::kForNotify, false, Acad::eOk},
      {"write while read", reader, AcDb::kForWrite, true, Acad::eWasOpenForRead},
      {"read while written", writer, AcDb::kForRead, true, Acad::eWasOpenForWrite},
      {"write while written", writer, AcDb::kForWrite, true, Acad::eWasOpenForWrite},
      {"write unlocked", none, AcDb::kForWrite, false, Acad::eLockViolation},
      {"write locked", none, AcDb::kForWrite, true, Acad::eOk},
  };
  AcDbObjectId id = addLine();
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.lockDocument) {
      ASSERT_EQ(acDocManager->lockDocument(doc), Acad::eOk);
    }
    AcDbObject* held = c.hold(id);
    AcDbObject* tried = nullptr;
    EXPECT_EQ(acdbOpenAcDbObject(tried, id, c.mode), c.expected);
    EXPECT_EQ(tried != nullptr, c.expected == Acad::eOk);
    for (AcDbObject* o : {tried, held}) {
      if (o) {
        EXPECT_EQ(o->close(), Acad::eOk);
      }
    }
    if (c.lockDocument) acDocManager->unlockDocument(doc);
    EXPECT_EQ(setColor(id, 1), Acad::eOk);  // every open was balanced by its close
  }
}

TEST_F(Database, OpenRefusesWhatCannotBeOpened) {
  AcDbObjectId line = addLine();
  AcDbObject* o = nullptr;
  EXPECT_EQ(acdbOpenAcDbObject(o, AcDbObjectId::kNull, AcDb::kForRead), Acad::eNullObjectId);
  EXPECT_EQ(acdbOpenAcDbObject(o, db->getObjectId(db->handseed() + 100), AcDb::kForRead), Acad::eNotInDatabase);
  AcDbCircle* circle = nullptr;
  EXPECT_EQ(acdbOpenObject(circle, line, AcDb::kForRead), Acad::eNotThatKindOfClass);
  EXPECT_EQ(circle, nullptr);
  ASSERT_EQ(kvhost::eraseObject(line), Acad::eOk);
  EXPECT_EQ(acdbOpenAcDbObject(o, line, AcDb::kForRead), Acad::eWasErased);
  ASSERT_EQ(acdbOpenAcDbObject(o, line, AcDb::kForRead, true), Acad::eOk);
  EXPECT_EQ(o->close(), Acad::eOk);
  EXPECT_EQ(o->close(), Acad::eNotOpenForRead);  // closed once too often
  EXPECT_EQ(kvhost::eraseObject(line), Acad::eWasErased);
  EXPECT_EQ(kvhost::eraseObject(line, false), Acad::eOk);
  EXPECT_EQ(kvhost::eraseObject(line, false), Acad::eWasNotErased);
  auto* lone = new AcDbLine;
  AcDbObjectId id;
  EXPECT_EQ(db->addAcDbObject(id, nullptr), Acad::eInvalidInput);
  ASSERT_EQ(db->addAcDbObject(id, lone), Acad::eOk);
  EXPECT_EQ(db->addAcDbObject(id, lone), Acad::eAlreadyInDb);
  EXPECT_EQ(lone->close(), Acad::eOk);
}

TEST_F(Database, ChangingAnObjectOpenForReadIsAFault) {
  AcDbObjectId id = addLine();
  AcDbEntityPointer line(id, AcDb::kForRead);
  ASSERT_TRUE(line);
  EXPECT_THROW(line->setColorIndex(2), AcDbAssertionError);
  EXPECT_EQ(line->erase(), Acad::eNotOpenForWrite);
  EXPECT_EQ(line->upgradeOpen(), Acad::eLockViolation);  // nobody locked the document
  AcAxDocLock lock(id);
  AcDbEntityPointer second(id, AcDb::kForRead);
  EXPECT_EQ(line->upgradeOpen(), Acad::eWasOpenForRead);  // two readers
  second.close();
  ASSERT_EQ(line->upgradeOpen(), Acad::eOk);
  EXPECT_EQ(line->setColorIndex(2), Acad::eOk);
}

// ---- Database notifications ----

// Hears one database: the line the test made is L, objects appended since N.
class DbLog : public AcDbDatabaseReactor {
 public:
  DbLog(AcDbDatabase* db, AcDbObjectId line) : m_pDb(db), m_line(line) { db->addReactor(this); }
  ~DbLog() override {
    if (m_pDb) m_pDb->removeReactor(this);
  }
  void objectAppended(const AcDbDatabase* db, const AcDbObject* o) override { add(db, L"appended", o); }
  void objectUnAppended(const AcDbDatabase* db, const AcDbObject* o) override { add(db, L"unappended", o); }
  void objectOpenedForModify(const AcDbDatabase* db, const AcDbObject* o) override { add(db, L"openedForModify", o); }
  void objectModified(const AcDbDatabase* db, const AcDbObject* o) override { add(db, L"modified", o); }
  void objectErased(const AcDbDatabase* db, const AcDbObject* o, Adesk::Boolean erased) override {
    add(db, erased ? L"erased" : L"unerased", o);
  }
  void headerSysVarWillChange(const AcDbDatabase* db, const ACHAR* n) override { add(db, L"sysVarWillChange " + std::wstring(n)); }
  void headerSysVarChanged(const AcDbDatabase* db, const ACHAR* n, Adesk::Boolean ok) override {
    add(db, L"sysVarChanged " + std::wstring(n) + (ok ? L" 1" : L" 0"));
  }
  void goodbye(const AcDbDatabase* db) override {
    add(db, L"goodbye");
    m_pDb = nullptr;  // the database goes; nothing left to detach from
  }
  Lines lines;

 private:
  // The event, the object and an entity's colour as the reactor sees it.
  void add(const AcDbDatabase* db, const wchar_t* event, const AcDbObject* o) {
    const AcDbEntity* e = AcDbEntity::cast(o);
    add(db, event + std::wstring(o->objectId() == m_line ? L" L" : L" N") +
                (e && o->objectId() == m_line ? L" " + std::to_wstring(e->colorIndex()) : L""));
  }
  void add(const AcDbDatabase* db, const std::wstring& line) { lines.push_back(db == m_pDb ? line : line + L" (other db)"); }
  AcDbDatabase* m_pDb;
  AcDbObjectId m_line;
};

struct DbEventCase {
  const char* name;
  std::function<void(AcDbObjectId line)> act;
  Lines expected;
};

TEST_F(Database, RealOperationsRaiseTheirNotificationsWithTheirArguments) {
  const Lines erase = {L"openedForModify L 256", L"erased L 256", L"modified L 256"};
  const DbEventCase cases[] = {
      {"append", [&](AcDbObjectId) { kvhost::addEntity(doc, new AcDbCircle); }, {L"appended N"}},
      {"modify", [&](AcDbObjectId l) { setColor(l, 5); }, {L"openedForModify L 256", L"modified L 5"}},
      {"open for write, change nothing", [&](AcDbObjectId l) { kvhost::modifyObject(l, [](AcDbObject*) {}); }, {}},
      {"open for read", [&](AcDbObjectId l) { AcDbEntityPointer e(l, AcDb::kForRead); }, {}},
      {"erase", [&](AcDbObjectId l) { kvhost::eraseObject(l); }, erase},
      {"unerase of what is not erased", [&](AcDbObjectId l) { kvhost::eraseObject(l, false); }, {}},
      {"unerase", [&](AcDbObjectId l) {
         kvhost::eraseObject(l);
         kvhost::eraseObject(l, false);
       },
       {erase[0], erase[1], erase[2], L"openedForModify L 256", L"unerased L 256", L"modified L 256"}},
      {"header variable", [&](AcDbObjectId) { kvhost::setSysVar(L"CLAYER", L"walls"); },
       {L"sysVarWillChange CLAYER", L"sysVarChanged CLAYER 1"}},
      {"change in another drawing", [&](AcDbObjectId) { setColor(addLine(kvhost::newDocument(L"b.dwg")), 2); }, {}},
      {"undo of a change", [&](AcDbObjectId l) {
         setColor(l, 5);
         kvhost::executeString(L"_UNDO 1");
       },
       {L"openedForModify L 256", L"modified L 5", L"modified L 256"}},
      {"undo of an append", [&](AcDbObjectId) {
         kvhost::addEntity(doc, new AcDbCircle);
         kvhost::executeString(L"_UNDO 1");
       },
       {L"appended N", L"unappended N"}},
      {"undo of an erase", [&](AcDbObjectId l) {
         kvhost::eraseObject(l);
         kvhost::executeString(L"_UNDO 1");
       },
       {erase[0], erase[1], erase[2], L"modified L 256", L"unerased L 256"}},
      {"write, downgrade, close", [&](AcDbObjectId l) {
         AcAxDocLock lock(l);
         AcDbEntity* e = nullptr;
         ASSERT_EQ(acdbOpenAcDbEntity(e, l, AcDb::kForWrite), Acad::eOk);
         e->setColorIndex(6);
         EXPECT_EQ(e->downgradeOpen(), Acad::eOk);
         EXPECT_FALSE(e->isWriteEnabled());
         e->close();
       },
       {L"openedForModify L 256", L"modified L 6"}},
      {"close of the drawing", [&](AcDbObjectId) { kvhost::closeDocument(doc); }, {L"goodbye"}},
  };
  for (const DbEventCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    AcDbObjectId line = addLine();
    DbLog log(db, line);
    c.act(line);
    EXPECT_EQ(log.lines, c.expected);
  }
}

// Reactors may come and go while they are being notified: one removed
// meanwhile is not called any more, one added meanwhile only from the next event.
TEST_F(Database, ReactorsAddedOrRemovedDuringANotification) {
  AcDbObjectId line = addLine();
  Lines heard;
  struct Named : AcDbDatabaseReactor {
    Named(const wchar_t* n, Lines& h) : name(n), heard(h) {}
    void objectModified(const AcDbDatabase* d, const AcDbObject*) override {
      heard.push_back(name);
      if (onModified) onModified(d);
    }
    std::wstring name;
    Lines& heard;
    std::function<void(const AcDbDatabase*)> onModified;
  } first(L"first", heard), second(L"second", heard), third(L"third", heard);
  bool once = true;
  first.onModified = [&](const AcDbDatabase* d) {
    if (!std::exchange(once, false)) return;
    d->removeReactor(&second);
    d->addReactor(&third);
  };
  db->addReactor(&first);
  db->addReactor(&second);
  setColor(line, 1);
  setColor(line, 2);
  EXPECT_EQ(heard, (Lines{L"first", L"first", L"third"}));
  db->removeReactor(&first);
  db->removeReactor(&third);
  EXPECT_TRUE(db->reactors().isEmpty());
}

// ---- Undo ----

// The live entities of the current drawing as "colour,layer,end x" each.
std::wstring drawing() {
  std::wstring state;
  for (AcDbObjectId id : kvhost::entities(acDocManager->curDocument())) {
    AcDbObjectPointer<AcDbLine> line(id, AcDb::kForRead);
    state += (state.empty() ? L"" : L" ") + std::to_wstring(line->colorIndex()) + L"," + line->layer() + L"," +
             std::to_wstring(static_cast<int>(line->endPoint().x));
  }
  return state;
}

struct UndoStep {
  const wchar_t* typed;
  kvhost::CommandOutcome outcome;
  std::wstring after;  // the drawing then
};
struct UndoCase {
  const char* name;
  std::function<void()> session;  // lines are added at x = 1, 2, ...
  std::vector<UndoStep> steps;
};

TEST_F(Database, UndoRestoresWhatCommandsDidAStepAtATime) {
  using kvhost::runCommand;
  const auto kEnded = kvhost::CommandOutcome::kEnded, kFailed = kvhost::CommandOutcome::kFailed;
  std::vector<AcDbObjectId> l;
  auto line = [&] { l.push_back(addLine(doc, static_cast<double>(l.size() + 1))); };
  auto recording = [&](bool on) { db->disableUndoRecording(!on); };
  auto colors = [&](std::initializer_list<int> each) {
    for (int c : each) runCommand(L"COLOR", [&] { setColor(l[0], static_cast<Adesk::UInt16>(c)); });
  };
  const UndoCase cases[] = {
      {"a command is one step",
       [&] {
         line(), line();
         runCommand(L"WORK", [&] {
           kvhost::modifyObject(l[0], [](AcDbObject* o) {
             AcDbLine::cast(o)->setEndPoint(AcGePoint3d(7, 7, 7));
             AcDbLine::cast(o)->setLayer(L"moved");
           });
           line();
           setColor(l[2], 4);  // a new object changed within the same group
           kvhost::eraseObject(l[1]);
         });
       },
       {{L"_UNDO 1", kEnded, L"256,0,1 256,0,2"}}},
      {"newest first, and no further than the first", [&] { line(), colors({1, 2, 3, 4}); },
       {{L"_UNDO 2", kEnded, L"2,0,1"}, {L"U", kEnded, L"1,0,1"}, {L"_UNDO 99", kEnded, L""}, {L"_UNDO 1", kEnded, L""}}},
      {"something other than a number of steps", [&] { line(), colors({1}); },
       {{L"_UNDO x", kFailed, L"1,0,1"}, {L"_UNDO -3", kFailed, L"1,0,1"},
        {L"_UNDO 99999999999999999999", kFailed, L"1,0,1"}, {L"_UNDO 2x", kFailed, L"1,0,1"},
        {L"_UNDO 1 ", kEnded, L"256,0,1"}}},
      {"nothing recorded while recording is off",
       [&] {
         line(), colors({1}), recording(false), colors({2}), setColor(l[0], 3), line(), recording(true);
       },
       {{L"_UNDO 1", kEnded, L"256,0,1 256,0,2"}}},
      // A command that starts with recording off and turns it on for part of
      // its work: that part is a step of its own, not a piece of the step before.
      {"recording turned on inside a command",
       [&] {
         line(), colors({1}), recording(false);
         runCommand(L"SECOND", [&] { recording(true), setColor(l[0], 2), recording(false); });
         recording(true);
       },
       {{L"_UNDO 1", kEnded, L"1,0,1"}}},
      {"a nested command is inside the outer one's step",
       [&] {
         line();
         runCommand(L"OUTER", [&] { setColor(l[0], 1), runCommand(L"'ZOOM", [&] { setColor(l[0], 2); }); });
       },
       {{L"U", kEnded, L"256,0,1"}}},
      {"a modeless operation is one step",
       [&] {
         line();
         kvhost::modelessOperation(L"palette", [&] {
           setColor(l[0], 1), line(), kvhost::eraseObject(l[1]), runCommand(L"INSIDE");
         });
       },
       {{L"_UNDO 1", kEnded, L"256,0,1"}}},
  };
  for (const UndoCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    l.clear();
    c.session();
    for (const UndoStep& step : c.steps) {
      EXPECT_EQ(kvhost::executeString(step.typed), step.outcome) << narrow(step.typed);
      EXPECT_EQ(drawing(), step.after) << narrow(step.typed);
    }
  }
}

}  // namespace
