// The counts on Windows. Each DLL calls the C++ runtime DLL's operator new,
// not the program's, so replacing it here would see nothing of the host or
// the modules. What every allocation ends in is the C runtime's heap: the
// import slots of malloc, calloc, realloc and free in the program and the
// DLLs of its folder (the host, the hub, the in-house services and the MinGW
// runtime, whose operator new calls malloc through its own imports) are
// pointed, once the program's DLLs are loaded, at functions that count and
// call the C runtime.
#include <windows.h>
#include <psapi.h>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>
#include "allocations.h"

namespace {

using Malloc = void*(__cdecl*)(size_t);
using Calloc = void*(__cdecl*)(size_t, size_t);
using Realloc = void*(__cdecl*)(void*, size_t);
using Free = void(__cdecl*)(void*);
// The C runtime's own functions, as the first redirected import slot held them.
Malloc g_malloc = nullptr;
Calloc g_calloc = nullptr;
Realloc g_realloc = nullptr;
Free g_free = nullptr;

void* __cdecl countedMalloc(size_t n) {
  allocations::noteAllocation();
  return g_malloc(n);
}
void* __cdecl countedCalloc(size_t count, size_t size) {
  allocations::noteAllocation();
  return g_calloc(count, size);
}
void* __cdecl countedRealloc(void* p, size_t n) {
  if (p != nullptr) allocations::noteRelease(p);
  allocations::noteAllocation();
  return g_realloc(p, n);
}
void __cdecl countedFree(void* p) {
  if (p != nullptr) allocations::noteRelease(p);
  g_free(p);
}

// An imported function by name, where the runtime's own is kept, and what stands in for it.
struct Redirect {
  const char* name;
  void** runtime;
  void* counted;
};
const Redirect kRedirects[] = {
    {"malloc", reinterpret_cast<void**>(&g_malloc), reinterpret_cast<void*>(&countedMalloc)},
    {"calloc", reinterpret_cast<void**>(&g_calloc), reinterpret_cast<void*>(&countedCalloc)},
    {"realloc", reinterpret_cast<void**>(&g_realloc), reinterpret_cast<void*>(&countedRealloc)},
    {"free", reinterpret_cast<void**>(&g_free), reinterpret_cast<void*>(&countedFree)},
};

std::wstring folderOf(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  path.resize(GetModuleFileNameW(module, path.data(), MAX_PATH));
  path.resize(path.find_last_of(L"\\/") + 1);
  for (wchar_t& c : path) c = static_cast<wchar_t>(std::towlower(c));
  return path;
}

void redirect(void** slot, const Redirect& r) {
  if (*slot == r.counted) return;
  if (*r.runtime == nullptr) *r.runtime = *slot;
  if (*slot != *r.runtime) std::abort();  // a second C runtime: its heap would go uncounted
  DWORD was = 0;
  if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &was)) std::abort();
  *slot = r.counted;
  VirtualProtect(slot, sizeof(void*), was, &was);
}

// Points the module's imports of the C runtime's heap functions at their stand-ins; how many it did.
int redirectImports(HMODULE module) {
  auto* base = reinterpret_cast<unsigned char*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& table = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (table.VirtualAddress == 0) return 0;
  int redirected = 0;
  for (auto* dll = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + table.VirtualAddress); dll->Name; ++dll) {
    const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
    auto** slots = reinterpret_cast<void**>(base + dll->FirstThunk);
    for (size_t i = 0; dll->OriginalFirstThunk && names[i].u1.AddressOfData; ++i) {
      if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) continue;
      const char* name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData)->Name;
      for (const Redirect& r : kRedirects)
        if (std::strcmp(name, r.name) == 0) redirect(&slots[i], r), ++redirected;
    }
  }
  return redirected;
}

// The program and every DLL beside it, or the counts would miss its allocations.
const bool g_installed = [] {
  const std::wstring folder = folderOf(GetModuleHandleW(nullptr));
  std::vector<HMODULE> modules(1024);
  DWORD bytes = 0;
  if (!EnumProcessModules(GetCurrentProcess(), modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)),
                          &bytes))
    std::abort();
  modules.resize(bytes / sizeof(HMODULE));
  int redirected = 0;
  for (HMODULE module : modules)
    if (folderOf(module) == folder) redirected += redirectImports(module);
  if (redirected == 0) std::abort();  // counting nothing would pass every check
  return true;
}();

}  // namespace
