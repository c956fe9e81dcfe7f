// New temporary folders on Windows.
#include <windows.h>
#include <string>
#include "kvhost.h"
#include "kvtempfolder.h"

namespace kvhost {

std::string makeTemporaryFolder(const std::string& prefix) {
  wchar_t base[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, base);
  if (n == 0 || n > MAX_PATH) return std::string();
  // Only this user may enter a folder made under the user's own temporary folder.
  const std::wstring start = std::wstring(base, n) + fromUtf8(prefix) + L".";
  LARGE_INTEGER tick;
  QueryPerformanceCounter(&tick);
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name =
        start + std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring((tick.QuadPart + attempt) % 1000000);
    if (CreateDirectoryW(name.c_str(), nullptr)) return toUtf8(name);
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return std::string();
}

}  // namespace kvhost
