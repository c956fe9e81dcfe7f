// The editor's internals for the host's other parts: raising its
// notifications.
#pragma once
#include "aced.h"
#include "common/reactorlist.h"

namespace kvhost {

// The reactors attached to the editor: event reactors, some of them editor reactors.
ReactorList<AcRxEventReactor>& editorReactors();

// Raises a notification to the editor reactors (those that are editor reactors).
template <class F>
void notifyEditorReactors(F&& call) {
  editorReactors().notify([&](AcRxEventReactor* r) {
    if (AcEditorReactor* ed = AcEditorReactor::cast(r)) call(ed);
  });
}
template <class F>
void notifyEventReactors(F&& call) {
  editorReactors().notify([&](AcRxEventReactor* r) { call(r); });
}

}  // namespace kvhost
