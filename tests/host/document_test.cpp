// Documents: lock modes with the veto of a lock change, and AcAxDocLock.
#include <functional>
#include "host_support.h"

using namespace hosttest;

namespace {

// Hears the lock changes of every document, and may veto from inside one.
class DocLog : public AcApDocManagerReactor {
 public:
  DocLog() { acDocManager->addReactor(this); }
  ~DocLog() override { acDocManager->removeReactor(this); }
  void documentLockModeChanged(AcApDocument*, AcAp::DocLockMode, AcAp::DocLockMode, AcAp::DocLockMode,
                               const ACHAR* cmd) override {
    lines.push_back(L"changed '" + std::wstring(cmd) + L"'");
    if (onChanged) onChanged(this);
  }
  void documentLockModeChangeVetoed(AcApDocument* d, const ACHAR* cmd) override {
    lines.push_back(L"vetoed " + std::wstring(d->fileName()) + L" '" + cmd + L"'");
  }
  void documentToBeActivated(AcApDocument* d) override { lines.push_back(L"activated " + std::wstring(d->fileName())); }
  void documentActivationModified(bool on) override { lines.push_back(on ? L"activation on" : L"activation off"); }
  Lines lines;
  std::function<void(DocLog*)> onChanged;
};

class Documents : public HostTest {};

TEST_F(Documents, AReactorVetoesALockChange) {
  DocLog vetoing, other;
  EXPECT_EQ(vetoing.veto(), Acad::eNotApplicable);  // outside the window
  vetoing.onChanged = [](DocLog* self) { EXPECT_EQ(self->veto(), Acad::eOk); };
  EXPECT_EQ(acDocManager->lockDocument(doc, AcAp::kWrite, L"GRAB"), Acad::eVetoed);
  EXPECT_EQ(doc->myLockMode(), AcAp::kNotLocked);
  EXPECT_EQ(other.lines.back(), L"vetoed a.dwg 'GRAB'");
  EXPECT_EQ(vetoing.veto(), Acad::eNotApplicable);  // the window is shut again

  // Whatever needs the lock is refused while the veto stands.
  EdLog ed;
  bool ran = false;
  EXPECT_EQ(kvhost::runCommand(L"DRAW", [&] { ran = true; }), kvhost::CommandOutcome::kRefused);
  EXPECT_FALSE(ran);
  EXPECT_TRUE(ed.lines.empty());
  EXPECT_EQ(kvhost::addEntity(doc, new AcDbLine), AcDbObjectId::kNull);
  vetoing.onChanged = nullptr;
  ASSERT_EQ(acDocManager->lockDocument(doc, AcAp::kWrite, L"OUTER"), Acad::eOk);
  vetoing.onChanged = [](DocLog* self) { self->veto(); };
  EXPECT_EQ(AcAxDocLock().lockStatus(), Acad::eVetoed);
  EXPECT_EQ(doc->myLockMode(), AcAp::kWrite);  // what the vetoed lock did not take, it does not give back
  vetoing.onChanged = nullptr;
  acDocManager->unlockDocument(doc);
  EXPECT_NE(addLine(), AcDbObjectId::kNull);
  EXPECT_EQ(doc->myLockMode(), AcAp::kNotLocked);

  // A reactor may leave and be destroyed inside its lock notification.
  struct Leaving : AcApDocManagerReactor {
    void documentLockModeChanged(AcApDocument*, AcAp::DocLockMode, AcAp::DocLockMode, AcAp::DocLockMode,
                                 const ACHAR*) override {
      acDocManager->removeReactor(this);
      delete this;
    }
  };
  acDocManager->addReactor(new Leaving);
  other.lines.clear();
  EXPECT_EQ(acDocManager->lockDocument(doc, AcAp::kWrite), Acad::eOk);
  EXPECT_EQ(acDocManager->reactors().length(), 2);
  EXPECT_EQ(other.lines, Lines{L"changed ''"});
  acDocManager->unlockDocument(doc);
  kvhost::clearJournal();
  acDocManager->removeReactor(&other);
  EXPECT_EQ(kvhost::journal(), Lines{L"document manager: reactor detached (1)"});
  acDocManager->removeReactor(&other);  // nothing left to detach
  EXPECT_EQ(kvhost::journal().size(), 1u);
}

// The current document is the one worked on.
TEST_F(Documents, AcAxDocLockLocksForItsLifetime) {
  AcApDocument* b = kvhost::newDocument(L"b.dwg");
  EXPECT_EQ(acDocManager->document(b->database()), b);
  EXPECT_EQ(acdbHostApplicationServices()->workingDatabase(), b->database());
  const size_t journalled = kvhost::journal().size();
  DocLog log;
  EXPECT_EQ(kvhost::journal().size(), journalled + 1);  // the attach
  acDocManager->addReactor(&log);
  EXPECT_EQ(kvhost::journal().size(), journalled + 1);  // once
  EXPECT_EQ(acDocManager->setCurDocument(doc), Acad::eOk);  // made current without being activated
  EXPECT_EQ(acDocManager->curDocument(), doc);
  EXPECT_EQ(acDocManager->setCurDocument(b, AcAp::kNone, true), Acad::eOk);
  EXPECT_EQ(acDocManager->activateDocument(nullptr), Acad::eNoDocument);
  EXPECT_EQ(log.lines, Lines{L"activated b.dwg"});
  for (bool on : {false, false, true}) kvhost::setDocumentActivation(on);
  EXPECT_EQ(log.lines, (Lines{L"activated b.dwg", L"activation off", L"activation on"}));  // only what changes
  kvhost::activateDocument(doc);
  kvhost::cancelDocumentCreation(L"c.dwg");
  EXPECT_EQ(acDocManager->curDocument(), doc);  // a drawing given up leaves the current one so
  EXPECT_EQ(acdbHostApplicationServices()->workingDatabase(), db);
  AcDbObjectId line = addLine();
  {
    AcAxDocLock byCurrent, byId(line), byDb(db);
    EXPECT_EQ(byId.lockStatus(), Acad::eOk);
    EXPECT_EQ(doc->myLockMode(), AcAp::kWrite);
    EXPECT_EQ(doc->locks().length(), 3);
  }
  EXPECT_EQ(doc->myLockMode(), AcAp::kNotLocked);
  AcDbDatabase loose;
  EXPECT_EQ(AcAxDocLock(&loose).lockStatus(), Acad::eOk);  // no document needed
  EXPECT_EQ(AcAxDocLock(static_cast<AcDbDatabase*>(nullptr)).lockStatus(), Acad::eNoDocument);
  {
    AcAxDocLock outlivesItsDocument;
    kvhost::closeDocument(doc);
  }
  kvhost::closeDocument(b);
  EXPECT_EQ(AcAxDocLock().lockStatus(), Acad::eNoDocument);
  EXPECT_EQ(acDocManager->lockDocument(doc), Acad::eNoDocument);  // closed documents are refused
  EXPECT_EQ(acDocManager->activateDocument(doc), Acad::eNoDocument);
  for (AcApDocument* none : {doc, static_cast<AcApDocument*>(nullptr)})
    EXPECT_EQ(kvhost::findObject(none, line.handle()), AcDbObjectId::kNull);
  EXPECT_EQ(kvhost::addEntity(doc, new AcDbLine), AcDbObjectId::kNull);
}

}  // namespace
