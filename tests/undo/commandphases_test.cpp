// Undo marks and roll-backs around host commands and modeless operations,
// driven through the host's command processor with a registered client.
#include <ostream>
#include <stdexcept>
#include "undotestsupport.h"

namespace kvhost {
inline void PrintTo(CommandOutcome outcome, std::ostream* os) {
  *os << (outcome == CommandOutcome::kCancelled ? "cancelled" : outcome == CommandOutcome::kFailed ? "failed" : "ended");
}
}  // namespace kvhost

namespace undotest {
namespace {

using Events = std::vector<std::wstring>;

TEST_F(UndoTest, MarkedCommandRaisesTheCounterBeforeClientsHearItAndIsLogged) {
  runMarkedCommand();  // the first mark creates the marker
  ASSERT_EQ(markerCounter(doc), 1);
  client->heard.clear();
  g_FnLog.clear();
  size_t mark = kvhost::journal().size();

  EXPECT_EQ(kvhost::runCommand(L"LINE", [&] { addLine(5); }), kvhost::CommandOutcome::kEnded);

  EXPECT_EQ(client->events(), (Events{L"commandWillStart LINE", L"commandEnded LINE"}));
  EXPECT_EQ(client->heard[0].counter, 2);
  EXPECT_EQ(markerCounter(doc), 2);
  EXPECT_EQ(g_FnLog.lines(), (Events{L"start LINE", L"info LINE", L"end LINE", L"info LINE"}));
  EXPECT_EQ(countJournal(L"posted", mark), 0);  // no request, nothing posted

  AcDbDictionaryPointer nod(doc->database()->namedObjectsDictionaryId(), AcDb::kForRead);
  AcDbObjectId dictId;
  ASSERT_EQ(nod->getAt(L"KOVA_UNDO_DICTIONARY", dictId), Acad::eOk);
  AcDbDictionaryPointer dict(dictId, AcDb::kForRead);
  EXPECT_EQ(dict->numEntries(), 1);  // one marker, raised again and again
}

TEST_F(UndoTest, RollBackRestoresEveryEntityAndTheCounter) {
  AcDbObjectId changed = addLine(0), erased = addLine(1);
  runMarkedCommand();
  const int before = markerCounter(doc);
  auto state = drawingState(doc);
  kvhost::defineCommand(L"EDIT", [&] {
    addLine(7);
    kvhost::modifyObject(changed, [](AcDbObject* o) { AcDbLine::cast(o)->setEndPoint(AcGePoint3d(9, 9, 9)); });
    kvhost::modifyObject(changed, [](AcDbObject* o) { AcDbEntity::cast(o)->setLayer(L"moved"); });
    kvhost::eraseObject(erased);
    EXPECT_TRUE(g_ReactorManager.setPostUndoOnCommandFinish(true));
  });
  size_t mark = kvhost::journal().size();
  client->heard.clear();

  EXPECT_EQ(kvhost::executeString(L"EDIT"), kvhost::CommandOutcome::kEnded);

  EXPECT_EQ(drawingState(doc), state);
  EXPECT_EQ(markerCounter(doc), before);
  EXPECT_EQ(countJournal(L"running _UNDO 1", mark), 1);
  EXPECT_EQ(client->events(), (Events{L"commandWillStart EDIT", L"commandEnded EDIT", L"commandWillStart UNDO",
                                      L"commandEnded UNDO"}));
  EXPECT_EQ(client->heard[1].counter, before + 1);  // the mark still stands when the client hears the end
  EXPECT_EQ(doc->myLockMode(), AcAp::kNotLocked);
  EXPECT_EQ(kvhost::pendingCommandCount(), 0);
}

// A roll-back of a drawing's first marked command takes the new marker with
// it: the next command must not be given that marker, and a drawing that
// takes the place of a closed one must not be given the closed one's.
TEST_F(UndoTest, TheFirstMarkedCommandsOfADrawingAndOfTheNextOneAreRolledBack) {
  for (int drawing = 0; drawing < 2; ++drawing) {
    SCOPED_TRACE(drawing);
    requestRollBackOn(L"commandEnded LINE");
    for (int command = 0; command < 2; ++command) {
      kvhost::runCommand(L"LINE", [&] { addLine(command); });
      EXPECT_EQ(kvhost::entities(doc).length(), 0);
    }
    client->hook = nullptr;
    ASSERT_TRUE(kvhost::closeDocument(doc));
    doc = kvhost::newDocument(L"next.dwg");
  }
}

TEST_F(UndoTest, RequestBeforeTheCommandStartsOrWithoutAnEditorClientDoesNothing) {
  runMarkedCommand();
  EXPECT_TRUE(g_ReactorManager.setPostUndoOnCommandFinish(true));
  kvhost::runCommand(L"LINE", [&] { addLine(1); });
  EXPECT_EQ(kvhost::entities(doc).length(), 1);

  client.reset();  // no editor client, no dispatcher: no marks, no roll-back
  const int counter = markerCounter(doc);
  kvhost::runCommand(L"LINE", [&] {
    addLine(2);
    EXPECT_TRUE(g_ReactorManager.setPostUndoOnCommandFinish(true));
  });
  EXPECT_EQ(kvhost::entities(doc).length(), 2);
  EXPECT_EQ(markerCounter(doc), counter);
}

// A step that leaves the counter where it was ends the roll-back: with undo
// recording off the host has nothing that could bring the counter back.
TEST_F(UndoTest, RollBackStopsWhenUndoRecordingIsOff) {
  kvhost::setUndoRecording(doc, false);
  runMarkedCommand();
  failOnUndoLoop();
  size_t mark = kvhost::journal().size();
  requestRollBackOn(L"commandEnded LINE");
  kvhost::runCommand(L"LINE", [&] { addLine(1); });

  EXPECT_LE(countJournal(L"running _UNDO 1", mark), 2);
  EXPECT_EQ(kvhost::pendingCommandCount(), 0);
  EXPECT_EQ(doc->myLockMode(), AcAp::kNotLocked);

  // Idle again: a command without a request posts nothing, one with a request
  // rolls back only itself once undo is recorded again.
  kvhost::setUndoRecording(doc, true);
  client->hook = nullptr;
  mark = kvhost::journal().size();
  runMarkedCommand();
  EXPECT_EQ(countJournal(L"posted", mark), 0);
  auto state = drawingState(doc);
  requestRollBackOn(L"commandEnded LINE");
  kvhost::runCommand(L"LINE", [&] { addLine(2); });
  EXPECT_EQ(drawingState(doc), state);
}

// With recording off the command's work cannot be undone; a roll-back step
// would undo the command before it instead.
TEST_F(UndoTest, RollBackWithUndoRecordingOffLeavesEarlierCommandsAlone) {
  runMarkedCommand();
  kvhost::runCommand(L"LINE", [&] { addLine(1); });
  auto state = drawingState(doc);
  const int counter = markerCounter(doc);
  kvhost::setUndoRecording(doc, false);
  failOnUndoLoop();
  requestRollBackOn(L"commandEnded LINE");
  kvhost::runCommand(L"LINE", [&] { addLine(2); });
  kvhost::setUndoRecording(doc, true);
  EXPECT_EQ(drawingState(doc).size(), state.size() + 1);
  for (const auto& entry : state) EXPECT_EQ(drawingState(doc)[entry.first], entry.second);
  EXPECT_EQ(markerCounter(doc), counter + 1);
  EXPECT_EQ(kvhost::pendingCommandCount(), 0);
}

TEST_F(UndoTest, RollBackStopsWhenNothingIsLeftToUndo) {
  runMarkedCommand();
  runMarkedCommand();
  const std::wstring file = tempPath(L"undo-nothing-left.kvdwg");
  ASSERT_EQ(kvhost::saveDocument(doc, file), Acad::eOk);
  AcApDocument* reopened = kvhost::openDocument(file);
  ASSERT_NE(reopened, nullptr);
  ASSERT_EQ(kvhost::undoGroupCount(reopened), 0);
  ASSERT_EQ(markerCounter(reopened), 2);

  // A request in an excluded command runs against the last remembered value,
  // below what this drawing holds, with no undo history to go back through.
  failOnUndoLoop();
  size_t mark = kvhost::journal().size();
  requestRollBackOn(L"commandEnded REGEN");
  kvhost::executeString(L"REGEN");
  EXPECT_LE(countJournal(L"running _UNDO 1", mark), 2);
  EXPECT_EQ(kvhost::pendingCommandCount(), 0);
  EXPECT_EQ(markerCounter(reopened), 2);
  EXPECT_EQ(reopened->myLockMode(), AcAp::kNotLocked);
  removeFile(file);
}

TEST_F(UndoTest, ExcludedCommandsAreForwardedAndLoggedWithoutAMark) {
  runMarkedCommand();
  const int counter = markerCounter(doc);
  kvhost::defineCommand(L"kovaDBupdate", [] {});
  for (const wchar_t* line : {L"kovaDBupdate", L"REGEN"}) kvhost::executeString(line);
  for (const wchar_t* name : {L"APPLOAD", L"kovaDBhighlightWorkspace", L"-ETRANSMIT", L"CLOSE"}) kvhost::runCommand(name);
  EXPECT_EQ(markerCounter(doc), counter);
  // The host reports a defined command in capitals: still the excluded one.
  EXPECT_NE(client->find(L"commandEnded KOVADBUPDATE"), nullptr);
  EXPECT_NE(client->find(L"commandEnded APPLOAD"), nullptr);
  int ends = 0;
  for (const auto& line : g_FnLog.lines()) ends += line.rfind(L"end ", 0) == 0;
  EXPECT_EQ(ends, 1 + 6);
}

TEST_F(UndoTest, SaveCommandsFilterDatabaseClientsOnlyWhileTheyRun) {
  runMarkedCommand();
  const int counter = markerCounter(doc);
  const std::wstring file = tempPath(L"undo-save.kvdwg");
  EXPECT_EQ(kvhost::executeString(L"_SAVEAS " + file), kvhost::CommandOutcome::kEnded);
  for (const wchar_t* event : {L"commandWillStart SAVEAS", L"beginSave", L"saveComplete", L"commandEnded SAVEAS"}) {
    const Heard* h = client->find(event);
    ASSERT_NE(h, nullptr) << event;
    EXPECT_TRUE(h->filter) << event;
  }
  EXPECT_FALSE(g_ReactorManager.filterReactors());
  EXPECT_EQ(markerCounter(doc), counter);

  // A save that fails or is cancelled clears the flag all the same, before
  // its end is logged.
  bool filteredWhenLogged = true;
  g_FnLog.setListener([&](const std::wstring& line) {
    if (line == L"end QSAVE") filteredWhenLogged = g_ReactorManager.filterReactors();
  });
  EXPECT_EQ(kvhost::executeString(L"QSAVE /no/such/dir/x.kvdwg"), kvhost::CommandOutcome::kFailed);
  g_FnLog.setListener(nullptr);
  EXPECT_FALSE(filteredWhenLogged);
  EXPECT_TRUE(client->find(L"commandFailed QSAVE")->filter);
  EXPECT_FALSE(g_ReactorManager.filterReactors());
  kvhost::runCommand(L"QSAVE", [] { throw kvhost::CommandCancelled(); });
  EXPECT_TRUE(client->find(L"commandCancelled QSAVE")->filter);
  EXPECT_FALSE(g_ReactorManager.filterReactors());
  EXPECT_EQ(markerCounter(doc), counter);

  // A client that ends the filtering during a save is not overruled while
  // the save ends.
  client->hook = [](const std::wstring& e) {
    if (e == L"saveComplete") g_ReactorManager.setFilterReactors(false);
  };
  EXPECT_EQ(kvhost::executeString(L"QSAVE " + file), kvhost::CommandOutcome::kEnded);
  EXPECT_FALSE(client->find(L"commandEnded QSAVE")->filter);
  EXPECT_FALSE(g_ReactorManager.filterReactors());
  removeFile(file);
}

TEST_F(UndoTest, TransparentCommandRequestRollsBackTheWholeOuterCommandOnce) {
  runMarkedCommand();
  auto state = drawingState(doc);
  const int before = markerCounter(doc);
  kvhost::clearCommandRecord();
  kvhost::runCommand(L"OUTER", [&] {
    addLine(1);
    kvhost::runCommand(L"INNER", [&] {
      EXPECT_EQ(markerCounter(doc), before + 2);
      addLine(2);
      EXPECT_TRUE(g_ReactorManager.setPostUndoOnCommandFinish(true));
    });
    // The outer command still holds its mark: nothing may be undone yet.
    EXPECT_EQ(kvhost::commandRecord().size(), 2u);
    addLine(3);
  });
  // OUTER, INNER within it, one "_UNDO 1" posted and run, its one group undone.
  using Kind = kvhost::CommandRecord::Kind;
  const std::vector<kvhost::CommandRecord>& ran = kvhost::commandRecord();
  ASSERT_EQ(ran.size(), 5u);
  EXPECT_EQ(ran[1].depth, 1);
  EXPECT_TRUE(ran[2].kind == Kind::kPosted && ran[2].outcome == kvhost::CommandOutcome::kEnded);
  EXPECT_TRUE(ran[4].kind == Kind::kUndoStep && ran[4].stepsAsked == 1 && ran[4].groupsUndone == 1);
  EXPECT_EQ(drawingState(doc), state);
  EXPECT_EQ(markerCounter(doc), before);
  EXPECT_EQ(doc->myLockMode(), AcAp::kNotLocked);
}

class UndoEndingTest : public UndoTest, public ::testing::WithParamInterface<kvhost::CommandOutcome> {
 protected:
  // Runs a marked command that adds a line and ends as the parameter says.
  kvhost::CommandOutcome runEnding(const wchar_t* name, double x) {
    return kvhost::runCommand(name, [&] {
      AcDbObjectId id = addLine(x);
      KOVAEditorReactorBase::redrawEntity(id);
      if (GetParam() == kvhost::CommandOutcome::kCancelled) throw kvhost::CommandCancelled();
      if (GetParam() == kvhost::CommandOutcome::kFailed) throw std::runtime_error("failed");
    });
  }
  std::wstring endEvent(const wchar_t* name) const {
    switch (GetParam()) {
      case kvhost::CommandOutcome::kCancelled: return std::wstring(L"commandCancelled ") + name;
      case kvhost::CommandOutcome::kFailed: return std::wstring(L"commandFailed ") + name;
      default: return std::wstring(L"commandEnded ") + name;
    }
  }
};

TEST_P(UndoEndingTest, EveryEndingClosesTheMarkAndServesARequest) {
  runMarkedCommand();
  const int before = markerCounter(doc);
  auto state = drawingState(doc);
  g_FnLog.clear();
  EXPECT_EQ(runEnding(L"WORK", 1), GetParam());
  EXPECT_EQ(client->events().back(), endEvent(L"WORK"));
  EXPECT_EQ(markerCounter(doc), before + 1);
  EXPECT_EQ(g_FnLog.lines(), (Events{L"start WORK", L"info WORK", L"end WORK", L"info WORK"}));
  // Only an ended command redraws what clients queued.
  AcDbObjectIdArray lines = kvhost::entities(doc);
  ASSERT_EQ(lines.length(), 1);
  EXPECT_EQ(kvhost::redrawCount(lines[0]), GetParam() == kvhost::CommandOutcome::kEnded ? 1 : 0);

  requestRollBackOn(endEvent(L"WORK"));
  state = drawingState(doc);
  const int second = markerCounter(doc);
  runEnding(L"WORK", 2);
  EXPECT_EQ(drawingState(doc), state);
  EXPECT_EQ(markerCounter(doc), second);
}

// A client that throws while an ending is handled must not leave the mark
// open, the ending flag up or the save filter on: the next command's
// roll-back then undoes that command and nothing before it.
TEST_P(UndoEndingTest, ClientThrowingInTheEndingLeavesNoStateBehind) {
  runMarkedCommand();
  client->hook = [this](const std::wstring& e) {
    if (e == endEvent(L"WORK") || e == endEvent(L"QSAVE")) throw std::runtime_error("client fault");
  };
  runEnding(L"WORK", 1);
  runEnding(L"QSAVE", 2);
  EXPECT_FALSE(g_ReactorManager.filterReactors());
  EXPECT_FALSE(KvTrace::crashReports().empty());

  auto state = drawingState(doc);
  const int before = markerCounter(doc);
  requestRollBackOn(L"commandEnded LINE");
  kvhost::runCommand(L"LINE", [&] { addLine(3); });
  EXPECT_EQ(drawingState(doc), state);
  EXPECT_EQ(markerCounter(doc), before);
  EXPECT_EQ(doc->myLockMode(), AcAp::kNotLocked);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, UndoEndingTest,
                         ::testing::Values(kvhost::CommandOutcome::kEnded, kvhost::CommandOutcome::kCancelled,
                                           kvhost::CommandOutcome::kFailed),
                         [](const ::testing::TestParamInfo<kvhost::CommandOutcome>& info) {
                           switch (info.param) {
                             case kvhost::CommandOutcome::kCancelled: return std::string("Cancelled");
                             case kvhost::CommandOutcome::kFailed: return std::string("Failed");
                             default: return std::string("Ended");
                           }
                         });

TEST_F(UndoTest, ModelessOperationIsMarkedAndHoldsARealWriteLock) {
  AcDbObjectId line = addLine(0);
  runMarkedCommand();
  const int before = markerCounter(doc);
  ASSERT_EQ(doc->myLockMode(), AcAp::kNotLocked);
  // Without the operation's lock nothing outside a command may write.
  {
    AcDbEntity* entity = nullptr;
    ASSERT_EQ(acdbOpenAcDbEntity(entity, line, AcDb::kForWrite), Acad::eLockViolation);
  }
  // An excluded name as the context still gets a mark.
  kvhost::modelessOperation(L"UNDO", [&] {
    EXPECT_EQ(markerCounter(doc), before + 1);
    EXPECT_EQ(doc->myLockMode(), AcAp::kWrite);
    EXPECT_EQ(doc->locks().length(), 1);
    AcDbEntity* entity = nullptr;
    ASSERT_EQ(acdbOpenAcDbEntity(entity, line, AcDb::kForWrite), Acad::eOk);
    entity->setColorIndex(1);
    entity->close();
  });
  EXPECT_EQ(client->events(), (Events{L"commandWillStart NOOP", L"commandEnded NOOP", L"modelessOperationWillStart UNDO",
                                      L"modelessOperationEnded UNDO"}));
  EXPECT_EQ(doc->myLockMode(), AcAp::kNotLocked);
  EXPECT_TRUE(doc->locks().isEmpty());
  EXPECT_EQ(markerCounter(doc), before + 1);
  EXPECT_EQ(g_FnLog.lines().size(), 4u);  // the NOOP command's lines only
}

TEST_F(UndoTest, ModelessOperationRollsBackOnRequestAndUnlocks) {
  AcDbObjectId line = addLine(0);
  runMarkedCommand();
  auto state = drawingState(doc);
  const int before = markerCounter(doc);
  requestRollBackOn(L"modelessOperationEnded PALETTE");
  kvhost::modelessOperation(L"PALETTE", [&] {
    addLine(5);
    kvhost::modifyObject(line, [](AcDbObject* o) { AcDbEntity::cast(o)->setLayer(L"palette"); });
  });
  EXPECT_EQ(drawingState(doc), state);
  EXPECT_EQ(markerCounter(doc), before);
  EXPECT_TRUE(doc->locks().isEmpty());
  EXPECT_EQ(kvhost::pendingCommandCount(), 0);

  // A marked command inside the operation: its end releases nothing of the operation's.
  client->hook = nullptr;
  kvhost::modelessOperation(L"PALETTE", [&] {
    kvhost::runCommand(L"LINE", [&] { addLine(6); });
    EXPECT_EQ(doc->myLockMode(), AcAp::kWrite);
  });
  EXPECT_TRUE(doc->locks().isEmpty());
}

// A document client that vetoes every lock change while it is set.
class LockVeto : public KOVADocReactorBase {
 public:
  bool active = false;
  void documentLockModeChanged(AcApDocument*, AcAp::DocLockMode, AcAp::DocLockMode, AcAp::DocLockMode,
                               const ACHAR*) override {
    if (active) KOVAVeto();
  }
};

TEST_F(UndoTest, AVetoedOperationLockIsNotReleasedAtTheEnd) {
  LockVeto veto;
  ASSERT_EQ(acDocManagerPtr()->lockDocument(doc, AcAp::kWrite, L"OWNER"), Acad::eOk);
  veto.active = true;
  kvhost::modelessOperation(L"PALETTE", [&] { EXPECT_EQ(doc->locks().length(), 1); });
  veto.active = false;
  // The lock someone else took is still there, and only that one.
  ASSERT_EQ(doc->locks().length(), 1);
  EXPECT_EQ(doc->locks()[0].globalCommand, L"OWNER");
  EXPECT_EQ(acDocManagerPtr()->unlockDocument(doc), Acad::eOk);
  EXPECT_EQ(acDocManagerPtr()->unlockDocument(doc), Acad::eNotApplicable);
}

// What the working drawing's undo recording is while a drawing is opened.
class DwgOpenWatcher : public KOVAEditorReactorBase {
 public:
  void beginDwgOpen(ACHAR*) override { seen.push_back(recording()); }
  void endDwgOpen(const ACHAR*, AcDbDatabase*) override { seen.push_back(recording()); }
  static bool recording() { return acdbHostApplicationServices()->workingDatabase()->undoRecording(); }
  std::vector<bool> seen;
};

TEST_F(UndoTest, ClientsSeeUndoRecordingOffWhileADrawingIsOpenedAndBackAfterwards) {
  const std::wstring file = tempPath(L"undo-open.kvdwg");
  ASSERT_EQ(kvhost::saveDocument(doc, file), Acad::eOk);
  AcDbDatabase* working = doc->database();
  DwgOpenWatcher watcher;
  for (bool before : {true, false}) {
    working->disableUndoRecording(!before);
    watcher.seen.clear();
    AcApDocument* opened = kvhost::openDocument(file);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(watcher.seen, (std::vector<bool>{false, false}));
    EXPECT_EQ(working->undoRecording(), before);
    kvhost::closeDocument(opened);
    ASSERT_EQ(acDocManagerPtr()->curDocument(), doc);
  }
  working->disableUndoRecording(false);
  removeFile(file);
}

// An excluded command has an undo group of its own, below the last mark's:
// a roll-back asked for in it goes through that group without the counter
// moving, and on to the marked command.
TEST_F(UndoTest, AnExcludedCommandThatChangedTheDrawingIsRolledBackWithTheMarkedCommandBeforeIt) {
  failOnUndoLoop();
  runMarkedCommand();
  auto state = drawingState(doc);
  const int before = markerCounter(doc);
  AcDbObjectId line;
  kvhost::runCommand(L"LINE", [&] { line = addLine(1); });
  kvhost::defineCommand(L"kovaDBupdate", [&] {
    AcDbObjectPointer<AcDbLine> changed(line, AcDb::kForWrite);
    ASSERT_TRUE(changed);
    changed->setStartPoint(AcGePoint3d(9, 9, 0));
  });
  requestRollBackOn(L"commandEnded KOVADBUPDATE");
  kvhost::executeString(L"kovaDBupdate");
  EXPECT_EQ(drawingState(doc), state);
  EXPECT_EQ(markerCounter(doc), before);
  EXPECT_EQ(kvhost::pendingCommandCount(), 0);
}

// A mark whose increment was refused (the operation's lock was vetoed)
// leaves nothing of its own on the undo record: a step would undo the
// command before it.
TEST_F(UndoTest, ARollBackOfAMarkThatRaisedNothingLeavesEarlierWorkAlone) {
  failOnUndoLoop();
  kvhost::runCommand(L"LINE", [&] { addLine(1); });
  auto state = drawingState(doc);
  const int counter = markerCounter(doc);
  LockVeto veto;
  veto.active = true;
  requestRollBackOn(L"modelessOperationEnded PALETTE");
  const size_t mark = kvhost::journal().size();
  kvhost::modelessOperation(L"PALETTE", [] {});
  veto.active = false;
  EXPECT_EQ(countJournal(L"running _UNDO 1", mark), 0);
  EXPECT_EQ(drawingState(doc), state);
  EXPECT_EQ(markerCounter(doc), counter);
  // Nor is a roll-back left pending for the next command to carry on.
  kvhost::runCommand(L"NOOP");
  EXPECT_EQ(countJournal(L"running _UNDO 1", mark), 0);
}

}  // namespace
}  // namespace undotest
