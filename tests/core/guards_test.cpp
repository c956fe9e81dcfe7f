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

TEST_P(Guards, UndoRecordingIsSwitchedOffAndBackToWhatItWas) {
  AcDbDatabase* db = a->database();
  for (bool wasOn : {true, false}) {
    db->disableUndoRecording(!wasOn);
    inScope([&] {
      KOVASmartUndoRecording guard(db);
      EXPECT_FALSE(db->undoRecording());
      exitScope();
    });
    EXPECT_EQ(db->undoRecording(), wasOn);
  }
}

TEST_P(Guards, UndoRecordingWithoutADatabaseKeepsToTheWorkingOneOfItsStart) {
  kvhost::activateDocument(a);
  inScope([&] {
    KOVASmartUndoRecording guard(nullptr);
    EXPECT_FALSE(a->database()->undoRecording());
    kvhost::activateDocument(b);
    EXPECT_TRUE(b->database()->undoRecording());
    exitScope();
  });
  EXPECT_TRUE(a->database()->undoRecording());
  EXPECT_TRUE(b->database()->undoRecording());
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

TEST_P(Guards, LockLocksTheDocumentForTheScopeUnlessAWriteLockIsHeld) {
  kvhost::activateDocument(b);
  for (AcDbDatabase* db : {a->database(), static_cast<AcDbDatabase*>(nullptr)}) {
    AcApDocument* locked = db ? a : b;  // without a database: the current document
    inScope([&] {
      KOVASmartLock guard(db, AcAxDocLock::kNormal);
      EXPECT_EQ(guard.status(), Acad::eOk);
      EXPECT_TRUE(guard.holdsLockObject());
      EXPECT_EQ(locked->myLockMode(), AcAp::kWrite);
      exitScope();
    });
    EXPECT_EQ(locked->myLockMode(), AcAp::kNotLocked);
  }
  // A write lock already held is left as it is; a read lock gets one on top.
  for (AcAp::DocLockMode held : {AcAp::kWrite, AcAp::kProtectedAutoWrite, AcAp::kXWrite, AcAp::kRead}) {
    ASSERT_EQ(acDocManagerPtr()->lockDocument(a, held), Acad::eOk);
    inScope([&] {
      KOVASmartLock guard(a->database(), AcAxDocLock::kNormal);
      EXPECT_EQ(guard.status(), Acad::eOk);
      EXPECT_EQ(guard.holdsLockObject(), held == AcAp::kRead);
      EXPECT_EQ(a->locks().length(), held == AcAp::kRead ? 2 : 1);
      exitScope();
    });
    EXPECT_EQ(a->myLockMode(), held);
    acDocManagerPtr()->unlockDocument(a);
  }
}

TEST_P(Guards, LockOfADatabaseWithoutADocumentAndOfNothing) {
  AcDbDatabase loose(true, true);
  inScope([&] {
    KOVASmartLock guard(&loose, AcAxDocLock::kNormal);
    EXPECT_TRUE(guard.holdsLockObject());
    EXPECT_EQ(guard.status(), Acad::eOk);
    exitScope();
  });
  kvhost::closeDocument(a);
  kvhost::closeDocument(b);
  inScope([&] {
    KOVASmartLock guard(nullptr, AcAxDocLock::kNormal);
    EXPECT_FALSE(guard.holdsLockObject());
    EXPECT_EQ(guard.status(), Acad::eNoDatabase);
    exitScope();
  });
}

TEST_P(Guards, AVetoedLockIsReportedAndNothingIsReleasedLater) {
  struct Vetoer : AcApDocManagerReactor {
    void documentLockModeChanged(AcApDocument*, AcAp::DocLockMode, AcAp::DocLockMode, AcAp::DocLockMode,
                                 const ACHAR*) override {
      veto();
    }
  } vetoer;
  ASSERT_EQ(acDocManagerPtr()->lockDocument(a, AcAp::kRead), Acad::eOk);
  acDocManagerPtr()->addReactor(&vetoer);
  inScope([&] {
    KOVASmartLock guard(a->database(), AcAxDocLock::kNormal);
    EXPECT_EQ(guard.status(), Acad::eVetoed);
    exitScope();
  });
  acDocManagerPtr()->removeReactor(&vetoer);
  EXPECT_EQ(a->myLockMode(), AcAp::kRead);  // the read lock it did not take stays
  acDocManagerPtr()->unlockDocument(a);
}

INSTANTIATE_TEST_SUITE_P(Exits, Guards, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "LeftByAnException" : "LeftNormally";
                         });

}  // namespace
