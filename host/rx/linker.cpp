// The dynamic linker: loads application modules from their files, runs their
// entry points in the host's order and unmaps them again.
#include <algorithm>
#include <memory>
#include <vector>
#include "common/journal.h"
#include "rx/dynamiclibrary.h"
#include "rx/moduleimage.h"
#include "winshim.h"

namespace {

typedef AcRx::AppRetCode (*AcrxEntryPoint)(AcRx::AppMsgCode, void*);

struct LoadedModule {
  std::wstring name;
  std::string path;
  kvhost::ModuleImage image;
  void* handle = nullptr;
  bool locked = true;
  bool mdiAware = false;

  // Whether this module links the other one: unloading that one would
  // leave this one calling into a module that has been told it is gone.
  bool needs(const LoadedModule& other) const {
    const std::string otherName = kvhost::toUtf8(other.name);
    for (const std::string& lib : image.needed())
      if (kvhost::sys::sameModuleName(lib, other.image.soname()) || kvhost::sys::sameModuleName(lib, otherName))
        return true;
    return false;
  }
};

std::wstring baseName(const std::wstring& fileName) {
  return kvhost::fromUtf8(kvhost::sys::fileNameOf(kvhost::toUtf8(fileName)));
}

void* ownSymbol(const LoadedModule& m, const char* name) { return kvhost::sys::ownSymbol(m.handle, name); }

// The process attach or detach of a module that has a DllMain: run here
// where the system's loader does not run it itself (on Windows the loader
// has run the attach by the time the module is mapped, and runs the detach
// as it unmaps it).
void runDllMain(const LoadedModule& m, DWORD reason) {
  auto dllMain = reinterpret_cast<KvDllEntryPoint>(ownSymbol(m, "DllMain"));
  if (dllMain == nullptr) return;
  kvhost::journalf(L"linker: %ls process %ls", m.name.c_str(), reason == DLL_PROCESS_ATTACH ? L"attach" : L"detach");
  if (!kvhost::sys::loaderCallsDllMain()) dllMain(m.handle, reason, nullptr);
}

}  // namespace

struct AcRxDynamicLinker::Impl {
  std::vector<std::unique_ptr<LoadedModule>> modules;
  std::wstring lastError;

  LoadedModule* byName(const ACHAR* fileName) const {
    if (fileName == nullptr) return nullptr;
    std::wstring name = baseName(fileName);
    for (auto& m : modules)
      if (m->name == name) return m.get();
    return nullptr;
  }
  LoadedModule* byAppId(void* appId) const {
    for (auto& m : modules)
      if (m.get() == appId) return m.get();
    return nullptr;
  }
  // A loaded module that links m, if any.
  const LoadedModule* dependentOf(const LoadedModule& m) const {
    for (auto& other : modules)
      if (other.get() != &m && other->needs(m)) return other.get();
    return nullptr;
  }
  bool fail(const std::wstring& why) {
    lastError = why;
    kvhost::writeJournal(L"linker: " + why);
    return false;
  }

  void unload(LoadedModule* m) {
    auto entry = reinterpret_cast<AcrxEntryPoint>(ownSymbol(*m, "acrxEntryPoint"));
    kvhost::journalf(L"linker: %ls kUnloadAppMsg", m->name.c_str());
    entry(AcRx::kUnloadAppMsg, m);
    unmap(m);
  }

  // Process detach, then the module is unmapped unless something outside
  // the linker's modules still links it (the program itself, or a library).
  void unmap(LoadedModule* m) {
    runDllMain(*m, DLL_PROCESS_DETACH);
    std::string path = m->path;
    std::wstring name = m->name;
    void* handle = m->handle;
    modules.erase(std::find_if(modules.begin(), modules.end(),
                               [m](const std::unique_ptr<LoadedModule>& p) { return p.get() == m; }));
    if (kvhost::sys::closeLibrary(handle, path))
      kvhost::journalf(L"linker: %ls unmapped", name.c_str());
    else
      kvhost::journalf(L"linker: %ls still mapped (the program or a library links it)", name.c_str());
  }
};

AcRxDynamicLinker::AcRxDynamicLinker() : m_pImpl(new Impl) {}
AcRxDynamicLinker::~AcRxDynamicLinker() { delete m_pImpl; }

