// A class's name as a reader writes it, from the name its type_info gives,
// which each C++ ABI writes its own way: one implementation an ABI beside
// this file (KvTypeName_itanium.cpp: GCC and Clang, demangled;
// KvTypeName_msvc.cpp: MSVC, whose names are readable but say "class").
#pragma once
#include <string>

namespace KvTypeName {

// The qualified name, anonymous namespaces left out: "Faulting", "app::Panel".
std::string readable(const char* typeInfoName);

}  // namespace KvTypeName
