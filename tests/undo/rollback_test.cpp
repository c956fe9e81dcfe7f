// Roll-backs in sessions as client modules produce them: several drawings,
// clients that come and go or switch drawings while a command ends, drawings
// written elsewhere. Each session says which drawings must end as they were
// at a given moment; none may end locked or with an undo step still queued.
#include <functional>
#include <ostream>
#include <string>
#include <unistd.h>
#include "undotestsupport.h"

namespace undotest {
namespace {

struct Session;
class RollBackSession : public UndoTest, public ::testing::WithParamInterface<Session> {
 public:
  using UndoTest::addLine;
  using UndoTest::client;
  using UndoTest::doc;
  // The drawing must end as it is now.
  void keep(AcApDocument* d) { kept.push_back({d, drawingState(d), markerCounter(d)}); }
  AcDbObjectId lineIn(AcApDocument* d, double x) {
    return kvhost::addEntity(d, new AcDbLine(AcGePoint3d(x, 0, 0), AcGePoint3d(x, 1, 0)));
  }
  // A second drawing with two marked commands of its own, each adding a line.
  AcApDocument* busyOtherDrawing() {
    AcApDocument* other = kvhost::newDocument(L"other.dwg");
    for (double x : {20, 21}) kvhost::runCommand(L"LINE", [&] { lineIn(other, x); });
    return other;
  }
  void request() { EXPECT_TRUE(g_ReactorManager.setPostUndoOnCommandFinish(true)); }

