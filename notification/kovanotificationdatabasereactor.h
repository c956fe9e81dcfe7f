// Database notifications: the dispatcher the module attaches to every open
// drawing's database, and the base class of client database reactors.
#pragma once
#include <dbmain.h>
#include "kovaexport.h"
#include "kovafanout.h"

class KOVADatabaseReactorDispatcher : public AcDbDatabaseReactor, public KOVARetirable {
 public:
  KOVADatabaseReactorDispatcher();
  ~KOVADatabaseReactorDispatcher() override;

  void objectAppended(const AcDbDatabase* dwg, const AcDbObject* dbObj) override;
  void objectUnAppended(const AcDbDatabase* dwg, const AcDbObject* dbObj) override;
  void objectReAppended(const AcDbDatabase* dwg, const AcDbObject* dbObj) override;
  void objectOpenedForModify(const AcDbDatabase* dwg, const AcDbObject* dbObj) override;
  void objectModified(const AcDbDatabase* dwg, const AcDbObject* dbObj) override;
  void objectErased(const AcDbDatabase* dwg, const AcDbObject* dbObj, Adesk::Boolean pErased) override;
  void headerSysVarWillChange(const AcDbDatabase* dwg, const ACHAR* name) override;
  void headerSysVarChanged(const AcDbDatabase* dwg, const ACHAR* name, Adesk::Boolean bSuccess) override;
  void proxyResurrectionCompleted(const AcDbDatabase* dwg, const ACHAR* appname, AcDbObjectIdArray& objects) override;
  void goodbye(const AcDbDatabase* dwg) override;

  // Attaching and detaching go through here, so that the dispatcher knows
  // every database it is attached to, also one whose document has already
  // left the document list when the dispatcher retires.
  void attachTo(AcDbDatabase* db);
  void detachFrom(const AcDbDatabase* db);

  void attachToHost() override;
  void detachFromHost() override;

 private:
  template <class Call>
  void forward(const char* name, Call&& call);

  AcArray<const AcDbDatabase*> m_tabAttached;
};

// Client database reactors derive from this: registered at priority -1
// from construction to destruction.
class KOVA_EXPORT KOVADatabaseReactorBase : public AcDbDatabaseReactor {
 public:
  KOVADatabaseReactorBase();
  KOVADatabaseReactorBase(const KOVADatabaseReactorBase&);
  KOVADatabaseReactorBase& operator=(const KOVADatabaseReactorBase&);
  ~KOVADatabaseReactorBase() override;
};

// The snapshots of the running database fan-outs.
KOVARunningSnapshots<AcDbDatabaseReactor>& kovaDbSnapshots();
