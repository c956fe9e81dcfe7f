// The command processor, modeless operations, the pickfirst selection and
// the module loader's refusals.
#include <functional>
#include <stdexcept>
#include "host_support.h"

using namespace hosttest;
using kvhost::CommandOutcome;

namespace {

class Commands : public HostTest {};

TEST_F(Commands, EveryWayACommandEndsIsReportedAndUnwound) {
  // How the body ends, what the command's outcome is and the last notification.
  const std::tuple<const char*, std::function<void()>, CommandOutcome, const wchar_t*> cases[] = {
      {"ended", [] {}, CommandOutcome::kEnded, L"E MOVE"},
      {"cancelled", [] { throw kvhost::CommandCancelled(); }, CommandOutcome::kCancelled, L"C MOVE"},
      {"failed", [] { throw std::runtime_error("broken"); }, CommandOutcome::kFailed, L"F MOVE"},
      {"failed oddly", [] { throw 42; }, CommandOutcome::kFailed, L"F MOVE"},
  };
  AcDbObjectId line = addLine();
  for (const auto& [name, end, outcome, last] : cases) {
    SCOPED_TRACE(name);
    EdLog ed;
    AcAp::DocLockMode during = AcAp::kNone;
    EXPECT_EQ(kvhost::runCommand(L"MOVE", [&] { during = doc->myLockMode(), setColor(line, 3), setColor(line, 4), end(); }),
              outcome);
    EXPECT_EQ(ed.lines, (Lines{L"W MOVE", last}));
    EXPECT_EQ(kvhost::commandRecord().back().depth, 0);  // the last one is over, however it ended
    EXPECT_EQ(during, AcAp::kAutoWrite);
    EXPECT_EQ(doc->myLockMode(), AcAp::kNotLocked);
    kvhost::executeString(L"_UNDO 1");  // both changes, one step
    EXPECT_EQ(colorOf(line), 256);
  }
  EXPECT_EQ(kvhost::executeString(L"REGEN"), CommandOutcome::kEnded);
  EXPECT_EQ(kvhost::redrawCount(line), 1);  // every entity is drawn again
  kvhost::closeDocument(kvhost::newDocument(L"b.dwg"));
  EXPECT_EQ(kvhost::redrawCount(line), 1);  // and counted on while another drawing goes
}

TEST_F(Commands, NestOnlyToTheHostsLimitAndATransparentOneRunsInsideTheOuterOne) {
  EdLog ed;
  kvhost::runCommand(L"OUTER", [&] {
    EXPECT_EQ(kvhost::runCommand(L"'ZOOM"), CommandOutcome::kEnded);
    EXPECT_EQ(doc->locks().length(), 1);
  });
  EXPECT_EQ(ed.lines, (Lines{L"W OUTER", L"W 'ZOOM", L"E 'ZOOM", L"E OUTER"}));
  for (bool modeless : {false, true}) {
    SCOPED_TRACE(modeless ? "modeless" : "command");
    int bodies = 0, refused = 0;
    std::function<void()> nest = [&] {
      auto body = [&] { ++bodies, nest(); };
      refused += modeless ? !kvhost::modelessOperation(L"M", body) : kvhost::runCommand(L"C", body) == CommandOutcome::kRefused;
    };
    nest();
    EXPECT_EQ(bodies, kvhost::kMaxCommandNesting);
    EXPECT_EQ(refused, 1);
  }
}

// Posted strings run after the outermost command or operation, in order,
// after every reactor heard the notification they were posted from, and in
// the document they were posted to.
TEST_F(Commands, PostedStringsWaitForTheOutermostCommandAndRunInOrder) {
  kvhost::defineCommand(L"a", [] {});  // names are found whatever their case
  kvhost::defineCommand(L"B", [&] { acDocManager->sendStringToExecute(doc, L"_.c\n"); });
  kvhost::defineCommand(L"C", [&] { addLine(), addLine(); });
  struct Poster : AcEditorReactor {
    explicit Poster(AcApDocument* d) : doc(d) { acedEditor->addReactor(this); }
    ~Poster() override { acedEditor->removeReactor(this); }
    void commandEnded(const ACHAR* c) override {
      if (std::wstring(c) == L"INNER") acDocManager->sendStringToExecute(doc, L"A\n");
    }
    AcApDocument* doc;
  } poster(doc);
  EdLog ed;  // attached after the poster
  kvhost::modelessOperation(L"M", [&] {
    kvhost::runCommand(L"INNER");
    acDocManager->sendStringToExecute(doc, L"B\n");
    EXPECT_EQ(kvhost::pendingCommandCount(), 2);
    kvhost::runPendingCommands();  // not while an operation runs
    EXPECT_EQ(kvhost::pendingCommandCount(), 2);
  });
  EXPECT_EQ(kvhost::pendingCommandCount(), 0);
  EXPECT_EQ(ed.lines, (Lines{L"W INNER", L"E INNER", L"W A", L"E A", L"W B", L"E B", L"W C", L"E C"}));
  // A defined command is one undo step.
  ASSERT_EQ(kvhost::entities(doc).length(), 2);
  kvhost::executeString(L"_U");
  EXPECT_EQ(kvhost::entities(doc).length(), 0);

  AcApDocument* b = kvhost::newDocument(L"b.dwg");
  std::vector<std::wstring> ranIn;
  kvhost::defineCommand(L"WHERE", [&] { ranIn.push_back(acDocManager->curDocument()->fileName()); });
  acDocManager->sendStringToExecute(doc, L"WHERE\n");
  acDocManager->sendStringToExecute(b, L"WHERE\n");
  EXPECT_TRUE(ranIn.empty());
  EXPECT_EQ(acDocManager->sendStringToExecute(nullptr, L"WHERE"), Acad::eInvalidInput);
  kvhost::runPendingCommands();
  EXPECT_EQ(ranIn, (std::vector<std::wstring>{L"a.dwg", L"b.dwg"}));
  acDocManager->sendStringToExecute(doc, L"WHERE\n");
  kvhost::closeDocument(doc);  // what was posted to a closed document is dropped
  kvhost::runPendingCommands();
  EXPECT_EQ(ranIn.size(), 2u);
  EXPECT_EQ(kvhost::pendingCommandCount(), 0);
}

// ---- Pickfirst ----

// A selection set handed out keeps its members, whatever happens to the
// pickfirst set, until its entities go with their drawing. (What the hub reads
// of it is checked with the hub's clients.)
TEST_F(Commands, SelectionSetsReadThePickfirstSetOfTheirDocument) {
  ads_name ss, ent;
  AcDbObjectIdArray ids, inB;
  for (int i = 0; i < 3; ++i) ids.append(addLine(doc, i + 1));
  kvhost::setPickfirst(ids);
  ASSERT_EQ(acedSSGet(L"_I", nullptr, nullptr, nullptr, ss), RTNORM);
  kvhost::setPickfirst(AcDbObjectIdArray());
  Adesk::Int32 n = 0;
  ASSERT_EQ(acedSSLength(ss, &n), RTNORM);
  ASSERT_EQ(n, 3);
  for (Adesk::Int32 i : {-1, 3}) EXPECT_EQ(acedSSName(ss, i, ent), RTERROR) << i;
  kvhost::setPickfirst(ids);
  AcApDocument* b = kvhost::newDocument(L"b.dwg");
  EXPECT_TRUE(kvhost::pickfirst().isEmpty());  // each document has its own
  inB.append(addLine(b));
  kvhost::setPickfirst(inB);
  kvhost::activateDocument(doc);
  EXPECT_EQ(kvhost::pickfirst().length(), 3);
  EdLog ed;
  kvhost::closeDocument(doc);  // its entities leave the set
  EXPECT_EQ(ed.lines, Lines{L"close"});
  EXPECT_EQ(acedSSLength(ss, &n), RTNORM);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(kvhost::pickfirst()[0], inB[0]);
  EXPECT_EQ(acedSSFree(ss), RTNORM);
  EXPECT_EQ(acedSSFree(ss), RTERROR);
  EXPECT_EQ(acedSSLength(ss, &n), RTERROR);
}

// ---- Module loading ----

// The reasons kovahost's scripts show (files that are no module) are checked there.
TEST(ModuleLoading, WhatCannotBeLoadedIsRefusedWithItsReason) {
  const std::pair<std::wstring, const wchar_t*> cases[] = {
      {L"/nonexistent/KvNothing.arx", L"not found"},
      {L"KvNothing.arx", L"not found"},  // nor beside the program
      {L"", L"no module file given"},
      {L"RefusingModule.arx", L"refused its initialisation and was unloaded"},
      {L"NeedsAbsentLibrary.arx", L"cannot load NeedsAbsentLibrary.arx: "},  // the system loader's reason follows
  };
  for (const auto& [file, why] : cases) {
    SCOPED_TRACE(narrow(file));
    EXPECT_FALSE(kvhost::loadModule(file));
    const std::wstring error = kvhost::lastModuleError();
    EXPECT_NE(error.find(why), std::wstring::npos) << narrow(error);
    EXPECT_NE(error.back(), L' ') << "a reason is missing: " << narrow(error);
    EXPECT_EQ(kvhost::journal().back(), L"linker: " + kvhost::lastModuleError());
    EXPECT_FALSE(kvhost::isModuleLoaded(file));
  }
  EXPECT_FALSE(kvhost::unloadModule(L"KvNothing.arx"));
  EXPECT_NE(kvhost::lastModuleError().find(L"is not loaded"), std::wstring::npos);
}

}  // namespace
