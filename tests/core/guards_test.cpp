// The scoped guards for host state: each puts back what it changed on every
// way out of its scope, exceptions included. They are internal to the hub,
// so this program builds them from their source.
#include <gtest/gtest.h>
#include <dbapserv.h>
#include <kvhost.h>
#include "guards.h"

namespace {

struct Fault {};

class Guards : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    a = kvhost::newDocument(L"A.dwg");
    b = kvhost::newDocument(L"B.dwg");
  }
  void TearDown() override {
    for (AcApDocument* d : kvhost::documents()) kvhost::closeDocument(d);
  }
  // Runs a scope that ends with exitScope(): normally or by an exception.
  template <class Body>
  void inScope(Body body) {
    try {
      body();
    } catch (const Fault&) {
    }
  }
  void exitScope() const {
    if (GetParam()) throw Fault{};
  }
  AcApDocument* a = nullptr;
  AcApDocument* b = nullptr;
};

// Given a database or not (then the working one of its start), whatever the
// working drawing is by its end.
TEST_P(Guards, UndoRecordingIsSwitchedOffAndBackToWhatItWas) {
  kvhost::activateDocument(a);
  for (bool wasOn : {false, true}) {
    for (AcDbDatabase* given : {a->database(), static_cast<AcDbDatabase*>(nullptr)}) {
      a->database()->disableUndoRecording(!wasOn);
      inScope([&] {
        KOVASmartUndoRecording guard(given);
        EXPECT_FALSE(a->database()->undoRecording());
        kvhost::activateDocument(b);
        EXPECT_TRUE(b->database()->undoRecording());
        exitScope();
      });
      EXPECT_EQ(a->database()->undoRecording(), wasOn);
      EXPECT_TRUE(b->database()->undoRecording());
      kvhost::activateDocument(a);
    }
  }
  // A drawing a client closes inside the scope is left alone.
  inScope([&] {
    KOVASmartUndoRecording guard(nullptr);
    ASSERT_TRUE(kvhost::closeDocument(b));
    exitScope();
  });
  EXPECT_TRUE(a->database()->undoRecording());
  // Neither a database nor a working one: nothing to do, nothing breaks.
  kvhost::closeDocument(a);
  ASSERT_EQ(acdbHostApplicationServices()->workingDatabase(), nullptr);
  inScope([&] {
    KOVASmartUndoRecording guard(nullptr);
    exitScope();
  });
}

TEST_P(Guards, PushPopDbmodBracketsTheScope) {
  a->setDbmod(3);
  inScope([&] {
    KOVASmartPushPopDbMod guard(a);
    KOVASmartPushPopDbMod none(nullptr);
    EXPECT_EQ(a->dbmodDepth(), 1);
    a->setDbmod(9);
    exitScope();
  });
  EXPECT_EQ(a->dbmodDepth(), 0);
  EXPECT_EQ(a->dbmod(), 3);
}

TEST_P(Guards, LockTakesAWriteLockForTheScopeUnlessOneIsHeld) {
  struct Vetoer : AcApDocManagerReactor {
    void documentLockModeChanged(AcApDocument*, AcAp::DocLockMode, AcAp::DocLockMode, AcAp::DocLockMode,
                                 const ACHAR*) override {
      veto();
    }
  } vetoer;
  AcDbDatabase loose(true, true);
  using namespace AcAp;
  const struct {
    const char* what;
    AcDbDatabase* db;
    DocLockMode held;  // by the document before the scope
    bool veto;
    Acad::ErrorStatus status;
    bool holds;
  } cases[] = {
      {"unlocked", a->database(), kNotLocked, false, Acad::eOk, true},
      {"no database: the current document", nullptr, kNotLocked, false, Acad::eOk, true},
      {"write lock held", a->database(), kWrite, false, Acad::eOk, false},
      {"auto write lock held", a->database(), kProtectedAutoWrite, false, Acad::eOk, false},
      {"exclusive lock held", a->database(), kXWrite, false, Acad::eOk, false},
      {"read lock held", a->database(), kRead, false, Acad::eOk, true},
      {"vetoed", a->database(), kRead, true, Acad::eVetoed, true},
      {"a database without a document", &loose, kNotLocked, false, Acad::eOk, true},
  };
  kvhost::activateDocument(a);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(c.held == kNotLocked ? Acad::eOk : acDocManagerPtr()->lockDocument(a, c.held), Acad::eOk);
    if (c.veto) acDocManagerPtr()->addReactor(&vetoer);
    inScope([&] {
      KOVASmartLock guard(c.db, AcAxDocLock::kNormal);
      EXPECT_EQ(guard.status(), c.status);
      EXPECT_EQ(guard.holdsLockObject(), c.holds);
      const bool locksA = c.db != &loose && c.holds && c.status == Acad::eOk;
      EXPECT_EQ(a->myLockMode(), locksA ? kWrite : c.held);
      exitScope();
    });
    acDocManagerPtr()->removeReactor(&vetoer);
    EXPECT_EQ(a->myLockMode(), c.held);  // what it took is given back, nothing more
    if (c.held != kNotLocked) acDocManagerPtr()->unlockDocument(a);
  }
  kvhost::closeDocument(a);
  kvhost::closeDocument(b);
  inScope([&] {
    KOVASmartLock guard(nullptr, AcAxDocLock::kNormal);
    EXPECT_FALSE(guard.holdsLockObject());
    EXPECT_EQ(guard.status(), Acad::eNoDatabase);
    exitScope();
  });
}

INSTANTIATE_TEST_SUITE_P(Exits, Guards, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "LeftByAnException" : "LeftNormally";
                         });

}  // namespace
