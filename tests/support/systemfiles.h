// What the save tests set up around a file with the system's own means:
// modes, owners, symbolic links, a limit on the size of files. One
// implementation a system beside this file: systemfiles_linux.cpp (chmod,
// chown, symlink, setrlimit); systemfiles_windows.cpp has none of them, and
// the tests that need them say so.
#pragma once
#include <cstddef>
#include <string>

namespace systemfiles {

// The longest path the system's calls take (on Windows, without the long-path prefix).
extern const size_t kMaxPathBytes;

// A folder that exists but takes no new files, whatever the user ("/proc"); none on Windows.
extern const char* const kFolderOfNoNewFiles;

// Whether the system has them; when not, the calls below fail (a folder is
// made, but its mode is not the one given).
extern const bool kModesOwnersLinksAndLimits;

bool makeFolder(const std::string& path, unsigned mode);
bool setMode(const std::string& path, unsigned mode);
unsigned modeOf(const std::string& path);  // its permission bits
bool runningAsRoot();  // root may give a file away and writes into any folder
bool giveTo(const std::string& path, unsigned user);  // to the user and the group of the same number
unsigned ownerOf(const std::string& path);
bool makeLink(const std::string& target, const std::string& link);
bool isLink(const std::string& path);

// While it lives, files may grow no larger than the bytes given: writes fail half-way.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(unsigned long bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  unsigned long long m_soft = 0, m_hard = 0;  // the limits before
  void (*m_signal)(int) = nullptr;            // what a write beyond them raised before
};

}  // namespace systemfiles
