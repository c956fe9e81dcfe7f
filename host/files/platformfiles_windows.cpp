// The file system calls of saves and opens on Windows, with wide paths.
#include <windows.h>
#include <algorithm>
#include <vector>
#include "files/platformfiles.h"
#include "kvhost.h"

namespace kvhost {
namespace sys {
namespace {

// A handle closed when it goes.
class Handle {
 public:
  explicit Handle(HANDLE handle) : m_handle(handle) {}
  ~Handle() {
    if (valid()) CloseHandle(m_handle);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }
  HANDLE get() const { return m_handle; }
  // Closes it now; false when closing reports a failure.
  bool close() {
    HANDLE handle = m_handle;
    m_handle = INVALID_HANDLE_VALUE;
    return CloseHandle(handle) != 0;
  }

 private:
  HANDLE m_handle;
};

// What a system error means to someone saving a file.
std::string cause(DWORD error) {
  switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return "the disk is full";
    case ERROR_NOT_ENOUGH_QUOTA: return "the disk quota is exceeded";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return "permission denied";
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND: return "the folder does not exist";
    case ERROR_WRITE_PROTECT: return "the file system is read-only";
    case ERROR_FILENAME_EXCED_RANGE: return "the name is too long";
    default: return "system error " + std::to_string(error);
  }
}

// Opens a file to ask about it, following links; directories too.
HANDLE openToQuery(const std::string& path) {
  return CreateFileW(fromUtf8(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// What an open handle stands for when it is no file on a disk, in words;
// null for a file.
const char* notAFile(HANDLE file) {
  const DWORD type = GetFileType(file);
  BY_HANDLE_FILE_INFORMATION info = {};
  const bool folder = type == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
                      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (type == FILE_TYPE_DISK && !folder) return nullptr;
  return folder                   ? "it is a directory"
         : type == FILE_TYPE_PIPE ? "it is a pipe or a socket, not a file"
         : type == FILE_TYPE_CHAR ? "it is a device, not a file"
                                  : "it is not a regular file";
}

bool writeAll(HANDLE file, std::string_view contents) {
  for (size_t done = 0; done < contents.size();) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(contents.size() - done, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, contents.data() + done, chunk, &written, nullptr)) return false;
    if (written == 0) {
      SetLastError(ERROR_DISK_FULL);
      return false;
    }
    done += written;
  }
  return true;
}

}  // namespace

const char kPathSeparators[] = "/\\";

ReadOutcome readFile(const std::string& path, const std::function<bool(const char* bytes, size_t size)>& take) {
  ReadOutcome outcome;
  // Folders open too, to be told apart from files that cannot be read.
  Handle file(CreateFileW(fromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    outcome.kind = missing ? ReadOutcome::kMissing : ReadOutcome::kUnreadable;
    outcome.failure = missing ? "there is no such file" : cause(error);
    return outcome;
  }
  if (const char* kind = notAFile(file.get())) {
    outcome.kind = ReadOutcome::kNotAFile;
    outcome.failure = kind;
    return outcome;
  }
  std::vector<char> buffer(1 << 16);
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
      outcome.kind = ReadOutcome::kUnreadable;
      outcome.failure = "reading it failed: " + cause(GetLastError());
      return outcome;
    }
    if (n == 0) return outcome;
    if (!take(buffer.data(), n)) {
      outcome.kind = ReadOutcome::kStopped;
      return outcome;
    }
  }
}

bool followLinks(const std::string& path, std::string& target) {
  Handle file(openToQuery(path));
  if (!file.valid()) {
    // A loop cannot be resolved; a name of no file yet is saved as it is.
    if (GetLastError() == ERROR_CANT_RESOLVE_FILENAME) return false;
    target = path;
    return true;
  }
  // A device or a pipe has no links, and no final path: the save refuses it by its name.
  if (notAFile(file.get()) != nullptr) {
    target = path;
    return true;
  }
  wchar_t buffer[32768];
  DWORD n = GetFinalPathNameByHandleW(file.get(), buffer, 32768, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= 32768) return false;
  std::wstring final(buffer, n);
  if (final.compare(0, 4, L"\\\\?\\") == 0) final.erase(0, 4);
  target = toUtf8(final);
  return true;
}

bool identify(const std::string& path, FileIdentity& identity) {
  Handle file(openToQuery(path));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info)) return false;
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

std::vector<std::string> folderEntries(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW((fromUtf8(folder) + L"\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.push_back(toUtf8(name));
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return names;
}

void removeFile(const std::string& path) { DeleteFileW(fromUtf8(path).c_str()); }

unsigned long currentProcess() { return GetCurrentProcessId(); }

bool processRunning(unsigned long id) {
  Handle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id)));
  if (!process.valid()) return GetLastError() != ERROR_INVALID_PARAMETER;
  return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

WriteOutcome writeInPlaceOf(const std::string& temp, const std::string& target, std::string_view contents) {
  WriteOutcome outcome;
  const std::wstring tempName = fromUtf8(temp), targetName = fromUtf8(target);
  {
    Handle old(openToQuery(target));
    if (const char* kind = old.valid() ? notAFile(old.get()) : nullptr) {
      outcome.failure = kind;
      return outcome;
    }
  }
  Handle file(CreateFileW(tempName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    outcome.nameTaken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    outcome.failure = cause(error);
    return outcome;
  }
  bool written = writeAll(file.get(), contents) && FlushFileBuffers(file.get()) && file.close();
  // ReplaceFileW keeps the old file's attributes and security; a new file is moved into place.
  if (written)
    written = GetFileAttributesW(targetName.c_str()) != INVALID_FILE_ATTRIBUTES
                  ? ReplaceFileW(targetName.c_str(), tempName.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                                 nullptr) != 0
                  : MoveFileExW(tempName.c_str(), targetName.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (written) return outcome;
  outcome.failure = cause(GetLastError());
  if (file.valid()) file.close();
  DeleteFileW(tempName.c_str());
  return outcome;
}

}  // namespace sys
}  // namespace kvhost
