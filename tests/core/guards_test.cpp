// The scoped guards for host state: each puts back what it changed on every
// way out of its scope, exceptions included. They are internal to the hub,
// so this program builds them from their source.
#include <gtest/gtest.h>
#include <dbapserv.h>
#include <kvhost.h>
#include <stdexcept>
#include "guards.h"

namespace {

struct Fault {};

// Runs a scope that ends with exitScope(): normally or by an exception.
template <class Body>
void leave(bool throwing, Body body) {
  bool thrown = false;
  try {
    body();
  } catch (const Fault&) {
    thrown = true;
  }
  EXPECT_EQ(thrown, throwing);
}

class Guards : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    a = kvhost::newDocument(L"A.dwg");
    b = kvhost::newDocument(L"B.dwg");
  }
  void TearDown() override {
    for (AcApDocument* d : kvhost::documents()) kvhost::closeDocument(d);
  }
  bool throwing() const { return GetParam(); }
  void exitScope() const {
    if (throwing()) throw Fault{};
  }
  AcApDocument* a = nullptr;
  AcApDocument* b = nullptr;
};

TEST_P(Guards, UndoRecordingIsSwitchedOffAndBack) {
  AcDbDatabase* db = a->database();
  ASSERT_TRUE(db->undoRecording());
  leave(throwing(), [&] {
    KOVASmartUndoRecording guard(db);
    EXPECT_FALSE(db->undoRecording());
    exitScope();
  });
  EXPECT_TRUE(db->undoRecording());

  db->disableUndoRecording(true);
  leave(throwing(), [&] {
    KOVASmartUndoRecording guard(db);
    EXPECT_FALSE(db->undoRecording());
    exitScope();
  });
  EXPECT_FALSE(db->undoRecording());
}

TEST_P(Guards, UndoRecordingWithoutADatabaseKeepsToTheWorkingOneOfItsStart) {
  kvhost::activateDocument(a);
  leave(throwing(), [&] {
    KOVASmartUndoRecording guard(nullptr);
    EXPECT_FALSE(a->database()->undoRecording());
    kvhost::activateDocument(b);
    EXPECT_TRUE(b->database()->undoRecording());
    exitScope();
  });
  EXPECT_TRUE(a->database()->undoRecording());
  EXPECT_TRUE(b->database()->undoRecording());

  // Neither a database nor a working one: nothing to do, nothing breaks.
  kvhost::closeDocument(a);
  kvhost::closeDocument(b);
  ASSERT_EQ(acdbHostApplicationServices()->workingDatabase(), nullptr);
  leave(throwing(), [&] {
    KOVASmartUndoRecording guard(nullptr);
    exitScope();
  });
}

TEST_P(Guards, UndoRecordingLeavesADrawingClosedInsideTheScopeAlone) {
  kvhost::activateDocument(a);
  leave(throwing(), [&] {
    KOVASmartUndoRecording guard(nullptr);
    ASSERT_TRUE(kvhost::closeDocument(a));  // a client may close it meanwhile
    exitScope();
  });
  EXPECT_TRUE(b->database()->undoRecording());
  EXPECT_TRUE(b->database()->reactors().isEmpty());
}

TEST_P(Guards, PushPopDbmodBracketsTheScope) {
  a->setDbmod(3);
  leave(throwing(), [&] {
    KOVASmartPushPopDbMod guard(a);
    EXPECT_EQ(a->dbmodDepth(), 1);
    a->setDbmod(9);
    exitScope();
  });
  EXPECT_EQ(a->dbmodDepth(), 0);
  EXPECT_EQ(a->dbmod(), 3);
  leave(throwing(), [&] {
    KOVASmartPushPopDbMod guard(nullptr);
    exitScope();
  });
}

TEST_P(Guards, UndoAndDbmodTogetherAreBothRestored) {
  kvhost::activateDocument(a);
  leave(throwing(), [&] {
    KOVASmartPushPopDbMod dbmod(a);
    KOVASmartUndoRecording undo(nullptr);
    EXPECT_FALSE(a->database()->undoRecording());
    EXPECT_EQ(a->dbmodDepth(), 1);
    exitScope();
  });
  EXPECT_TRUE(a->database()->undoRecording());
  EXPECT_EQ(a->dbmodDepth(), 0);
}

TEST_P(Guards, LockLocksTheDocumentForTheScope) {
  ASSERT_EQ(a->myLockMode(), AcAp::kNotLocked);
  leave(throwing(), [&] {
    KOVASmartLock guard(a->database(), AcAxDocLock::kNormal);
    EXPECT_EQ(guard.status(), Acad::eOk);
    EXPECT_TRUE(guard.holdsLockObject());
    EXPECT_EQ(a->myLockMode(), AcAp::kWrite);
    exitScope();
  });
  EXPECT_EQ(a->myLockMode(), AcAp::kNotLocked);

  // Without a database it locks the current document.
  kvhost::activateDocument(b);
  leave(throwing(), [&] {
    KOVASmartLock guard(nullptr, AcAxDocLock::kNormal);
    EXPECT_TRUE(guard.holdsLockObject());
    EXPECT_EQ(b->myLockMode(), AcAp::kWrite);
    exitScope();
  });
  EXPECT_EQ(b->myLockMode(), AcAp::kNotLocked);
}

TEST_P(Guards, LockLeavesAWriteLockThatIsAlreadyHeld) {
  for (AcAp::DocLockMode held : {AcAp::kWrite, AcAp::kProtectedAutoWrite, AcAp::kXWrite}) {
    ASSERT_EQ(acDocManagerPtr()->lockDocument(a, held), Acad::eOk);
    leave(throwing(), [&] {
      KOVASmartLock guard(a->database(), AcAxDocLock::kNormal);
      EXPECT_EQ(guard.status(), Acad::eOk);
      EXPECT_FALSE(guard.holdsLockObject());
      EXPECT_EQ(a->locks().length(), 1);
      exitScope();
    });
    EXPECT_EQ(a->myLockMode(), held);
    acDocManagerPtr()->unlockDocument(a);
  }
  // A read lock is no write lock: the guard takes one on top of it.
  ASSERT_EQ(acDocManagerPtr()->lockDocument(a, AcAp::kRead), Acad::eOk);
  leave(throwing(), [&] {
    KOVASmartLock guard(a->database(), AcAxDocLock::kNormal);
    EXPECT_TRUE(guard.holdsLockObject());
    EXPECT_EQ(a->myLockMode(), AcAp::kWrite);
    exitScope();
  });
  EXPECT_EQ(a->myLockMode(), AcAp::kRead);
  acDocManagerPtr()->unlockDocument(a);
}

TEST_P(Guards, LockOfADatabaseWithoutADocumentAndOfNothing) {
  AcDbDatabase loose(true, true);
  leave(throwing(), [&] {
    KOVASmartLock guard(&loose, AcAxDocLock::kNormal);
    EXPECT_TRUE(guard.holdsLockObject());
    EXPECT_EQ(guard.status(), Acad::eOk);
    exitScope();
  });
  kvhost::closeDocument(a);
  kvhost::closeDocument(b);
  leave(throwing(), [&] {
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
  leave(throwing(), [&] {
    KOVASmartLock guard(a->database(), AcAxDocLock::kNormal);
    EXPECT_EQ(guard.status(), Acad::eVetoed);
    EXPECT_TRUE(guard.holdsLockObject());
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
