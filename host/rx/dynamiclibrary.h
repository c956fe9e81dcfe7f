// Mapping module files into the process, one implementation a system
// beside this file (dynamiclibrary_linux.cpp: dlopen; dynamiclibrary_windows.cpp:
// LoadLibraryW). Paths are UTF-8.
#pragma once
#include <string>

namespace kvhost {
namespace sys {

// Where a module named without a folder is looked for: the current folder,
// then the running program's (a system search would look elsewhere).
std::string modulePath(const std::string& fileName);
// The name of the file at the end of a path.
std::string fileNameOf(const std::string& path);
// Whether two names a module is known by stand for one file name (Windows
// ignores their letter case).
bool sameModuleName(const std::string& a, const std::string& b);

// Whether the file is there for this process to read.
bool isReadableFile(const std::string& path);
// Whether the system's loader runs a module's DllMain itself (else the linker does).
bool loaderCallsDllMain();

// Maps the module; null, with the system's reason in why, on failure.
void* openLibrary(const std::string& path, std::wstring& why);
// A symbol the module itself defines, not one of a library it links.
void* ownSymbol(void* library, const char* name);
// Unmaps it; false when it stays mapped (the program or a library links it).
bool closeLibrary(void* library, const std::string& path);
// Whether a file of that name is mapped into the process.
bool isLibraryMapped(const std::string& fileName);
// The path of the mapped file that holds the address, or "" for none.
std::string fileHolding(const void* address);

}  // namespace sys
}  // namespace kvhost
