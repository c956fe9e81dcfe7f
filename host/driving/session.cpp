// The driving side's modules, the end of a session, and entity work.
#include "database/dbimpl.h"
#include "docman/docinternal.h"
#include "kvhost.h"

namespace kvhost {
namespace {

AcRxDynamicLinker* linker() { return AcRxDynamicLinker::cast(acrxSysRegistry()->at(ACRX_DYNAMIC_LINKER)); }

// Outside any command a change of the driving side locks its document for
// the change and is one undo step of its own.
class ChangeScope {
 public:
  explicit ChangeScope(AcDbDatabase* db) : m_lock(db), m_pDb(db) { beginUndoGroup(m_pDb); }
  ~ChangeScope() { endUndoGroup(m_pDb); }

 private:
  AcAxDocLock m_lock;
  AcDbDatabase* m_pDb;
};

}  // namespace

bool loadModule(const std::wstring& fileName) { return linker()->loadModule(fileName.c_str(), false); }
bool unloadModule(const std::wstring& fileName) { return linker()->unloadModule(fileName.c_str()); }
std::wstring lastModuleError() { return linker()->lastError(); }

void quit() {
  for (AcApDocument* doc : documents()) closeDocument(doc);
  linker()->unloadAllModules();
}

AcDbObjectId addEntity(AcApDocument* doc, AcDbEntity* entity) {
  if (doc == nullptr || entity == nullptr || !isOpenDocument(doc)) {
    delete entity;
    return AcDbObjectId::kNull;
  }
  AcDbDatabase* db = doc->database();
  ChangeScope scope(db);
  AcDbObjectId id;
  if (!isWriteLocked(db) || db->addAcDbObject(id, entity) != Acad::eOk) {
    delete entity;
    return AcDbObjectId::kNull;
  }
  entity->close();
  doc->setDbmod(doc->dbmod() + 1);
  return id;
}

Acad::ErrorStatus modifyObject(AcDbObjectId id, const std::function<void(AcDbObject*)>& change) {
  if (id.isNull()) return Acad::eNullObjectId;
  ChangeScope scope(id.database());
  AcDbObjectPointer<AcDbObject> object(id, AcDb::kForWrite);
  if (!object) return object.openStatus();
  change(object.object());
  if (AcApDocument* doc = acDocManagerPtr()->document(id.database())) doc->setDbmod(doc->dbmod() + 1);
  return Acad::eOk;
}

Acad::ErrorStatus eraseObject(AcDbObjectId id, bool erase) {
  if (id.isNull()) return Acad::eNullObjectId;
  ChangeScope scope(id.database());
  AcDbObjectPointer<AcDbObject> object(id, AcDb::kForWrite, true);
  if (!object) return object.openStatus();
  Acad::ErrorStatus es = object->erase(erase);
  if (es == Acad::eOk)
    if (AcApDocument* doc = acDocManagerPtr()->document(id.database())) doc->setDbmod(doc->dbmod() + 1);
  return es;
}

int forEachEntity(AcApDocument* doc, const std::function<void(AcDbObjectId)>& visit) {
  if (doc == nullptr || !isOpenDocument(doc)) return 0;
  int count = 0;
  doc->database()->impl()->stubs.forEach([&](AcDbStub* stub) {
    if (stub->object == nullptr || stub->erased || !AcDbEntity::cast(stub->object)) return;
    ++count;
    if (visit) visit(AcDbObjectId(stub));
  });
  return count;
}

AcDbObjectIdArray entities(AcApDocument* doc) {
  AcDbObjectIdArray out;
  forEachEntity(doc, [&](AcDbObjectId id) { out.append(id); });
  return out;
}

AcDbObjectId findObject(AcApDocument* doc, AcDbHandle handle) {
  if (doc == nullptr || !isOpenDocument(doc)) return AcDbObjectId::kNull;
  AcDbStub* stub = doc->database()->impl()->findStub(handle);
  return stub == nullptr || stub->object == nullptr ? AcDbObjectId::kNull : AcDbObjectId(stub);
}

int undoGroupCount(AcApDocument* doc) { return doc ? undoGroupCount(doc->database()) : 0; }

}  // namespace kvhost
