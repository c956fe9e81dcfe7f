// The class system's internals for the host's other parts.
#pragma once
#include <string>
#include "common/reactorlist.h"
#include "rxobject.h"

namespace kvhost {

// The registered class with this DXF name, or null.
AcRxClass* classByDxfName(const std::wstring& dxfName);

// Hears of the classes that modules register and remove (the database
// turns the objects of a class that goes into proxies, and back).
class ClassReactor {
 public:
  virtual ~ClassReactor() = default;
  virtual void classRegistered(AcRxClass* cls) = 0;
  virtual void classToBeRemoved(AcRxClass* cls) = 0;
};
ReactorList<ClassReactor>& classReactors();

}  // namespace kvhost
