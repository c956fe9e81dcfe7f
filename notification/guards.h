// Scoped guards for host state: each changes one thing for its scope and
// puts it back on every way out, exceptions included.
#pragma once
#include <acdocman.h>

// Switches off a database's undo recording (the working database's when
// none is given) and restores what it was. A client may close that drawing
// inside the scope: the guard hears the database's goodbye and then leaves
// it alone.
class KOVASmartUndoRecording {
 public:
  explicit KOVASmartUndoRecording(AcDbDatabase* pDb);
  virtual ~KOVASmartUndoRecording();
  KOVASmartUndoRecording(const KOVASmartUndoRecording&) = delete;
  KOVASmartUndoRecording& operator=(const KOVASmartUndoRecording&) = delete;

 private:
  class KOVADatabaseWatch : public AcDbDatabaseReactor {
   public:
    explicit KOVADatabaseWatch(AcDbDatabase*& pDb) : m_pDb(pDb) {}
    void goodbye(const AcDbDatabase* pDb) override {
      if (pDb == m_pDb) m_pDb = nullptr;
    }

   private:
    AcDbDatabase*& m_pDb;
  };

  bool m_bUndoWasDisabled;
  AcDbDatabase* m_pDb;
  KOVADatabaseWatch m_watch;
};

// Brackets a scope with a document's pushDbmod and popDbmod.
class KOVASmartPushPopDbMod {
 public:
  explicit KOVASmartPushPopDbMod(AcApDocument* pDoc);
  virtual ~KOVASmartPushPopDbMod();
  KOVASmartPushPopDbMod(const KOVASmartPushPopDbMod&) = delete;
  KOVASmartPushPopDbMod& operator=(const KOVASmartPushPopDbMod&) = delete;

 private:
  AcApDocument* m_pDoc;
};

// Locks the document of a database (the current document when none is
// given) unless the current context already holds a write lock on it.
class KOVASmartLock {
 public:
  KOVASmartLock(AcDbDatabase* pDb, AcAxDocLock::DocLockType lockType);
  virtual ~KOVASmartLock();
  KOVASmartLock(const KOVASmartLock&) = delete;
  KOVASmartLock& operator=(const KOVASmartLock&) = delete;
  Acad::ErrorStatus status() const { return m_status; }
  bool holdsLockObject() const { return m_pLock != nullptr; }

 private:
  AcAxDocLock* m_pLock;
  Acad::ErrorStatus m_status;
};
