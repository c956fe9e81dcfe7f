# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Tests run under Wine (wine64), with the MinGW runtime DLLs found through WINEPATH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KOVA_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KOVA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KOVA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KOVA_MINGW_TRIPLE}-windres)
# Packages built for Windows are looked for in the MinGW-w64 root and in the
# roots given with -DCMAKE_FIND_ROOT_PATH (an installed KOVANotification10).
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${KOVA_MINGW_TRIPLE})
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime DLLs the programs need beside them (the build copies them into bin).
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                OUTPUT_VARIABLE KOVA_MINGW_STDCXX OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(KOVA_MINGW_RUNTIME_DIR "${KOVA_MINGW_STDCXX}" DIRECTORY)
set(KOVA_MINGW_RUNTIME_DLLS ${KOVA_MINGW_RUNTIME_DIR}/libstdc++-6.dll ${KOVA_MINGW_RUNTIME_DIR}/libgcc_s_seh-1.dll
    /usr/${KOVA_MINGW_TRIPLE}/lib/libwinpthread-1.dll)

find_program(KOVA_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(KOVA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KOVA_WINE})
endif()