  struct Kept {
    AcApDocument* doc;
    std::map<AcDbHandle, std::vector<unsigned char>> state;
    int counter;
  };
  std::vector<Kept> kept;
  // One file per process: ctest runs the rows side by side.
  std::wstring file = tempPath(L"rollback-elsewhere-" + std::to_wstring(getpid()) + L".kvdwg");
};

struct Session {
  const char* name;
  std::function<void(RollBackSession&)> play;
};
void PrintTo(const Session& s, std::ostream* os) { *os << s.name; }

TEST_P(RollBackSession, UndoesExactlyTheMarkedCommandOfItsOwnDrawing) {
  failOnUndoLoop();
  addLine(1);  // earlier work, outside any command
  GetParam().play(*this);
  EXPECT_EQ(kvhost::pendingCommandCount(), 0);
  for (AcApDocument* d : kvhost::documents()) EXPECT_EQ(d->myLockMode(), AcAp::kNotLocked) << d->fileName();
  for (const Kept& k : kept) {
    ASSERT_TRUE(std::find(kvhost::documents().begin(), kvhost::documents().end(), k.doc) != kvhost::documents().end());
    EXPECT_EQ(drawingState(k.doc), k.state) << k.doc->fileName();
    EXPECT_EQ(markerCounter(k.doc), k.counter) << k.doc->fileName();
  }
  removeFile(file);
}

const Session kSessions[] = {
    {"AClientActivatesAnotherDrawingWhileTheCommandEnds",
     [](RollBackSession& t) {
       AcApDocument* other = t.busyOtherDrawing();
       kvhost::activateDocument(t.doc);
       t.keep(t.doc);
       t.keep(other);
       t.client->hook = [&](const std::wstring& e) {
         if (e != L"commandEnded EDIT") return;
         t.request();
         kvhost::activateDocument(other);
       };
       kvhost::runCommand(L"EDIT", [&] { t.addLine(2); });
     }},
    {"AModelessOperationClosesItsOwnDrawing",
     [](RollBackSession& t) {
       AcApDocument* other = t.busyOtherDrawing();
       kvhost::activateDocument(t.doc);
       t.keep(other);
       kvhost::modelessOperation(L"PALETTE", [&] {
         t.addLine(2);
         t.request();
         EXPECT_TRUE(kvhost::closeDocument(t.doc));
       });
     }},
    {"TheLastClientLeavesInsideACommand",
     [](RollBackSession& t) {
       kvhost::runCommand(L"UNLOAD", [&] { t.client.reset(); });
       t.client = std::make_unique<RecordingClient>();
       t.keep(t.doc);
       kvhost::runCommand(L"LINE", [&] {
         t.addLine(3);
         t.request();
       });
     }},
    {"TheLastClientLeavesInsideAModelessOperation",
     [](RollBackSession& t) { kvhost::modelessOperation(L"PALETTE", [&] { t.client.reset(); }); }},
    {"TheLastClientLeavesAsTheCommandEndsWithRedrawsQueued",
     [](RollBackSession& t) {
       AcDbObjectId queuedBefore = t.addLine(2), queuedAfter = t.addLine(3);
       t.client->hook = [&](const std::wstring& e) {
         if (e != L"commandEnded EDIT") return;
         KOVAEditorReactorBase::redrawEntity(queuedBefore);
         g_ReactorManager.removeEdReactor(t.client.get());
         KOVAEditorReactorBase::redrawEntity(queuedAfter);
       };
       kvhost::runCommand(L"EDIT");
       EXPECT_EQ(kvhost::redrawCount(queuedBefore), 1);
       EXPECT_EQ(kvhost::redrawCount(queuedAfter), 1);
     }},
    {"AClientRegistersAnotherInCommandEndedAndAsks",
     [](RollBackSession& t) {
       std::unique_ptr<RecordingClient> late;
       t.keep(t.doc);
       t.client->hook = [&](const std::wstring& e) {
         if (e != L"commandEnded EDIT") return;
         late = std::make_unique<RecordingClient>();
         t.request();
       };
       kvhost::runCommand(L"EDIT", [&] { t.addLine(2); });
     }},
    {"ATransparentCommandRunsAfterTheRequest",
     [](RollBackSession& t) {
       t.keep(t.doc);
       kvhost::runCommand(L"OUTER", [&] {
         t.addLine(2);
         t.request();
         kvhost::runCommand(L"INNER", [&] { t.addLine(3); });
       });
     }},
    {"UndoRecordingIsSwitchedOffAfterTheWorkWasRecorded",
     [](RollBackSession& t) {
       t.keep(t.doc);
       kvhost::runCommand(L"LINE", [&] {
         t.addLine(2);
         kvhost::setUndoRecording(t.doc, false);
         t.request();
       });
       kvhost::setUndoRecording(t.doc, true);
     }},
    {"ADrawingWhoseMarkerIsOfANewerVersion",
     [](RollBackSession& t) {
       AcApDocument* elsewhere = openDrawingWithMarker(t.file, 2, 7);
       ASSERT_NE(elsewhere, nullptr);
       t.keep(t.doc);
       t.client.reset();  // it reads the marker, which this module cannot
       KOVAEditorReactorBase marking;
       EXPECT_EQ(drawingState(elsewhere).size(), 0u);
       kvhost::runCommand(L"LINE", [&] {
         t.lineIn(elsewhere, 2);
         t.request();
       });
       EXPECT_EQ(drawingState(elsewhere).size(), 0u);
     }},
    {"ADrawingWhoseCounterStandsAtItsTopOrAtMinusOne",
     [](RollBackSession& t) {
       for (Adesk::Int32 counter : {INT32_MAX, -1}) {
         AcApDocument* elsewhere = openDrawingWithMarker(t.file, 1, counter);
         ASSERT_NE(elsewhere, nullptr);
         t.keep(elsewhere);
         kvhost::runCommand(L"LINE", [&] {
           t.lineIn(elsewhere, 2);
           t.request();
         });
       }
     }},
    {"ARequestBeforeAnyMarkInTheSession",
     [](RollBackSession& t) {
       // Each session plays in a process of its own: no mark was made in
       // this drawing, whose counter says 2, before its line was added.
       AcApDocument* elsewhere = openDrawingWithMarker(t.file, 1, 2);
       ASSERT_NE(elsewhere, nullptr);
       t.lineIn(elsewhere, 2);
       t.keep(elsewhere);
       t.client->hook = [&](const std::wstring& e) {
         if (e == L"commandEnded REGEN") t.request();
       };
       kvhost::executeString(L"REGEN");
     }},
};

INSTANTIATE_TEST_SUITE_P(Sessions, RollBackSession, ::testing::ValuesIn(kSessions),
                         [](const ::testing::TestParamInfo<Session>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace undotest
