// Roll-backs in sessions as client modules produce them. Each session says
// which drawings must end as they were at a given moment; none may end
// locked or with an undo step still queued.
#include <KvTrace.h>
#include <ostream>
#include "undotestsupport.h"

namespace undotest {
namespace {

// A document client that vetoes every lock change while it is set.
class LockVeto : public KOVADocReactorBase {
 public:
  bool active = true;
  void documentLockModeChanged(AcApDocument*, AcAp::DocLockMode, AcAp::DocLockMode, AcAp::DocLockMode,
                               const ACHAR*) override {
    if (active) KOVAVeto();
  }
};

struct Session;
class RollBack : public UndoTest, public ::testing::WithParamInterface<Session> {
 public:
  using UndoTest::addLine;
  using UndoTest::client;
  using UndoTest::doc;
  using UndoTest::lineIn;
  using UndoTest::requestRollBackOn;
  struct Kept {
    std::map<AcDbHandle, std::vector<unsigned char>> state;
    int counter;
  };
  // The drawing must end as it is now.
  void keep(AcApDocument* d) { kept[d] = {drawingState(d), markerCounter(d)}; }
  std::map<AcApDocument*, Kept> kept;
  std::wstring file = tempPath(L"rollback.kvdwg");
};

struct Session {
  const char* name;
  std::function<void(RollBack&)> play;
};
void PrintTo(const Session& s, std::ostream* os) { *os << s.name; }

TEST_P(RollBack, UndoesExactlyTheMarkedWorkOfItsOwnDrawing) {
  failOnUndoLoop();
  addLine(1);  // earlier work, an undo step of its own
  GetParam().play(*this);
  EXPECT_EQ(kvhost::pendingCommandCount(), 0);
  const std::vector<AcApDocument*> open = kvhost::documents();
  for (AcApDocument* d : open) EXPECT_EQ(d->myLockMode(), AcAp::kNotLocked) << d->fileName();
  for (const auto& [d, k] : kept) {
    ASSERT_NE(std::find(open.begin(), open.end(), d), open.end());
    EXPECT_EQ(drawingState(d), k.state) << d->fileName();
    EXPECT_EQ(markerCounter(d), k.counter) << d->fileName();
  }
  removeFile(file);
}

// A command that adds a line, queues its redraw and ends as given; a client
// throwing in an ending leaves no mark open and no save filter on.
Session ending(const char* name, kvhost::CommandOutcome outcome) {
  return {name, [outcome](RollBack& t) {
            const std::wstring ends = outcome == kvhost::CommandOutcome::kCancelled ? L"commandCancelled "
                                      : outcome == kvhost::CommandOutcome::kFailed  ? L"commandFailed "
                                                                                    : L"commandEnded ";
            auto work = [&](const wchar_t* command, double x) {
              kvhost::runCommand(command, [&] {
                KOVAEditorReactorBase::redrawEntity(t.addLine(x));
                if (outcome == kvhost::CommandOutcome::kCancelled) throw kvhost::CommandCancelled();
                if (outcome == kvhost::CommandOutcome::kFailed) throw std::runtime_error("failed");
              });
            };
            work(L"WORK", 2);
            EXPECT_EQ(g_FnLog.lines().size(), 4u);  // start and end, each with its info line
            // Only an ended command redraws what clients queued.
            EXPECT_EQ(kvhost::redrawCount(kvhost::entities(t.doc)[1]), outcome == kvhost::CommandOutcome::kEnded ? 1 : 0);
            t.client->hook = [&](const std::wstring& e) {
              if (e == ends + L"QSAVE") throw std::runtime_error("client fault");
            };
            work(L"QSAVE", 3);
            EXPECT_FALSE(g_ReactorManager.filterReactors());
            EXPECT_FALSE(KvTrace::crashReports().empty());
            t.keep(t.doc);
            t.requestRollBackOn(ends + L"WORK");
            work(L"WORK", 4);
          }};
}

const Session kSessions[] = {
    ending("ACommandEnds", kvhost::CommandOutcome::kEnded),
    ending("ACommandIsCancelled", kvhost::CommandOutcome::kCancelled),
    ending("ACommandFails", kvhost::CommandOutcome::kFailed),
    {"ACommandChangesAddsAndErases",
     [](RollBack& t) {
       AcDbObjectId changed = t.addLine(2), erased = t.addLine(3);
       kvhost::runCommand(L"NOOP");
       t.keep(t.doc);
       const int mark = markerCounter(t.doc) + 1;
       t.client->hook = [&](const std::wstring& e) {
         if (e == L"commandWillStart EDIT" || e == L"commandEnded EDIT") {
           EXPECT_EQ(markerCounter(t.doc), mark) << e;
         }
       };
       kvhost::runCommand(L"EDIT", [&] {
         t.addLine(7);
         kvhost::modifyObject(changed, [](AcDbObject* o) { AcDbLine::cast(o)->setEndPoint(AcGePoint3d(9, 9, 9)); });
         kvhost::modifyObject(changed, [](AcDbObject* o) { AcDbEntity::cast(o)->setLayer(L"moved"); });
         kvhost::eraseObject(erased);
         requestRollBack();
       });
     }},
    {"TheLastClientLeavesOrIsReplacedInsideACommandOrAModelessOperation",
     [](RollBack& t) {
       kvhost::runCommand(L"UNLOAD", [&] { t.client.reset(); });
       t.client = std::make_unique<RecordingClient>();
       kvhost::modelessOperation(L"PALETTE", [&] { t.client.reset(); });
       t.client = std::make_unique<RecordingClient>();
       t.keep(t.doc);
       // A module reloaded inside the command: its request is served.
       kvhost::runCommand(L"RELOAD", [&] {
         t.addLine(3);
         t.client.reset();
         t.client = std::make_unique<RecordingClient>();
         requestRollBack();
       });
     }},
    {"TheLastClientLeavesAsTheCommandEndsWithRedrawsQueued",
     [](RollBack& t) {
       // Also of a side database that goes before the end is handled.
       AcDbObjectId queuedBefore = t.addLine(2), queuedAfter = t.addLine(3), sideLine;
       t.client->hook = [&](const std::wstring& e) {
         if (e != L"commandEnded EDIT") return;
         AcDbDatabase* side = sideDatabaseWithLine(sideLine);
         for (AcDbObjectId id : {queuedBefore, sideLine}) KOVAEditorReactorBase::redrawEntity(id);
         g_ReactorManager.removeEdReactor(t.client.get());
         KOVAEditorReactorBase::redrawEntity(queuedAfter);
         delete side;
         EXPECT_FALSE(RecordingClient::queues(sideLine));
       };
       kvhost::runCommand(L"EDIT");
       EXPECT_EQ(kvhost::redrawCount(queuedBefore), 1);
       EXPECT_EQ(kvhost::redrawCount(queuedAfter), 1);
     }},
    {"AModelessOperationAsks",
     [](RollBack& t) {
       AcDbObjectId line = t.addLine(2);
       kvhost::modelessOperation(L"PALETTE", [&] {
         kvhost::runCommand(L"LINE", [&] { t.addLine(3); });
         EXPECT_EQ(t.doc->myLockMode(), AcAp::kWrite);  // a command's end releases nothing of the operation's
       });
       t.keep(t.doc);
       // An operation named like a command that is never marked is still marked, and its mark locks.
       t.requestRollBackOn(L"modelessOperationEnded UNDO");
       kvhost::modelessOperation(L"UNDO", [&] {
         EXPECT_EQ(t.doc->myLockMode(), AcAp::kWrite);
         t.addLine(5);
         kvhost::modifyObject(line, [](AcDbObject* o) { AcDbEntity::cast(o)->setLayer(L"palette"); });
       });
     }},
    {"AModelessOperationWhoseLockWasVetoed",
     [](RollBack& t) {
       // Its mark raised nothing: a step would undo the command before it.
       kvhost::runCommand(L"LINE", [&] { t.addLine(2); });
       t.keep(t.doc);
       LockVeto veto;
       t.requestRollBackOn(L"modelessOperationEnded PALETTE");
       kvhost::modelessOperation(L"PALETTE", [] {});
       veto.active = false;
       t.client->hook = nullptr;
       kvhost::runCommand(L"NOOP");  // nor is a roll-back left pending for the next command
       ++t.kept[t.doc].counter;
     }},
    {"AnOperationLockIsVetoedWhileSomeoneElseHoldsOne",
     [](RollBack& t) {
       ASSERT_EQ(acDocManagerPtr()->lockDocument(t.doc, AcAp::kWrite, L"OWNER"), Acad::eOk);
       LockVeto veto;
       kvhost::modelessOperation(L"PALETTE", [] {});
       veto.active = false;
       ASSERT_EQ(t.doc->locks().length(), 1);  // the operation released only what it was granted
       EXPECT_EQ(t.doc->locks()[0].globalCommand, L"OWNER");
       EXPECT_EQ(acDocManagerPtr()->unlockDocument(t.doc), Acad::eOk);
     }},
    {"ADrawingClosedInsideAModelessOperationOfItsOwn",
     [](RollBack&) {
       // Nothing of its open mark is left to the drawing made next, which mostly takes its place in memory.
       AcApDocument* gone = kvhost::newDocument(L"gone.dwg");
       AcApDocument* next = nullptr;
       kvhost::modelessOperation(L"PALETTE", [&] {
         EXPECT_TRUE(kvhost::closeDocument(gone));
         next = kvhost::newDocument(L"next.dwg");
         EXPECT_EQ(acDocManagerPtr()->lockDocument(next, AcAp::kWrite, L"OWNER"), Acad::eOk);
       });
       EXPECT_EQ(acDocManagerPtr()->unlockDocument(next), Acad::eOk);  // the end of the closed drawing's operation released nothing
       kvhost::modelessOperation(L"PALETTE", [&] { EXPECT_EQ(next->myLockMode(), AcAp::kWrite); });
     }},
    {"UndoRecordingIsOffForTheWholeCommand",
     [](RollBack& t) {
       kvhost::runCommand(L"LINE", [&] { t.addLine(2); });
       kvhost::setUndoRecording(t.doc, false);
       kvhost::runCommand(L"LINE", [&] {
         t.addLine(3);
         requestRollBack();
         t.keep(t.doc);  // its work cannot be undone; a step would undo the command before it
       });
       kvhost::setUndoRecording(t.doc, true);
     }},
    {"UndoRecordingIsSwitchedOffAfterTheWorkWasRecorded",
     [](RollBack& t) {
       t.keep(t.doc);
       kvhost::runCommand(L"LINE", [&] {
         t.addLine(2);
         kvhost::setUndoRecording(t.doc, false);
         requestRollBack();
       });
       kvhost::setUndoRecording(t.doc, true);
     }},
    {"AnExcludedCommandChangedTheDrawingAfterTheMarkedOne",
     [](RollBack& t) {
       // Its undo group lies below the last mark's: the roll-back goes through it on to the mark.
       t.keep(t.doc);
       AcDbObjectId line;
       kvhost::runCommand(L"LINE", [&] { line = t.addLine(2); });
       kvhost::defineCommand(L"kovaDBupdate", [&] {
         AcDbObjectPointer<AcDbLine>(line, AcDb::kForWrite)->setStartPoint(AcGePoint3d(9, 9, 0));
       });
       t.requestRollBackOn(L"commandEnded KOVADBUPDATE");
       kvhost::executeString(L"kovaDBupdate");
     }},
    {"ASavedAndReopenedDrawingOfEitherForm",
     [](RollBack& t) {
       for (int i = 0; i < 3; ++i) kvhost::runCommand(L"NOOP");
       t.requestRollBackOn(L"commandEnded LINE");
       for (const wchar_t* form : {L".kvdwg", L".dxf"}) {
         ASSERT_EQ(kvhost::saveDocument(t.doc, t.file + form), Acad::eOk);
         AcApDocument* reopened = kvhost::openDocument(t.file + form);
         removeFile(t.file + form);
         ASSERT_NE(reopened, nullptr);
         EXPECT_EQ(markerCounter(reopened), 3);
         t.keep(reopened);
         kvhost::runCommand(L"LINE", [&] { t.lineIn(reopened, 2); });
       }
     }},
    {"NothingIsLeftToUndoInAReopenedDrawing",
     [](RollBack& t) {
       // An excluded command's request runs against the last remembered
       // value, below what this drawing holds.
       kvhost::runCommand(L"NOOP");
       kvhost::runCommand(L"NOOP");
       fprintf(stderr, "after NOOP %d\n", markerCounter(t.doc));
       ASSERT_EQ(kvhost::saveDocument(t.doc, t.file), Acad::eOk);
       t.keep(kvhost::openDocument(t.file));
       t.requestRollBackOn(L"commandEnded REGEN");
       kvhost::executeString(L"REGEN");
     }},
    {"ADrawingWhoseMarkerIsOfANewerVersion",
     [](RollBack& t) {
       AcApDocument* elsewhere = openDrawingWithMarker(t.file, 2, 7);
       ASSERT_NE(elsewhere, nullptr);
       t.keep(t.doc);
       t.client.reset();  // it reads the marker, which this module cannot
       KOVAEditorReactorBase marking;
       kvhost::runCommand(L"LINE", [&] { t.lineIn(elsewhere, 2), requestRollBack(); });
       EXPECT_EQ(kvhost::entities(elsewhere).length(), 0);
     }},
    {"ADrawingWhoseCounterStandsAtItsTopOrAtMinusOne",
     [](RollBack& t) {
       for (Adesk::Int32 counter : {INT32_MAX, -1}) {
         AcApDocument* elsewhere = openDrawingWithMarker(t.file, 1, counter);
         ASSERT_NE(elsewhere, nullptr);
         t.keep(elsewhere);
         kvhost::runCommand(L"LINE", [&] { t.lineIn(elsewhere, 2), requestRollBack(); });
       }
     }},
    {"ARequestBeforeAnyMarkInTheSession",
     [](RollBack& t) {
       // No mark was made in this drawing, whose counter says 2, before its line was added.
       AcApDocument* elsewhere = openDrawingWithMarker(t.file, 1, 2);
       ASSERT_NE(elsewhere, nullptr);
       t.lineIn(elsewhere, 2);
       t.keep(elsewhere);
       t.requestRollBackOn(L"commandEnded REGEN");
       kvhost::executeString(L"REGEN");
     }},
    {"CommandsRunBetweenTheEndAndTheUndoSteps",
     [](RollBack& t) {
       // Posted to the refused command's drawing, they go back with it; in
       // another drawing, however they start, they keep their work there.
       AcApDocument* other = kvhost::newDocument(L"other.dwg");
       for (int i = 0; i < 2; ++i) kvhost::runCommand(L"NOOP");  // its counter is not the other's
       for (const wchar_t* name : {L"kovaDBupdate", L"DRAW"})
         kvhost::defineCommand(name, [&] { t.lineIn(acDocManagerPtr()->curDocument(), 9); });
       auto post = [](AcApDocument* d, const wchar_t* c) { acDocManagerPtr()->sendStringToExecute(d, c, true, false, false); };
       const std::vector<std::function<void()>> ways = {
           [&] { post(t.doc, L"kovaDBupdate\n"); }, [&] { post(t.doc, L"DRAW\n"); }, [&] { post(other, L"DRAW\n"); },
           [&] { kvhost::activateDocument(other), kvhost::executeString(L"DRAW"); },
           [&] { kvhost::activateDocument(other), kvhost::modelessOperation(L"PALETTE", [&] { t.lineIn(other, 9); }); }};
       for (size_t way = 0; way < ways.size(); ++way) {
         kvhost::activateDocument(t.doc);
         t.keep(t.doc);
         t.client->hook = [&](const std::wstring& e) {
           if (e == L"commandEnded LINE") requestRollBack(), ways[way]();
         };
         kvhost::runCommand(L"LINE", [&] { t.addLine(2); });
         EXPECT_EQ(kvhost::entities(other).length(), std::max(0, static_cast<int>(way) - 1)) << way;
       }
     }},
    {"TheEditorClientLeavesDuringASave",
     [](RollBack& t) {
       t.client->hook = [&](const std::wstring& e) {
         if (e == L"beginSave") g_ReactorManager.removeEdReactor(t.client.get());
       };
       kvhost::executeString(L"QSAVE " + t.file);
       EXPECT_FALSE(g_ReactorManager.filterReactors());
     }},
    {"AClientErasesOrUnlinksTheHubsDictionary",
     [](RollBack& t) {
       // A new marker is made where the dictionary entry says, and saved.
       for (const bool erase : {true, false}) {
         AcApDocument* d = kvhost::newDocument(L"purged.dwg");
         kvhost::runCommand(L"LINE", [&] { t.lineIn(d, 2); });
         kvhost::runCommand(L"PURGE", [&] {
           AcDbDictionaryPointer nod(d->database()->namedObjectsDictionaryId(), AcDb::kForWrite);
           AcDbObjectId dictionary;
           ASSERT_EQ(nod->getAt(L"KOVA_UNDO_DICTIONARY", dictionary), Acad::eOk);
           ASSERT_EQ(erase ? AcDbDictionaryPointer(dictionary, AcDb::kForWrite)->erase() : nod->remove(L"KOVA_UNDO_DICTIONARY"),
                     Acad::eOk);
         });
         kvhost::runCommand(L"NOOP");
         const std::wstring file = t.file + (erase ? L".erased" : L".unlinked");
         ASSERT_EQ(kvhost::saveDocument(d, file), Acad::eOk);
         EXPECT_TRUE(kvhost::closeDocument(d));
         AcApDocument* reopened = kvhost::openDocument(file);
         removeFile(file);
         EXPECT_EQ(markerCounter(reopened), 1);
         t.keep(reopened);
         kvhost::runCommand(L"LINE", [&] { t.lineIn(reopened, 3), requestRollBack(); });
       }
     }},
    {"AClientKeepsIdsOfADrawingClosedInsideACommand",
     [](RollBack& t) {
       ASSERT_TRUE(kvhost::loadModule(L"RuleChecker.arx")) << kvhost::lastModuleError().c_str();
       AcDbObjectId gone;
       auto scratch = [&] {
         AcApDocument* d = kvhost::newDocument(L"scratch.dwg");
         gone = kvhost::addEntity(d, new AcDbCircle(AcGePoint3d(0, 0, 0), 500));
         EXPECT_TRUE(kvhost::closeDocument(d));
         kvhost::activateDocument(t.doc);
       };
       EXPECT_EQ(kvhost::runCommand(L"SCRATCH", scratch), kvhost::CommandOutcome::kEnded);
       kvhost::modelessOperation(L"PALETTE", scratch);
       AcDbEntityPointer entity(gone, AcDb::kForRead);
       EXPECT_NE(entity.openStatus(), Acad::eOk);
       EXPECT_EQ(markerCounter(t.doc), 2);
     }},
};

INSTANTIATE_TEST_SUITE_P(Sessions, RollBack, ::testing::ValuesIn(kSessions),
                         [](const ::testing::TestParamInfo<Session>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace undotest
