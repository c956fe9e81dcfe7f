// Databases: the open discipline, the notifications real operations raise,
// and undo restoring what commands did.
#include <functional>
#include "host_support.h"

using namespace hosttest;

namespace {

class Database : public HostTest {};

// One case of the open discipline: the state the object is put in, the
// open that is tried, and its answer.
struct OpenCase {
  const char* name;
  std::function<AcDbObject*(AcDbObjectId)> hold;  // what stays open meanwhile (may be null)
  AcDb::OpenMode mode;
  bool lockDocument;
  Acad::ErrorStatus expected;
};

AcDbObject* openAs(AcDbObjectId id, AcDb::OpenMode mode) {
  AcDbObject* o = nullptr;
  EXPECT_EQ(acdbOpenAcDbObject(o, id, mode), Acad::eOk);
  return o;
}

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
    if (tried) {
      EXPECT_EQ(tried->close(), Acad::eOk);
    }
    if (held) {
      EXPECT_EQ(held->close(), Acad::eOk);
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
  EXPECT_TRUE(o->isErased());
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
  try {
    line->setColorIndex(2);
    ADD_FAILURE() << "a write to an object open for read went through";
  } catch (const AcDbAssertionError& e) {
    EXPECT_EQ(e.status, Acad::eNotOpenForWrite);
  }
  EXPECT_EQ(line->erase(), Acad::eNotOpenForWrite);
  EXPECT_EQ(line->upgradeOpen(), Acad::eLockViolation);  // nobody locked the document
  AcAxDocLock lock(id);
  AcDbEntityPointer second(id, AcDb::kForRead);
  EXPECT_EQ(line->upgradeOpen(), Acad::eWasOpenForRead);  // two readers
  second.close();
  ASSERT_EQ(line->upgradeOpen(), Acad::eOk);
  EXPECT_EQ(line->setColorIndex(2), Acad::eOk);
  EXPECT_TRUE(line->isWriteEnabled());
}

// ---- Database notifications ----

struct DbEventCase {
  const char* name;
  std::function<void(AcDbObjectId line)> act;
  Lines expected;
};

TEST_F(Database, RealOperationsRaiseTheirNotificationsWithTheirArguments) {
  const DbEventCase cases[] = {
      {"append", [&](AcDbObjectId) { kvhost::addEntity(doc, new AcDbCircle); }, {L"appended N"}},
      {"modify", [&](AcDbObjectId l) { setColor(l, 5); }, {L"openedForModify L 256", L"modified L 5"}},
      {"open for write, change nothing", [&](AcDbObjectId l) { kvhost::modifyObject(l, [](AcDbObject*) {}); }, {}},
      {"open for read", [&](AcDbObjectId l) { AcDbEntityPointer e(l, AcDb::kForRead); }, {}},
      {"erase", [&](AcDbObjectId l) { kvhost::eraseObject(l); },
       {L"openedForModify L 256", L"erased L 1", L"modified L 256"}},
      {"unerase of what is not erased", [&](AcDbObjectId l) { kvhost::eraseObject(l, false); }, {}},
      {"erase and unerase", [&](AcDbObjectId l) {
         kvhost::eraseObject(l);
         kvhost::eraseObject(l, false);
       },
       {L"openedForModify L 256", L"erased L 1", L"modified L 256", L"openedForModify L 256", L"erased L 0",
        L"modified L 256"}},
      {"header variable", [&](AcDbObjectId) { kvhost::setSysVar(L"CLAYER", L"walls"); },
       {L"sysVarWillChange CLAYER", L"sysVarChanged CLAYER 1"}},
      {"change in another drawing",
       [&](AcDbObjectId) {
         AcApDocument* b = kvhost::newDocument(L"b.dwg");
         setColor(addLine(b), 2);
         kvhost::activateDocument(doc);
       },
       {}},
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
       {L"openedForModify L 256", L"erased L 1", L"modified L 256", L"modified L 256", L"erased L 0"}},
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
    DbLog log(db);
    log.name(line, L"L");
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
    if (!once) return;
    once = false;
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

class Undo : public HostTest {};

TEST_F(Undo, UndoOneRestoresChangedAppendedAndErasedObjects) {
  AcDbObjectId changed = addLine();
  AcDbObjectId erased = addLine(doc, 2);
  AcDbObjectId appended;
  int groups = kvhost::undoGroupCount(doc);
  ASSERT_EQ(kvhost::runCommand(L"WORK", [&] {
    kvhost::modifyObject(changed, [](AcDbObject* o) {
      AcDbLine* l = AcDbLine::cast(o);
      l->setEndPoint(AcGePoint3d(7, 7, 7));
      l->setLayer(L"moved");
    });
    appended = addLine(doc, 3);
    setColor(appended, 4);  // a new object changed within the same group
    kvhost::eraseObject(erased);
  }), kvhost::CommandOutcome::kEnded);
  EXPECT_EQ(kvhost::undoGroupCount(doc), groups + 1);
  EXPECT_EQ(kvhost::entities(doc).length(), 2);

  EXPECT_EQ(kvhost::executeString(L"_UNDO 1"), kvhost::CommandOutcome::kEnded);
  EXPECT_EQ(kvhost::undoGroupCount(doc), groups);
  AcDbObjectPointer<AcDbLine> line(changed, AcDb::kForRead);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->endPoint(), AcGePoint3d(1, 0, 0));
  EXPECT_STREQ(line->layer(), L"0");
  EXPECT_FALSE(erased.isErased());
  EXPECT_TRUE(appended.isErased());
  AcDbObjectIdArray live = kvhost::entities(doc);
  EXPECT_EQ(std::vector<AcDbObjectId>(live.begin(), live.end()), (std::vector<AcDbObjectId>{changed, erased}));
}

TEST_F(Undo, StepsGoBackOneGroupAtATimeNewestFirst) {
  AcDbObjectId line = addLine();
  for (Adesk::UInt16 c = 1; c <= 4; ++c)
    kvhost::runCommand(L"COLOR", [&] { setColor(line, c); });
  EdLog ed;
  EXPECT_EQ(kvhost::executeString(L"_UNDO 2"), kvhost::CommandOutcome::kEnded);
  EXPECT_EQ(colorOf(line), 2);
  EXPECT_EQ(kvhost::executeString(L"U"), kvhost::CommandOutcome::kEnded);
  EXPECT_EQ(colorOf(line), 1);
  EXPECT_EQ(ed.lines, (Lines{L"W UNDO", L"undo 0 2", L"undo 1 2", L"E UNDO", L"W U", L"undo 0 1", L"undo 1 1", L"E U"}));
  kvhost::executeString(L"_UNDO 99");  // more than there is: everything, then nothing more
  EXPECT_EQ(kvhost::entities(doc).length(), 0);
  EXPECT_EQ(kvhost::undoGroupCount(doc), 0);
  EXPECT_EQ(kvhost::executeString(L"_UNDO 1"), kvhost::CommandOutcome::kEnded);
}

TEST_F(Undo, NothingIsRecordedWhileUndoRecordingIsOff) {
  AcDbObjectId line = addLine();
  setColor(line, 1);
  int groups = kvhost::undoGroupCount(doc);
  db->disableUndoRecording(true);
  EXPECT_FALSE(db->undoRecording());
  kvhost::runCommand(L"COLOR", [&] { setColor(line, 2); });
  setColor(line, 3);
  AcDbObjectId unrecorded = addLine(doc, 5);
  EXPECT_EQ(kvhost::undoGroupCount(doc), groups);
  db->disableUndoRecording(false);
  kvhost::executeString(L"_UNDO 1");  // undoes the last recorded change, to colour 1
  EXPECT_EQ(colorOf(line), 256);
  EXPECT_FALSE(unrecorded.isErased());
}

// A command that starts with recording off and turns it on for part of
// its work: that part is a step of its own, not a piece of the step before.
TEST_F(Undo, RecordingTurnedOnInsideACommandFormsItsOwnStep) {
  AcDbObjectId line = addLine();
  kvhost::runCommand(L"FIRST", [&] { setColor(line, 1); });
  int groups = kvhost::undoGroupCount(doc);
  db->disableUndoRecording(true);
  kvhost::runCommand(L"SECOND", [&] {
    db->disableUndoRecording(false);
    setColor(line, 2);
    db->disableUndoRecording(true);
  });
  db->disableUndoRecording(false);
  EXPECT_EQ(kvhost::undoGroupCount(doc), groups + 1);
  kvhost::executeString(L"_UNDO 1");
  EXPECT_EQ(colorOf(line), 1);
}

}  // namespace
