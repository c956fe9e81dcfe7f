// The dynamic linker: loads application modules from their files, runs their
// entry points in the host's order and unmaps them again.
#include <dlfcn.h>
#include <link.h>
#include <cstring>
#include <unistd.h>
#include <algorithm>
#include <memory>
#include <vector>
#include "common/journal.h"
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
      if (lib == other.image.soname() || lib == otherName) return true;
    return false;
  }
};

std::string executableDirectory() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  std::string path(buffer, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}

// A module named without a directory is looked for in the current
// directory, then where the running program is (given to dlopen without a
// directory, a name would be searched for on the library path instead).
std::string resolveModulePath(const std::wstring& fileName) {
  std::string name = kvhost::toUtf8(fileName);
  if (name.find('/') != std::string::npos) return name;
  if (access(name.c_str(), F_OK) == 0) return "./" + name;
  return executableDirectory() + "/" + name;
}

std::wstring baseName(const std::wstring& fileName) {
  size_t slash = fileName.rfind(L'/');
  return slash == std::wstring::npos ? fileName : fileName.substr(slash + 1);
}

// A symbol the module itself defines: dlsym would also find the same name
// in the modules it depends on.
void* ownSymbol(void* handle, const char* name) {
  void* symbol = dlsym(handle, name);
  link_map* map = nullptr;
  Dl_info info;
  if (symbol == nullptr || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || dladdr(symbol, &info) == 0) return nullptr;
  return info.dli_fbase == reinterpret_cast<void*>(map->l_addr) || std::strcmp(info.dli_fname, map->l_name) == 0
             ? symbol
             : nullptr;
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
    auto entry = reinterpret_cast<AcrxEntryPoint>(ownSymbol(m->handle, "acrxEntryPoint"));
    kvhost::journalf(L"linker: %ls kUnloadAppMsg", m->name.c_str());
    entry(AcRx::kUnloadAppMsg, m);
    unmap(m);
  }

  // Process detach, then the module is unmapped unless something outside
  // the linker's modules still links it (the program itself, or a library).
  void unmap(LoadedModule* m) {
    if (auto dllMain = reinterpret_cast<KvDllEntryPoint>(ownSymbol(m->handle, "DllMain"))) {
      kvhost::journalf(L"linker: %ls process detach", m->name.c_str());
      dllMain(m->handle, DLL_PROCESS_DETACH, nullptr);
    }
    std::string path = m->path;
    std::wstring name = m->name;
    void* handle = m->handle;
    modules.erase(std::find_if(modules.begin(), modules.end(),
                               [m](const std::unique_ptr<LoadedModule>& p) { return p.get() == m; }));
    dlclose(handle);
    if (void* still = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
      dlclose(still);
      kvhost::journalf(L"linker: %ls still mapped (the program or a library links it)", name.c_str());
    } else {
      kvhost::journalf(L"linker: %ls unmapped", name.c_str());
    }
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
  module->path = resolveModulePath(fileName);
  if (access(module->path.c_str(), R_OK) != 0)
    return d.fail(L"module file " + std::wstring(fileName) + L" not found");
  std::wstring why;
  if (!module->image.read(module->path, why)) return d.fail(L"cannot load " + std::wstring(fileName) + L": " + why);
  kvhost::journalf(L"linker: loading %ls", module->name.c_str());
  module->handle = dlopen(module->path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module->handle == nullptr)
    return d.fail(L"cannot load " + std::wstring(fileName) + L": " + kvhost::fromUtf8(dlerror()));
  auto entry = reinterpret_cast<AcrxEntryPoint>(ownSymbol(module->handle, "acrxEntryPoint"));
  if (entry == nullptr) {
    dlclose(module->handle);
    return d.fail(std::wstring(fileName) + L" is not an application module (no acrxEntryPoint)");
  }
  kvhost::journalf(L"linker: %ls mapped", module->name.c_str());
  LoadedModule* m = module.get();
  d.modules.push_back(std::move(module));
  if (auto dllMain = reinterpret_cast<KvDllEntryPoint>(ownSymbol(m->handle, "DllMain"))) {
    kvhost::journalf(L"linker: %ls process attach", m->name.c_str());
    dllMain(m->handle, DLL_PROCESS_ATTACH, nullptr);
  }
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
  Dl_info info;
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return L"";
  return baseName(kvhost::fromUtf8(info.dli_fname));
}
