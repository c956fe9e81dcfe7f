// Type-library registration where there is no system registry: the host
// keeps the record, reading the library from the object the module exports
// in place of its TYPELIB 1 resource.
#include <set>
#include <string>
#include "common/journal.h"
#include "rx/dynamiclibrary.h"
#include "rx/typelibrary.h"
#include "winshim.h"

namespace kvhost {
namespace sys {
namespace {

std::set<std::wstring>& registeredTypeLibraries() {
  static std::set<std::wstring> libs;
  return libs;
}

}  // namespace

long registerTypeLibrary(void* module, bool on) {
  const auto* lib = module ? static_cast<const KvTypeLibrary*>(ownSymbol(module, "kvResource_TYPELIB_1")) : nullptr;
  if (lib == nullptr) return TYPE_E_REGISTRYACCESS;
  if (on) {
    registeredTypeLibraries().insert(lib->name);
    journalf(L"com: type library %ls %d.%d registered", lib->name, lib->majorVersion, lib->minorVersion);
  } else {
    registeredTypeLibraries().erase(lib->name);
    journalf(L"com: type library %ls unregistered", lib->name);
  }
  return S_OK;
}

bool isTypeLibraryRegistered(const wchar_t* name) { return registeredTypeLibraries().count(name) != 0; }

}  // namespace sys
}  // namespace kvhost
