// The file system calls that saves and opens need, one implementation a
// system beside this file (platformfiles_linux.cpp, platformfiles_windows.cpp).
// Paths are UTF-8 throughout; the Windows side widens them for the system.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kvhost {
namespace sys {

// The file a name stands for: symbolic links are followed (the link itself
// stays as it is). False for a loop of links.
bool followLinks(const std::string& path, std::string& target);

// What tells two names of one file apart from names of two files.
struct FileIdentity {
  uint64_t volume = 0, index = 0;
  bool operator==(const FileIdentity& other) const { return volume == other.volume && index == other.index; }
};
// False when the name stands for no file.
bool identify(const std::string& path, FileIdentity& identity);

// The names in a folder, without "." and ".."; none when it cannot be read.
std::vector<std::string> folderEntries(const std::string& folder);
void removeFile(const std::string& path);

unsigned long currentProcess();
// False only when no process of that id runs (one that may not be looked at runs).
bool processRunning(unsigned long id);

// How writing a replacement went: the reason in words when it failed.
struct WriteOutcome {
  bool nameTaken = false;  // temp exists already: nothing was written, try another name
  std::string failure;     // empty on success
};
// Creates temp (it must not exist), writes contents to it with target's
// mode and owner where target exists, flushes it to the disk and puts it
// in target's place in one step. On failure target is as it was and temp
// is gone. Only a file is replaced: a target that is a folder, a pipe or a
// device is refused before anything is written.
WriteOutcome writeInPlaceOf(const std::string& temp, const std::string& target, std::string_view contents);

// How reading a file went: the reason in words unless it was read.
struct ReadOutcome {
  enum Kind { kRead, kMissing, kNotAFile, kUnreadable, kStopped } kind = kRead;
  std::string failure;
};
// Reads the regular file a name stands for, its bytes handed to take as
// they come. What was opened is checked, not the name: a folder, a pipe or
// a device is refused before anything is read, and opening one does not
// wait. take returns false to stop reading (kStopped).
ReadOutcome readFile(const std::string& path, const std::function<bool(const char* bytes, size_t size)>& take);

// The characters that end a folder's name in a path.
extern const char kPathSeparators[];

// The longest name of a folder entry the file systems take, in bytes of UTF-8.
constexpr size_t kMaxNameBytes = 255;

}  // namespace sys
}  // namespace kvhost
