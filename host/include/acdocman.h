// Documents: each open drawing is a document with its own database, its
// lock state and its modified (DBMOD) state. The document manager raises
// document reactor notifications and lets a reactor veto lock changes.
#pragma once
#include <vector>
#include "dbmain.h"

namespace AcAp {
enum DocLockMode {
  kNone = 0x00,
  kAutoWrite = 0x01,
  kNotLocked = 0x02,
  kWrite = 0x04,
  kProtectedAutoWrite = 0x14,
  kRead = 0x20,
  kXWrite = 0x40,
};
}  // namespace AcAp

class AcApDocument;

class ACHOST_API AcApDocManagerReactor : public AcRxObject {
 public:
  ACRX_DECLARE_MEMBERS(AcApDocManagerReactor);
  ~AcApDocManagerReactor() override;
  virtual void documentCreateStarted(AcApDocument* pDocCreating);
  virtual void documentCreated(AcApDocument* pDocCreating);
  virtual void documentToBeDestroyed(AcApDocument* pDocToDestroy);
  virtual void documentDestroyed(const ACHAR* fileName);
  virtual void documentCreateCanceled(AcApDocument* pDocCreateCancelled);
  virtual void documentLockModeWillChange(AcApDocument*, AcAp::DocLockMode myCurrentMode,
                                          AcAp::DocLockMode myNewMode, AcAp::DocLockMode currentMode,
                                          const ACHAR* pGlobalCmdName);
  virtual void documentLockModeChangeVetoed(AcApDocument*, const ACHAR* pGlobalCmdName);
  virtual void documentLockModeChanged(AcApDocument*, AcAp::DocLockMode myPreviousMode,
                                       AcAp::DocLockMode myCurrentMode, AcAp::DocLockMode currentMode,
                                       const ACHAR* pGlobalCmdName);
  virtual void documentBecameCurrent(AcApDocument*);
  virtual void documentToBeActivated(AcApDocument* pActivatingDoc);
  virtual void documentToBeDeactivated(AcApDocument* pDeActivatedDoc);
  virtual void documentActivationModified(bool bActivation);
  virtual void documentActivated(AcApDocument* pActivatedDoc);

  // Vetoes the lock change being announced; only documentLockModeChanged
  // accepts a veto (eOk), anywhere else the answer is eNotApplicable.
  Acad::ErrorStatus veto();

  // The host's own state: bit 0, a veto may be made now; bit 1, one was made.
  unsigned char vetoState() const { return m_veto; }
  void setVetoState(unsigned char state) { m_veto = state; }

 private:
  unsigned char m_veto = 0;
};

class ACHOST_API AcApDocument : public AcRxObject {
 public:
  ACRX_DECLARE_MEMBERS(AcApDocument);
  AcDbDatabase* database() const { return m_pDb; }
  const ACHAR* fileName() const { return m_fileName.c_str(); }
  AcAp::DocLockMode myLockMode() const;
  bool isQuiescent() const;
  // DBMOD, the count of unsaved changes, with a stack for scopes that
  // must leave it as they found it.
  int dbmod() const { return m_dbmod; }
  void setDbmod(int value) { m_dbmod = value; }
  void pushDbmod();
  Acad::ErrorStatus popDbmod();
  int dbmodDepth() const { return static_cast<int>(m_dbmodStack.size()); }

  struct Lock {
    AcAp::DocLockMode mode;
    std::wstring globalCommand;
  };
  AcApDocument(AcDbDatabase* db, const ACHAR* fileName);
  ~AcApDocument() override;
  void setFileName(const ACHAR* name) { m_fileName = name; }
  AcArray<Lock, AcArrayObjectCopyReallocator<Lock> >& locks() { return m_locks; }
  // Work in progress on the document (its creation, its closing, a command)
  // that must finish before it may be closed.
  bool isBusy() const { return m_nBusy > 0; }
  class BusyScope {
   public:
    explicit BusyScope(AcApDocument* doc) : m_pDoc(doc) { ++m_pDoc->m_nBusy; }
    ~BusyScope() { --m_pDoc->m_nBusy; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

   private:
    AcApDocument* m_pDoc;
  };

 private:
  AcDbDatabase* m_pDb;
  std::wstring m_fileName;
  int m_dbmod = 0;
  std::vector<int> m_dbmodStack;
  AcArray<Lock, AcArrayObjectCopyReallocator<Lock> > m_locks;
  int m_nBusy = 0;
};

class ACHOST_API AcApDocumentIterator {
 public:
  virtual ~AcApDocumentIterator();
  virtual bool done() const;
  virtual void step();
  virtual AcApDocument* document();

  explicit AcApDocumentIterator(AcArray<AcApDocument*> docs) : m_docs(docs) {}

 private:
  AcArray<AcApDocument*> m_docs;
  int m_index = 0;
};

class ACHOST_API AcApDocManager : public AcRxObject {
 public:
  ACRX_DECLARE_MEMBERS(AcApDocManager);
  AcApDocManager();
  ~AcApDocManager() override;

  AcApDocument* curDocument() const;
  AcApDocument* mdiActiveDocument() const;
  AcApDocument* document(const AcDbDatabase* db) const;
  int documentCount() const;
  AcApDocumentIterator* newAcApDocumentIterator();

  Acad::ErrorStatus lockDocument(AcApDocument* doc, AcAp::DocLockMode mode = AcAp::kWrite,
                                 const ACHAR* pGlobalCmdName = nullptr,
                                 const ACHAR* pLocalCmdName = nullptr, bool prompt = true);
  Acad::ErrorStatus unlockDocument(AcApDocument* doc);
  Acad::ErrorStatus setCurDocument(AcApDocument* doc, AcAp::DocLockMode mode = AcAp::kNone, bool activate = false);
  Acad::ErrorStatus activateDocument(AcApDocument* doc, bool bPassScript = false);
  // Queues a string to the document's command line; it runs when the host
  // is next idle, after the notification that queued it has returned.
  Acad::ErrorStatus sendStringToExecute(AcApDocument* doc, const ACHAR* str, bool activate = true,
                                        bool bWrapUpInactiveDoc = false, bool bEchoString = true);

  void addReactor(AcApDocManagerReactor* reactor);
  void removeReactor(AcApDocManagerReactor* reactor);
  AcArray<AcApDocManagerReactor*> reactors() const;

  struct Impl;
  Impl* impl() const { return m_pImpl; }

 private:
  Impl* m_pImpl;
};

ACHOST_API AcApDocManager* acDocManagerPtr();
#define acDocManager acDocManagerPtr()

// Locks a document for the lifetime of the object.
class ACHOST_API AcAxDocLock {
 public:
  enum DocLockType { kNormal = 0, kCurDocSwitch = 1 };
  AcAxDocLock();
  AcAxDocLock(const AcDbObjectId& objectId, DocLockType lockType = kNormal);
  AcAxDocLock(AcDbDatabase* pDatabase, DocLockType lockType = kNormal);
  virtual ~AcAxDocLock();
  AcAxDocLock(const AcAxDocLock&) = delete;
  AcAxDocLock& operator=(const AcAxDocLock&) = delete;
  Acad::ErrorStatus lockStatus() const { return m_status; }

 private:
  void lock(AcApDocument* doc);
  AcApDocument* m_pDoc = nullptr;
  Acad::ErrorStatus m_status = Acad::eNoDocument;
};
