// The document manager's internals for the host's other parts.
#pragma once
#include <string>
#include "acdocman.h"
#include "common/reactorlist.h"

namespace kvhost {

ReactorList<AcApDocManagerReactor>& documentManagerReactors();

// Documents are born here: the reactors hear the start, then the creation
// (or its cancel), then the new document becomes the active one. Null when
// cancelled; the document owns the database.
AcApDocument* createDocument(AcDbDatabase* db, const std::wstring& name, bool cancel);
bool isOpenDocument(const AcApDocument* doc);

// Hears that a document is about to close, before the document manager's
// reactors do, as a host's editor does. Attached when the host is loaded.
class DocumentWatcher {
 public:
  virtual ~DocumentWatcher() = default;
  virtual void documentToBeClosed(AcDbDatabase* db) = 0;
};
ReactorList<DocumentWatcher>& documentWatchers();

}  // namespace kvhost