bool AcRxDynamicLinker::loadModule(const ACHAR* fileName, bool, bool) {
  Impl& d = *m_pImpl;
  d.lastError.clear();
  if (fileName == nullptr || *fileName == 0) return d.fail(L"no module file given");
  if (d.byName(fileName)) return true;
  auto module = std::make_unique<LoadedModule>();
  module->name = baseName(fileName);
  module->path = kvhost::sys::modulePath(kvhost::toUtf8(fileName));
  if (!kvhost::sys::isReadableFile(module->path))
    return d.fail(L"module file " + std::wstring(fileName) + L" not found");
  std::wstring why;
  if (!module->image.read(module->path, why)) return d.fail(L"cannot load " + std::wstring(fileName) + L": " + why);
  kvhost::journalf(L"linker: loading %ls", module->name.c_str());
  module->handle = kvhost::sys::openLibrary(module->path, why);
  if (module->handle == nullptr) return d.fail(L"cannot load " + std::wstring(fileName) + L": " + why);
  auto entry = reinterpret_cast<AcrxEntryPoint>(ownSymbol(*module, "acrxEntryPoint"));
  if (entry == nullptr) {
    kvhost::sys::closeLibrary(module->handle, module->path);
    return d.fail(std::wstring(fileName) + L" is not an application module (no acrxEntryPoint)");
  }
  kvhost::journalf(L"linker: %ls mapped", module->name.c_str());
  LoadedModule* m = module.get();
  d.modules.push_back(std::move(module));
  runDllMain(*m, DLL_PROCESS_ATTACH);
  kvhost::journalf(L"linker: %ls kInitAppMsg", m->name.c_str());
  if (entry(AcRx::kInitAppMsg, m) == AcRx::kRetOK) return true;
  // A module that refuses its initialisation is not running: it hears
  // nothing more, not even the unload message, and goes again.
  std::wstring name = m->name;
  d.unmap(m);
  return d.fail(L"module " + name + L" refused its initialisation and was unloaded");
}

bool AcRxDynamicLinker::unloadModule(const ACHAR* fileName, bool) {
  Impl& d = *m_pImpl;
  d.lastError.clear();
  LoadedModule* m = d.byName(fileName);
  if (m == nullptr) return d.fail(L"module " + std::wstring(fileName ? fileName : L"") + L" is not loaded");
  if (m->locked) return d.fail(L"module " + m->name + L" is locked and cannot be unloaded");
  if (const LoadedModule* dependent = d.dependentOf(*m))
    return d.fail(L"module " + m->name + L" is needed by " + dependent->name + L" and cannot be unloaded");
  d.unload(m);
  return true;
}

bool AcRxDynamicLinker::unlockApplication(void* appId) const {
  LoadedModule* m = m_pImpl->byAppId(appId);
  if (m == nullptr) return false;
  m->locked = false;
  kvhost::journalf(L"linker: %ls unlocked", m->name.c_str());
  return true;
}
bool AcRxDynamicLinker::lockApplication(void* appId) const {
  LoadedModule* m = m_pImpl->byAppId(appId);
  if (m == nullptr) return false;
  m->locked = true;
  return true;
}
bool AcRxDynamicLinker::isApplicationLocked(const ACHAR* fileName) const {
  LoadedModule* m = m_pImpl->byName(fileName);
  return m != nullptr && m->locked;
}
bool AcRxDynamicLinker::registerAppMDIAware(void* appId) const {
  LoadedModule* m = m_pImpl->byAppId(appId);
  if (m == nullptr) return false;
  m->mdiAware = true;
  kvhost::journalf(L"linker: %ls MDI aware", m->name.c_str());
  return true;
}
bool AcRxDynamicLinker::isAppMDIAware(const ACHAR* fileName) const {
  LoadedModule* m = m_pImpl->byName(fileName);
  return m != nullptr && m->mdiAware;
}
bool AcRxDynamicLinker::isModuleLoaded(const ACHAR* fileName) const { return m_pImpl->byName(fileName) != nullptr; }
void AcRxDynamicLinker::unloadAllModules() {
  Impl& d = *m_pImpl;
  while (!d.modules.empty()) {
    // The last loaded of those that no other module needs.
    auto next = std::find_if(d.modules.rbegin(), d.modules.rend(),
                             [&d](const std::unique_ptr<LoadedModule>& m) { return d.dependentOf(*m) == nullptr; });
    d.unload(next == d.modules.rend() ? d.modules.back().get() : next->get());
  }
}
const ACHAR* AcRxDynamicLinker::lastError() const { return m_pImpl->lastError.c_str(); }

std::wstring AcRxDynamicLinker::moduleHolding(const void* address) const {
  const std::string path = kvhost::sys::fileHolding(address);
  return path.empty() ? L"" : baseName(kvhost::fromUtf8(path));
}
