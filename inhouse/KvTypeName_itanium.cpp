// Type names of the Itanium C++ ABI (GCC and Clang, MinGW-w64 too): mangled,
// demangled by the C++ runtime.
#include "KvTypeName.h"
#include <cxxabi.h>
#include <cstdlib>

namespace KvTypeName {

std::string readable(const char* typeInfoName) {
  int status = 0;
  char* plain = abi::__cxa_demangle(typeInfoName, nullptr, nullptr, &status);
  std::string name = status == 0 && plain ? plain : typeInfoName;
  std::free(plain);
  const std::string anonymous = "(anonymous namespace)::";
  for (size_t at; (at = name.find(anonymous)) != std::string::npos;) name.erase(at, anonymous.size());
  return name;
}

}  // namespace KvTypeName
