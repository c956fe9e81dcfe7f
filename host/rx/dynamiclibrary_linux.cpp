// Mapping module files on Linux, with the dynamic loader.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>
#include <cstring>
#include "kvhost.h"
#include "rx/dynamiclibrary.h"

namespace kvhost {
namespace sys {
namespace {

std::string executableDirectory() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  std::string path(buffer, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}

}  // namespace

std::string modulePath(const std::string& name) {
  // Given to dlopen without a folder, a name would be searched for on the library path.
  if (name.find('/') != std::string::npos) return name;
  if (access(name.c_str(), F_OK) == 0) return "./" + name;
  return executableDirectory() + "/" + name;
}

std::string fileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool sameModuleName(const std::string& a, const std::string& b) { return a == b; }

bool isReadableFile(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

bool loaderCallsDllMain() { return false; }

void* openLibrary(const std::string& path, std::wstring& why) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) why = fromUtf8(dlerror());
  return library;
}

// dlsym would also find the same name in the modules this one depends on.
void* ownSymbol(void* library, const char* name) {
  void* symbol = dlsym(library, name);
  link_map* map = nullptr;
  Dl_info info;
  if (symbol == nullptr || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || dladdr(symbol, &info) == 0) return nullptr;
  return info.dli_fbase == reinterpret_cast<void*>(map->l_addr) || std::strcmp(info.dli_fname, map->l_name) == 0
             ? symbol
             : nullptr;
}

bool closeLibrary(void* library, const std::string& path) {
  dlclose(library);
  void* still = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (still) dlclose(still);
  return still == nullptr;
}

bool isLibraryMapped(const std::string& fileName) {
  struct Search {
    std::string name;
    bool found;
  } search{fileName, false};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        s->found = s->found || (info->dlpi_name && fileNameOf(info->dlpi_name) == s->name);
        return s->found ? 1 : 0;
      },
      &search);
  return search.found;
}

std::string fileHolding(const void* address) {
  Dl_info info;
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return "";
  return info.dli_fname;
}

}  // namespace sys
}  // namespace kvhost
