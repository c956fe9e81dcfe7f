// Registering the type library a module embeds, one implementation a
// system beside this file: the system's type-library registration on
// Windows (typelibrary_windows.cpp), the host's own record elsewhere
// (typelibrary_linux.cpp).
#pragma once

namespace kvhost {
namespace sys {

// An HRESULT: S_OK, or the failure of reading or (un)registering the library.
long registerTypeLibrary(void* module, bool on);
// Whether the system holds a registration of a type library of that name.
bool isTypeLibraryRegistered(const wchar_t* name);

}  // namespace sys
}  // namespace kvhost
