#include "guards.h"
#include <dbapserv.h>

KOVASmartUndoRecording::KOVASmartUndoRecording(AcDbDatabase* pDb)
    : m_bUndoWasDisabled(false), m_pDb(pDb), m_watch(m_pDb) {
  if (m_pDb == nullptr) m_pDb = acdbHostApplicationServices()->workingDatabase();
  if (m_pDb == nullptr) return;
  m_bUndoWasDisabled = !m_pDb->undoRecording();
  m_pDb->disableUndoRecording(true);
  m_pDb->addReactor(&m_watch);
}

KOVASmartUndoRecording::~KOVASmartUndoRecording() {
  if (m_pDb == nullptr) return;
  m_pDb->removeReactor(&m_watch);
  m_pDb->disableUndoRecording(m_bUndoWasDisabled);
}

KOVASmartPushPopDbMod::KOVASmartPushPopDbMod(AcApDocument* pDoc) : m_pDoc(pDoc) {
  if (m_pDoc != nullptr) m_pDoc->pushDbmod();
}

KOVASmartPushPopDbMod::~KOVASmartPushPopDbMod() {
  if (m_pDoc != nullptr) m_pDoc->popDbmod();
  m_pDoc = nullptr;
}

KOVASmartLock::KOVASmartLock(AcDbDatabase* pDb, AcAxDocLock::DocLockType lockType)
    : m_pLock(nullptr), m_status(Acad::eOk) {
  AcApDocument* doc = nullptr;
  AcDbDatabase* db = pDb;
  if (db != nullptr) {
    doc = acDocManagerPtr()->document(db);
  } else {
    doc = acDocManagerPtr()->curDocument();
    if (doc != nullptr) db = doc->database();
  }
  if (db == nullptr && doc == nullptr) {
    m_status = Acad::eNoDatabase;
    return;
  }
  if (doc != nullptr) {
    AcAp::DocLockMode mode = doc->myLockMode();
    if (mode == AcAp::kWrite || mode == AcAp::kProtectedAutoWrite || mode == AcAp::kXWrite) return;
  }
  m_pLock = db != nullptr ? new AcAxDocLock(db, lockType) : new AcAxDocLock();
  m_status = m_pLock->lockStatus();
}

KOVASmartLock::~KOVASmartLock() {
  delete m_pLock;
  m_pLock = nullptr;
  m_status = Acad::eNoDatabase;
}
