// Type-library registration on Windows: the module's embedded TYPELIB 1
// goes to and from the registry through the system's OLE automation.
#include <windows.h>
#include <oleauto.h>
#include <vector>
#include "common/journal.h"
#include "rx/typelibrary.h"

namespace kvhost {
namespace sys {

long registerTypeLibrary(void* module, bool on) {
  std::vector<wchar_t> path(32768);
  DWORD n = GetModuleFileNameW(static_cast<HMODULE>(module), path.data(), static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return HRESULT_FROM_WIN32(GetLastError());
  ITypeLib* library = nullptr;
  HRESULT result = LoadTypeLibEx(path.data(), on ? REGKIND_REGISTER : REGKIND_NONE, &library);
  if (FAILED(result)) return result;
  TLIBATTR* attributes = nullptr;
  BSTR name = nullptr;
  library->GetDocumentation(-1, &name, nullptr, nullptr, nullptr);
  if (SUCCEEDED(result = library->GetLibAttr(&attributes))) {
    if (!on)
      result = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                                 attributes->lcid, attributes->syskind);
    if (SUCCEEDED(result) && on)
      journalf(L"com: type library %ls %d.%d registered", name ? name : L"", attributes->wMajorVerNum,
               attributes->wMinorVerNum);
    else if (SUCCEEDED(result))
      journalf(L"com: type library %ls unregistered", name ? name : L"");
    library->ReleaseTLibAttr(attributes);
  }
  SysFreeString(name);
  library->Release();
  return result;
}

// Looked up under the libraries the registry holds, by their names.
bool isTypeLibraryRegistered(const wchar_t* name) {
  HKEY libraries = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"TypeLib", 0, KEY_READ, &libraries) != ERROR_SUCCESS) return false;
  bool found = false;
  wchar_t id[64];
  for (DWORD i = 0; !found; ++i) {
    DWORD length = 64;
    if (RegEnumKeyExW(libraries, i, id, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    ITypeLib* library = nullptr;
    GUID guid;
    if (FAILED(CLSIDFromString(id, &guid)) || FAILED(LoadRegTypeLib(guid, 1, 0, 1033, &library))) continue;
    BSTR libraryName = nullptr;
    found = SUCCEEDED(library->GetDocumentation(-1, &libraryName, nullptr, nullptr, nullptr)) && libraryName &&
            wcscmp(libraryName, name) == 0;
    SysFreeString(libraryName);
    library->Release();
  }
  RegCloseKey(libraries);
  return found;
}

}  // namespace sys
}  // namespace kvhost
