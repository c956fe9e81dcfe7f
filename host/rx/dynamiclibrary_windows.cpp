// Mapping module files on Windows, with the system's loader.
#include <windows.h>
#include <psapi.h>
#include <cwctype>
#include <vector>
#include "kvhost.h"
#include "rx/dynamiclibrary.h"

namespace kvhost {
namespace sys {
namespace {

std::wstring lowered(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) out += static_cast<wchar_t>(std::towlower(c));
  return out;
}

std::wstring executableDirectory() {
  std::vector<wchar_t> buffer(32768);
  DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  std::wstring path(buffer.data(), n);
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

std::wstring systemMessage(DWORD error) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = text ? text : L"error " + std::to_wstring(error);
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
    message.pop_back();
  return message;
}

}  // namespace

std::string modulePath(const std::string& name) {
  if (name.find_first_of("/\\:") != std::string::npos) return name;
  if (GetFileAttributesW(fromUtf8(name).c_str()) != INVALID_FILE_ATTRIBUTES) return ".\\" + name;
  return toUtf8(executableDirectory()) + "\\" + name;
}

std::string fileNameOf(const std::string& path) { return path.substr(path.find_last_of("/\\:") + 1); }

bool sameModuleName(const std::string& a, const std::string& b) { return lowered(fromUtf8(a)) == lowered(fromUtf8(b)); }

bool isReadableFile(const std::string& path) {
  HANDLE file = CreateFileW(fromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

bool loaderCallsDllMain() { return true; }

void* openLibrary(const std::string& path, std::wstring& why) {
  // No dialog box for a module the loader cannot take: the failure is the linker's to report.
  UINT errorMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE library = LoadLibraryExW(fromUtf8(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  DWORD error = GetLastError();
  SetErrorMode(errorMode);
  if (library == nullptr) why = systemMessage(error);
  return reinterpret_cast<void*>(library);
}

// GetProcAddress finds only what the module itself exports.
void* ownSymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

bool closeLibrary(void* library, const std::string& path) {
  FreeLibrary(static_cast<HMODULE>(library));
  HMODULE still = nullptr;
  return !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, fromUtf8(path).c_str(), &still);
}

bool isLibraryMapped(const std::string& fileName) {
  std::vector<HMODULE> modules(1024);
  DWORD bytes = 0;
  if (!EnumProcessModules(GetCurrentProcess(), modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)),
                          &bytes))
    return false;
  const std::wstring wanted = lowered(fromUtf8(fileName));
  for (size_t i = 0; i < bytes / sizeof(HMODULE) && i < modules.size(); ++i) {
    wchar_t name[MAX_PATH];
    DWORD n = GetModuleBaseNameW(GetCurrentProcess(), modules[i], name, MAX_PATH);
    if (n > 0 && lowered(std::wstring(name, n)) == wanted) return true;
  }
  return false;
}

std::string fileHolding(const void* address) {
  HMODULE module = nullptr;
  if (address == nullptr ||
      !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &module))
    return "";
  std::vector<wchar_t> buffer(32768);
  DWORD n = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
  return toUtf8(std::wstring(buffer.data(), n));
}

}  // namespace sys
}  // namespace kvhost
