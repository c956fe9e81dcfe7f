// Documents: their lifetime and activation, lock modes with the veto of a
// lock change and AcAxDocLock.
#include <functional>
#include "host_support.h"

using namespace hosttest;

namespace {

std::wstring nameOf(AcApDocument* d) { return d ? d->fileName() : L"(null)"; }

// A lock change as "name what>what now 'command'", none, write and read by name.
std::wstring change(AcApDocument* d, AcAp::DocLockMode from, AcAp::DocLockMode to, AcAp::DocLockMode now, const ACHAR* cmd) {
  auto mode = [](AcAp::DocLockMode m) -> std::wstring {
    return m == AcAp::kNotLocked ? L"none" : m == AcAp::kWrite ? L"write" : m == AcAp::kRead ? L"read" : L"other";
  };
  return nameOf(d) + L" " + mode(from) + L">" + mode(to) + L" " + mode(now) + L" '" + cmd + L"'";
}

#define DOC_LOG(NAME, TEXT) \
  void NAME(AcApDocument* d) override { add(TEXT L" " + nameOf(d)); }

class DocLog : public AcApDocManagerReactor {
 public:
  DocLog() { acDocManager->addReactor(this); }
  ~DocLog() override { acDocManager->removeReactor(this); }
  DOC_LOG(documentCreateStarted, L"createStarted")
  DOC_LOG(documentCreated, L"created")
  DOC_LOG(documentToBeDestroyed, L"toBeDestroyed")
  DOC_LOG(documentCreateCanceled, L"createCanceled")
  DOC_LOG(documentBecameCurrent, L"current")
  DOC_LOG(documentToBeActivated, L"toBeActivated")
  DOC_LOG(documentToBeDeactivated, L"toBeDeactivated")
  DOC_LOG(documentActivated, L"activated")
  void documentDestroyed(const ACHAR* f) override { add(L"destroyed " + std::wstring(f)); }
  void documentActivationModified(bool on) override { add(on ? L"activation on" : L"activation off"); }
  void documentLockModeWillChange(AcApDocument* d, AcAp::DocLockMode mine, AcAp::DocLockMode next,
                                  AcAp::DocLockMode current, const ACHAR* cmd) override {
    add(L"willChange " + change(d, mine, next, current, cmd));
  }
  void documentLockModeChanged(AcApDocument* d, AcAp::DocLockMode previous, AcAp::DocLockMode mine,
                               AcAp::DocLockMode current, const ACHAR* cmd) override {
    add(L"changed " + change(d, previous, mine, current, cmd));
    if (onChanged) onChanged(this);
  }
  void documentLockModeChangeVetoed(AcApDocument* d, const ACHAR* cmd) override {
    add(L"vetoed " + nameOf(d) + L" '" + cmd + L"'");
  }
  void add(const std::wstring& l) { lines.push_back(l); }
  Lines lines;
  std::function<void(DocLog*)> onChanged;
};

class Documents : public HostTest {};

TEST_F(Documents, LifetimeActivationAndLocksRaiseTheirNotificationsInOrder) {
  AcApDocument* b = nullptr;
  auto lock = [&](AcAp::DocLockMode mode, const ACHAR* cmd) { return acDocManager->lockDocument(doc, mode, cmd); };
  auto unlock = [&] { return acDocManager->unlockDocument(doc); };
  const std::tuple<const char*, std::function<void()>, Lines> cases[] = {
      {"new", [] { kvhost::newDocument(L"c.dwg"); },
       {L"createStarted c.dwg", L"created c.dwg", L"toBeDeactivated b.dwg", L"toBeActivated c.dwg", L"current c.dwg",
        L"activated c.dwg"}},
      {"activate", [&] { kvhost::activateDocument(doc); },
       {L"toBeDeactivated b.dwg", L"toBeActivated a.dwg", L"current a.dwg", L"activated a.dwg"}},
      {"activate the current one", [&] { kvhost::activateDocument(b); }, {}},
      {"close the current one", [&] { kvhost::closeDocument(b); },
       {L"toBeDeactivated b.dwg", L"toBeDestroyed b.dwg", L"destroyed b.dwg", L"toBeActivated a.dwg",
        L"current a.dwg", L"activated a.dwg"}},
      {"close another one", [&] { kvhost::closeDocument(doc); }, {L"toBeDestroyed a.dwg", L"destroyed a.dwg"}},
      {"cancelled creation", [] { kvhost::cancelDocumentCreation(L"c.dwg"); },
       {L"createStarted c.dwg", L"createCanceled c.dwg"}},
      {"activation switched off",
       [&] { kvhost::setDocumentActivation(false), kvhost::activateDocument(doc), kvhost::setDocumentActivation(true); },
       {L"activation off", L"activation on"}},
      {"nested locks",
       [&] { lock(AcAp::kWrite, L"OUTER"), lock(AcAp::kRead, L"INNER"), unlock(), unlock(); },
       {L"willChange a.dwg none>write write 'OUTER'", L"changed a.dwg none>write write 'OUTER'",
        L"willChange a.dwg write>read read 'INNER'", L"changed a.dwg write>read read 'INNER'",
        L"willChange a.dwg read>write write 'INNER'", L"changed a.dwg read>write write 'INNER'",
        L"willChange a.dwg write>none none 'OUTER'", L"changed a.dwg write>none none 'OUTER'"}},
  };
  for (const auto& [name, act, expected] : cases) {
    SCOPED_TRACE(name);
    TearDown();
    SetUp();
    b = kvhost::newDocument(L"b.dwg");
    DocLog log;
    act();
    EXPECT_EQ(log.lines, expected);
  }
}

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
  EXPECT_EQ(other.lines.size(), 2u);
  acDocManager->unlockDocument(doc);
}

// The current document is the one worked on.
TEST_F(Documents, AcAxDocLockLocksForItsLifetime) {
  AcApDocument* b = kvhost::newDocument(L"b.dwg");
  EXPECT_EQ(acDocManager->document(b->database()), b);
  EXPECT_EQ(acdbHostApplicationServices()->workingDatabase(), b->database());
  kvhost::activateDocument(doc);
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
  EXPECT_EQ(kvhost::addEntity(doc, new AcDbLine), AcDbObjectId::kNull);
}

}  // namespace
