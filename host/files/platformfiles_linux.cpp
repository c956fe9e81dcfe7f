// The file system calls of saves and opens on Linux.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include "files/platformfiles.h"

namespace kvhost {
namespace sys {
namespace {

// A call interrupted by a signal before it did anything is made again.
template <typename Call>
auto retried(Call call) {
  decltype(call()) result;
  do result = call();
  while (result == -1 && errno == EINTR);
  return result;
}

// What errno means to someone saving a file.
std::string cause(int error) {
  switch (error) {
    case ENOSPC: return "the disk is full";
    case EDQUOT: return "the disk quota is exceeded";
    case EACCES:
    case EPERM: return "permission denied";
    case ENOENT: return "the folder does not exist";
    case ENOTDIR: return "a folder in the path is a file";
    case EROFS: return "the file system is read-only";
    case EFBIG: return "the file is larger than allowed";
    case ENAMETOOLONG: return "the name is too long";
    default: return std::strerror(error);
  }
}

// A descriptor closed when it goes, unless released.
class Descriptor {
 public:
  explicit Descriptor(int fd) : m_fd(fd) {}
  ~Descriptor() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return m_fd; }
  // Closes it now; false, with errno, when the close reports a failed write.
  bool close() {
    int fd = m_fd;
    m_fd = -1;
    // Linux releases the descriptor even when close is interrupted, so it is not retried.
    return ::close(fd) == 0 || errno == EINTR;
  }

 private:
  int m_fd;
};

std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool writeAll(int fd, std::string_view contents) {
  for (size_t done = 0; done < contents.size();) {
    ssize_t n = retried([&] { return ::write(fd, contents.data() + done, contents.size() - done); });
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// What a name stands for when it is no regular file, in words; null for a file.
const char* notAFile(mode_t mode) {
  if (S_ISREG(mode)) return nullptr;
  return S_ISDIR(mode)                       ? "it is a directory"
         : S_ISFIFO(mode) || S_ISSOCK(mode) ? "it is a pipe or a socket, not a file"
         : S_ISCHR(mode) || S_ISBLK(mode)   ? "it is a device, not a file"
                                            : "it is not a regular file";
}

}  // namespace

const char kPathSeparators[] = "/";

bool followLinks(const std::string& start, std::string& target) {
  constexpr int kMostLinks = 40;  // as many as the system follows in a path
  std::string path = start;
  for (int links = 0; links <= kMostLinks; ++links) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      target = path;
      return true;
    }
    std::string link(static_cast<size_t>(info.st_size) + PATH_MAX, '\0');
    ssize_t n = ::readlink(path.c_str(), &link[0], link.size());
    if (n <= 0) return false;
    link.resize(static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    path = link[0] == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
  }
  return false;
}

bool identify(const std::string& path, FileIdentity& identity) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return false;
  identity.volume = static_cast<uint64_t>(info.st_dev);
  identity.index = static_cast<uint64_t>(info.st_ino);
  return true;
}

std::vector<std::string> folderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir))
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
  ::closedir(dir);
  return names;
}

void removeFile(const std::string& path) { ::unlink(path.c_str()); }

unsigned long currentProcess() { return static_cast<unsigned long>(::getpid()); }

bool processRunning(unsigned long id) {
  return id <= static_cast<unsigned long>(INT_MAX) && (::kill(static_cast<pid_t>(id), 0) == 0 || errno != ESRCH);
}

ReadOutcome readFile(const std::string& path, const std::function<bool(const char* bytes, size_t size)>& take) {
  ReadOutcome outcome;
  Descriptor fd(retried([&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }));
  struct stat info;
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
    const bool missing = errno == ENOENT || errno == ENOTDIR;
    outcome.kind = missing ? ReadOutcome::kMissing : ReadOutcome::kUnreadable;
    outcome.failure = missing ? "there is no such file" : cause(errno);
    return outcome;
  }
  if (const char* kind = notAFile(info.st_mode)) {
    outcome.kind = ReadOutcome::kNotAFile;
    outcome.failure = kind;
    return outcome;
  }
  // A regular file's reads never wait; without the flag none ends in EAGAIN.
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = retried([&] { return ::read(fd.get(), buffer.data(), buffer.size()); });
    if (n < 0) {
      outcome.kind = ReadOutcome::kUnreadable;
      outcome.failure = "reading it failed: " + cause(errno);
      return outcome;
    }
    if (n == 0) return outcome;
    if (!take(buffer.data(), static_cast<size_t>(n))) {
      outcome.kind = ReadOutcome::kStopped;
      return outcome;
    }
  }
}

WriteOutcome writeInPlaceOf(const std::string& temp, const std::string& target, std::string_view contents) {
  WriteOutcome outcome;
  struct stat old;
  const bool replacing = ::stat(target.c_str(), &old) == 0;
  if (const char* kind = replacing ? notAFile(old.st_mode) : nullptr) {
    outcome.failure = kind;
    return outcome;
  }
  Descriptor fd(retried([&] { return ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); }));
  if (fd.get() < 0) {
    const int error = errno;
    outcome.nameTaken = error == EEXIST;
    // Some file systems (/proc, /sys) have the folder but refuse new names in it.
    struct stat folder;
    const bool folderThere = error == ENOENT && ::stat(folderOf(temp).c_str(), &folder) == 0 && S_ISDIR(folder.st_mode);
    outcome.failure = folderThere ? "the folder takes no new files" : cause(error);
    return outcome;
  }
  bool written = true;
  if (replacing) {
    // The owner where this process may give it, else the group at least;
    // where neither is allowed the file becomes this user's, as with any editor.
    bool owned = ::fchown(fd.get(), old.st_uid, old.st_gid) == 0 ||
                 ::fchown(fd.get(), static_cast<uid_t>(-1), old.st_gid) == 0;
    static_cast<void>(owned);
    written = ::fchmod(fd.get(), old.st_mode & 07777) == 0;
  }
  written = written && writeAll(fd.get(), contents) && retried([&] { return ::fsync(fd.get()); }) == 0 &&
            fd.close() && retried([&] { return ::rename(temp.c_str(), target.c_str()); }) == 0;
  if (written) {
    // The new name lasts only once the folder's entry is on the disk too.
    Descriptor folder(retried([&] { return ::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (folder.get() >= 0) retried([&] { return ::fsync(folder.get()); });
    return outcome;
  }
  outcome.failure = cause(errno);
  ::unlink(temp.c_str());
  return outcome;
}

}  // namespace sys
}  // namespace kvhost
