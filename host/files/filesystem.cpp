// Drawing files on disk: read whole, and replaced only by a complete new
// file written beside the old one, through links, keeping its mode.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <fstream>
#include <iterator>
#include <vector>
#include "files/fileinternal.h"
#include "kvhost.h"

namespace {

// The file a name stands for: a save through a symbolic link replaces the
// file the link points at and leaves the link as it is. False for a loop.
bool followLinks(std::string path, std::string& target) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      target = path;
      return true;
    }
    std::vector<char> buf(static_cast<size_t>(info.st_size) + PATH_MAX);
    ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n <= 0) return false;
    std::string link(buf.data(), static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    path = link[0] == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
  }
  return false;
}

// A new file written beside the one it replaces, with the old file's mode
// and owner, that takes its place only once it is complete. Until then the
// old file stays as it was; a replacement that does not take it is removed.
class Replacement {
 public:
  explicit Replacement(const std::string& target) : m_target(target) {
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
      m_path = target + ".kvsave" + std::to_string(getpid()) + "." + std::to_string(++counter);
      m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (m_fd < 0 && errno != EEXIST) break;
    }
  }
  ~Replacement() {
    if (m_fd < 0) return;
    ::close(m_fd);
    ::unlink(m_path.c_str());
  }
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;

  bool write(const std::string& contents) {
    if (m_fd < 0) return false;
    struct stat old;
    if (::stat(m_target.c_str(), &old) == 0) {
      // The owner where this process may give it, else the group at least;
      // where neither is allowed the file becomes this user's, as with any editor.
      bool owned = ::fchown(m_fd, old.st_uid, old.st_gid) == 0 ||
                   ::fchown(m_fd, static_cast<uid_t>(-1), old.st_gid) == 0;
      static_cast<void>(owned);
      if (::fchmod(m_fd, old.st_mode & 07777) != 0) return false;
    }
    for (size_t done = 0; done < contents.size();) {
      ssize_t n = ::write(m_fd, contents.data() + done, contents.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return ::fsync(m_fd) == 0;
  }
  bool commit() {
    int fd = m_fd;
    if (fd < 0) return false;
    m_fd = -1;
    if (::close(fd) == 0 && ::rename(m_path.c_str(), m_target.c_str()) == 0) return true;
    ::unlink(m_path.c_str());
    return false;
  }

 private:
  std::string m_target, m_path;
  int m_fd = -1;
};

}  // namespace

namespace kvhost {

Acad::ErrorStatus replaceFile(const std::wstring& fileName, const std::string& contents) {
  std::string target;
  if (!followLinks(toUtf8(fileName), target)) return Acad::eFileAccessErr;
  Replacement replacement(target);
  return replacement.write(contents) && replacement.commit() ? Acad::eOk : Acad::eFileAccessErr;
}

Acad::ErrorStatus readFile(const std::wstring& fileName, std::string& contents) {
  struct stat info;
  const std::string path = toUtf8(fileName);
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return Acad::eFileNotFound;
  std::ifstream in(path, std::ios::binary);
  if (!in) return Acad::eFileNotFound;
  contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.bad() ? Acad::eFileAccessErr : Acad::eOk;
}

}  // namespace kvhost
