// Notifications without an operation of their own, raised for the driving side.
#include "database/dbinternal.h"
#include "docman/docinternal.h"
#include "editor/edinternal.h"
#include "kvhost.h"

namespace kvhost {

void raiseEditorEvent(const std::function<void(AcEditorReactor*)>& call) { notifyEditorReactors(call); }
void raiseEventReactorEvent(const std::function<void(AcRxEventReactor*)>& call) { notifyEventReactors(call); }
void raiseDocManagerEvent(const std::function<void(AcApDocManagerReactor*)>& call) { documentManagerReactors().notify(call); }
void raiseDatabaseEvent(AcDbDatabase* db, const std::function<void(AcDbDatabaseReactor*)>& call) {
  if (db) databaseReactors(db).notify(call);
}

}  // namespace kvhost
