// Undo marks, the save filter and the undo recording around host commands
// and drawing opens, with a registered client.
#include "undotestsupport.h"

namespace undotest {
namespace {

TEST_F(UndoTest, MarkedCommandsRaiseOneMarkerAndExcludedOnesAreLoggedWithoutAMark) {
  kvhost::runCommand(L"NOOP");  // the first mark creates the marker
  kvhost::runCommand(L"LINE");
  EXPECT_EQ(markerCounter(doc), 2);
  AcDbDictionaryPointer dict(entry(doc->database()->namedObjectsDictionaryId(), L"KOVA_UNDO_DICTIONARY"), AcDb::kForRead);
  EXPECT_EQ(dict->numEntries(), 1);

  kvhost::defineCommand(L"kovaDBupdate", [] {});
  for (const wchar_t* line : {L"kovaDBupdate", L"REGEN"}) kvhost::executeString(line);
  for (const wchar_t* name : {L"APPLOAD", L"kovaDBhighlightWorkspace", L"-ETRANSMIT", L"CLOSE"}) kvhost::runCommand(name);
  EXPECT_EQ(markerCounter(doc), 2);
  // The host reports a defined command in capitals: still the excluded one.
  EXPECT_NE(client->find(L"commandEnded KOVADBUPDATE"), nullptr);
  int ends = 0;
  for (const auto& line : g_FnLog.lines()) ends += line.rfind(L"end ", 0) == 0;
  EXPECT_EQ(ends, 2 + 6);
}

TEST_F(UndoTest, SaveCommandsFilterDatabaseClientsOnlyWhileTheyRun) {
  kvhost::runCommand(L"NOOP");
  const std::wstring file = tempPath(L"undo-save.kvdwg");
  EXPECT_EQ(kvhost::executeString(L"_SAVEAS " + file), kvhost::CommandOutcome::kEnded);
  for (const wchar_t* event : {L"commandWillStart SAVEAS", L"beginSave", L"saveComplete", L"commandEnded SAVEAS"}) {
    const Heard* h = client->find(event);
    ASSERT_NE(h, nullptr) << event;
    EXPECT_TRUE(h->filter) << event;
  }
  EXPECT_FALSE(g_ReactorManager.filterReactors());
  EXPECT_EQ(markerCounter(doc), 1);

  // A save that fails clears the flag all the same, before its end is logged.
  bool filteredWhenLogged = true;
  g_FnLog.setListener([&](const std::wstring& line) {
    if (line == L"end QSAVE") filteredWhenLogged = g_ReactorManager.filterReactors();
  });
  EXPECT_EQ(kvhost::executeString(L"QSAVE /no/such/dir/x.kvdwg"), kvhost::CommandOutcome::kFailed);
  g_FnLog.setListener(nullptr);
  EXPECT_FALSE(filteredWhenLogged);
  EXPECT_FALSE(g_ReactorManager.filterReactors());

  // A client that ends the filtering during a save is not overruled while the save ends.
  client->hook = [](const std::wstring& e) { if (e == L"saveComplete") g_ReactorManager.setFilterReactors(false); };
  EXPECT_EQ(kvhost::executeString(L"QSAVE " + file), kvhost::CommandOutcome::kEnded);
  EXPECT_FALSE(client->find(L"commandEnded QSAVE")->filter);
  EXPECT_EQ(markerCounter(doc), 1);
  removeFile(file);
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
  DwgOpenWatcher watcher;
  for (bool before : {true, false}) {
    doc->database()->disableUndoRecording(!before);
    watcher.seen.clear();
    AcApDocument* opened = kvhost::openDocument(file);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(watcher.seen, (std::vector<bool>{false, false}));
    EXPECT_EQ(doc->database()->undoRecording(), before);
    kvhost::closeDocument(opened);
    ASSERT_EQ(acDocManagerPtr()->curDocument(), doc);
  }
  removeFile(file);
}

}  // namespace
}  // namespace undotest
