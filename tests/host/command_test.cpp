// The command processor, modeless operations, the pickfirst selection,
// redraws and the module loader's refusals.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include "host_support.h"

using namespace hosttest;
using kvhost::CommandOutcome;

namespace {

class Commands : public HostTest {};

struct OutcomeCase {
  const char* name;
  std::function<void()> end;  // how the body ends
  CommandOutcome outcome;
  const wchar_t* last;
};

TEST_F(Commands, EveryWayACommandEndsIsReportedAndUnwound) {
  const OutcomeCase cases[] = {
      {"ended", [] {}, CommandOutcome::kEnded, L"E MOVE"},
      {"cancelled", [] { throw kvhost::CommandCancelled(); }, CommandOutcome::kCancelled, L"C MOVE"},
      {"failed", [] { throw std::runtime_error("broken"); }, CommandOutcome::kFailed, L"F MOVE"},
      {"failed oddly", [] { throw 42; }, CommandOutcome::kFailed, L"F MOVE"},
  };
  AcDbObjectId line = addLine();
  for (const OutcomeCase& c : cases) {
    SCOPED_TRACE(c.name);
    EdLog ed;
    int groups = kvhost::undoGroupCount(doc);
    AcAp::DocLockMode during = AcAp::kNone;
    CommandOutcome outcome = kvhost::runCommand(L"MOVE", [&] {
      during = doc->myLockMode();
      setColor(line, 3);
      setColor(line, 4);
      c.end();
    });
    EXPECT_EQ(outcome, c.outcome);
    EXPECT_EQ(ed.lines, (Lines{L"W MOVE", c.last}));
    EXPECT_EQ(during, AcAp::kAutoWrite);
    EXPECT_EQ(doc->myLockMode(), AcAp::kNotLocked);
    EXPECT_EQ(kvhost::undoGroupCount(doc), groups + 1);  // both changes, one step
    kvhost::executeString(L"_UNDO 1");
    EXPECT_EQ(colorOf(line), 256);
  }
}

TEST_F(Commands, AnUndoGivenSomethingOtherThanANumberOfStepsFailsAndUndoesNothing) {
  AcDbObjectId line = addLine();
  kvhost::runCommand(L"PAINT", [&] { setColor(line, 1); });
  const int groups = kvhost::undoGroupCount(doc);
  for (const wchar_t* bad : {L"_UNDO x", L"_UNDO -3", L"_UNDO 99999999999999999999", L"_UNDO 2x"})
    EXPECT_EQ(kvhost::executeString(bad), CommandOutcome::kFailed) << bad;
  EXPECT_EQ(kvhost::undoGroupCount(doc), groups);
  EXPECT_EQ(colorOf(line), 1);
  EXPECT_EQ(kvhost::executeString(L"_UNDO 1 "), CommandOutcome::kEnded);
  EXPECT_EQ(colorOf(line), 256);
}

TEST_F(Commands, ANestedCommandRunsInsideTheOuterOneAndItsUndoStep) {
  AcDbObjectId line = addLine();
  EdLog ed;
  int groups = kvhost::undoGroupCount(doc);
  kvhost::runCommand(L"OUTER", [&] {
    setColor(line, 1);
    EXPECT_EQ(kvhost::runCommand(L"'ZOOM", [&] { setColor(line, 2); }), CommandOutcome::kEnded);
    EXPECT_EQ(doc->locks().length(), 1);
  });
  EXPECT_EQ(ed.lines, (Lines{L"W OUTER", L"W 'ZOOM", L"E 'ZOOM", L"E OUTER"}));
  EXPECT_EQ(kvhost::undoGroupCount(doc), groups + 1);
  kvhost::executeString(L"U");
  EXPECT_EQ(colorOf(line), 256);
}

TEST_F(Commands, CommandsAndModelessOperationsNestOnlyToTheHostsLimit) {
  for (bool modeless : {false, true}) {
    SCOPED_TRACE(modeless ? "modeless" : "command");
    int bodies = 0, refused = 0;
    std::function<void()> nest = [&] {
      auto body = [&] {
        ++bodies;
        nest();
      };
      refused += modeless ? !kvhost::modelessOperation(L"M", body) : kvhost::runCommand(L"C", body) == CommandOutcome::kRefused;
    };
    nest();
    EXPECT_EQ(bodies, kvhost::kMaxCommandNesting);
    EXPECT_EQ(refused, 1);
  }
}

TEST_F(Commands, PostedStringsRunAfterTheOutermostCommandInOrder) {
  EdLog ed;
  kvhost::defineCommand(L"a", [] {});  // names are found whatever their case
  kvhost::defineCommand(L"B", [&] { acDocManager->sendStringToExecute(doc, L"_.c\n"); });
  kvhost::defineCommand(L"C", [] {});
  kvhost::runCommand(L"OUTER", [&] {
    kvhost::runCommand(L"INNER", [&] { acDocManager->sendStringToExecute(doc, L"A\n"); });
    acDocManager->sendStringToExecute(doc, L"B\n");
    EXPECT_EQ(kvhost::pendingCommandCount(), 2);
    kvhost::runPendingCommands();  // not while a command runs
    EXPECT_EQ(kvhost::pendingCommandCount(), 2);
  });
  EXPECT_EQ(kvhost::pendingCommandCount(), 0);
  EXPECT_EQ(ed.lines, (Lines{L"W OUTER", L"W INNER", L"E INNER", L"E OUTER", L"W A", L"E A", L"W B", L"E B", L"W C",
                             L"E C"}));
}

TEST_F(Commands, AStringPostedFromANotificationRunsAfterEveryReactorHeardIt) {
  kvhost::defineCommand(L"NEXT", [] {});
  struct Poster : AcEditorReactor {
    Poster(AcApDocument* d) : doc(d) { acedEditor->addReactor(this); }
    ~Poster() override { acedEditor->removeReactor(this); }
    void commandEnded(const ACHAR* c) override {
      if (std::wstring(c) == L"FIRST") acDocManager->sendStringToExecute(doc, L"_NEXT\n");
    }
    AcApDocument* doc;
  } poster(doc);
  EdLog ed;  // attached after the poster
  kvhost::runCommand(L"FIRST");
  EXPECT_EQ(ed.lines, (Lines{L"W FIRST", L"E FIRST", L"W NEXT", L"E NEXT"}));
}

TEST_F(Commands, StringsPostedOutsideACommandWaitAndRunInTheirDocument) {
  AcApDocument* b = kvhost::newDocument(L"b.dwg");
  std::vector<std::wstring> ranIn;
  kvhost::defineCommand(L"WHERE", [&] { ranIn.push_back(acDocManager->curDocument()->fileName()); });
  acDocManager->sendStringToExecute(doc, L"WHERE\n");
  acDocManager->sendStringToExecute(b, L"WHERE\n");
  EXPECT_EQ(kvhost::pendingCommandCount(), 2);
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

TEST_F(Commands, AModelessOperationIsBracketedAndIsOneUndoStep) {
  AcDbObjectId line = addLine();
  kvhost::defineCommand(L"LATER", [] {});
  EdLog ed;
  int groups = kvhost::undoGroupCount(doc);
  kvhost::modelessOperation(L"palette", [&] {
    setColor(line, 1);
    kvhost::eraseObject(addLine(doc, 2));
    kvhost::runCommand(L"INSIDE", [&] { acDocManager->sendStringToExecute(doc, L"LATER\n"); });
    EXPECT_EQ(kvhost::pendingCommandCount(), 1);
  });
  EXPECT_EQ(ed.lines, (Lines{L"MW palette", L"W INSIDE", L"E INSIDE", L"ME palette", L"W LATER", L"E LATER"}));
  EXPECT_EQ(kvhost::undoGroupCount(doc), groups + 1);
  kvhost::executeString(L"_UNDO 1");
  EXPECT_EQ(colorOf(line), 256);
  EXPECT_EQ(kvhost::entities(doc).length(), 1);
}

// ---- Pickfirst ----

class Pickfirst : public HostTest {};

TEST_F(Pickfirst, SelectionSetsReadThePickfirstSet) {
  AcDbObjectIdArray ids;
  for (int i = 0; i < 3; ++i) ids.append(addLine(doc, i + 1));
  EdLog ed;
  kvhost::setPickfirst(ids);
  EXPECT_EQ(ed.lines, (Lines{L"pickfirst"}));
  EXPECT_EQ(kvhost::pickfirst().length(), 3);

  ads_name ss = {0, 0};
  ASSERT_EQ(acedSSGet(L"_I", nullptr, nullptr, nullptr, ss), RTNORM);
  EXPECT_EQ(kvhost::openSelectionSetCount(), 1);
  Adesk::Int32 n = 0;
  ASSERT_EQ(acedSSLength(ss, &n), RTNORM);
  ASSERT_EQ(n, 3);
  for (Adesk::Int32 i = 0; i < n; ++i) {
    ads_name ent;
    ASSERT_EQ(acedSSName(ss, i, ent), RTNORM);
    AcDbObjectId id;
    ASSERT_EQ(acdbGetObjectId(id, ent), Acad::eOk);
    EXPECT_EQ(id, ids[i]);
  }
  ads_name past;
  EXPECT_EQ(acedSSName(ss, 3, past), RTERROR);
  EXPECT_EQ(acedSSName(ss, -1, past), RTERROR);
  kvhost::setPickfirst(AcDbObjectIdArray());  // a set once handed out keeps its members
  EXPECT_EQ(acedSSLength(ss, &n), RTNORM);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(acedSSFree(ss), RTNORM);
  EXPECT_EQ(kvhost::openSelectionSetCount(), 0);
  EXPECT_EQ(acedSSFree(ss), RTERROR);
  EXPECT_EQ(acedSSLength(ss, &n), RTERROR);
}

TEST_F(Pickfirst, NothingIsHandedOutWithoutAPickfirstSet) {
  ads_name ss = {7, 7};
  EXPECT_EQ(acedSSGet(L"_I", nullptr, nullptr, nullptr, ss), RTERROR);
  EXPECT_EQ(ss[0], 0);
  EXPECT_EQ(kvhost::openSelectionSetCount(), 0);
}

TEST_F(Pickfirst, EachDocumentHasItsOwnAndClosingOneDropsItsMembers) {
  AcDbObjectIdArray inA;
  inA.append(addLine());
  kvhost::setPickfirst(inA);
  ads_name ss;
  ASSERT_EQ(acedSSGet(L"_I", nullptr, nullptr, nullptr, ss), RTNORM);
  AcApDocument* b = kvhost::newDocument(L"b.dwg");
  EXPECT_TRUE(kvhost::pickfirst().isEmpty());
  AcDbObjectIdArray inB;
  inB.append(addLine(b));
  ads_name bs;
  ASSERT_EQ(acdbGetAdsName(bs, inB[0]), Acad::eOk);
  ASSERT_EQ(acedSSSetFirst(nullptr, nullptr), RTNORM);
  kvhost::setPickfirst(inB);
  kvhost::activateDocument(doc);
  ASSERT_EQ(kvhost::pickfirst().length(), 1);
  EXPECT_EQ(kvhost::pickfirst()[0], inA[0]);
  kvhost::closeDocument(doc);
  Adesk::Int32 n = -1;
  EXPECT_EQ(acedSSLength(ss, &n), RTNORM);
  EXPECT_EQ(n, 0);  // its entity went with its drawing
  EXPECT_EQ(acedSSFree(ss), RTNORM);
  EXPECT_EQ(kvhost::pickfirst()[0], inB[0]);
}

// ---- Redraws ----

class Redraw : public HostTest {};

TEST_F(Redraw, GraphicsMarkedModifiedAreRedrawnOnceWhenTheEntityCloses) {
  AcDbObjectId line = addLine();
  EXPECT_EQ(kvhost::redrawCount(line), 0);
  size_t start = kvhost::journal().size();
  kvhost::modifyObject(line, [&](AcDbObject* o) {
    AcDbEntity::cast(o)->recordGraphicsModified();
    AcDbEntity::cast(o)->recordGraphicsModified();
    EXPECT_EQ(kvhost::redrawCount(line), 0);  // not before the close
  });
  EXPECT_EQ(kvhost::redrawCount(line), 1);
  const Lines& j = kvhost::journal();
  EXPECT_NE(std::find(j.begin() + static_cast<long>(start), j.end(), L"redraw " + hex(line.handle())), j.end());
  kvhost::modifyObject(line, [](AcDbObject* o) { AcDbEntity::cast(o)->recordGraphicsModified(false); });
  setColor(line, 2);
  EXPECT_EQ(kvhost::redrawCount(line), 1);
  AcDbObjectId other = addLine(doc, 4);
  EXPECT_EQ(kvhost::executeString(L"REGEN"), CommandOutcome::kEnded);
  EXPECT_EQ(kvhost::redrawCount(line), 2);
  EXPECT_EQ(kvhost::redrawCount(other), 1);
}

// ---- Module loading ----

std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

struct LoadCase {
  const char* name;
  std::wstring file;
  const wchar_t* why;
};

TEST(ModuleLoading, WhatCannotBeLoadedIsRefusedWithItsReason) {
  const std::string junk = ::testing::TempDir() + "kvhost_not_a_module.arx";
  {
    std::FILE* f = std::fopen(junk.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("this is text, not a shared library\n", f);
    std::fclose(f);
  }
  // A library cut short: mapping it would fault in the system loader.
  const std::string cut = ::testing::TempDir() + "kvhost_cut.arx";
  std::string head(3000, '\0');
  std::ifstream(KV_HOST_LIBRARY, std::ios::binary).read(&head[0], 3000);
  std::ofstream(cut, std::ios::binary) << head;
  const LoadCase cases[] = {
      {"missing file", L"/nonexistent/KvNothing.arx", L"not found"},
      {"missing file beside the program", L"KvNothing.arx", L"not found"},
      {"no name", L"", L"no module file given"},
      {"text file", widen(junk), L"cannot load"},
      {"library without an entry point", widen(KV_HOST_LIBRARY), L"not an application module"},
      {"library cut short", widen(cut), L"the file is truncated or damaged"},
      {"module that refuses its initialisation", L"RefusingModule.arx", L"refused its initialisation and was unloaded"},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(kvhost::loadModule(c.file));
    EXPECT_NE(kvhost::lastModuleError().find(c.why), std::wstring::npos) << kvhost::lastModuleError();
    EXPECT_EQ(kvhost::journal().back(), L"linker: " + kvhost::lastModuleError());
    AcRxDynamicLinker* linker = AcRxDynamicLinker::cast(acrxSysRegistry()->at(ACRX_DYNAMIC_LINKER));
    EXPECT_FALSE(linker->isModuleLoaded(c.file.c_str()));
  }
  EXPECT_FALSE(kvhost::unloadModule(L"KvNothing.arx"));
  EXPECT_NE(kvhost::lastModuleError().find(L"is not loaded"), std::wstring::npos);
  std::remove(junk.c_str());
  std::remove(cut.c_str());
}

}  // namespace
