#include <windows.h>
#include <kvhost.h>
#include "pathkind.h"

PathKind pathKind(const std::string& path) {
  const std::wstring wide = kvhost::fromUtf8(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return PathKind::directory;
  // A device (NUL, CON, COM1) may have no attributes: opened without access, its type tells.
  const HANDLE file = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return attributes == INVALID_FILE_ATTRIBUTES ? PathKind::missing : PathKind::other;
  const DWORD type = GetFileType(file);
  CloseHandle(file);
  return type == FILE_TYPE_DISK ? PathKind::regularFile : PathKind::other;
}
