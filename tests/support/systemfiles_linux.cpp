#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <climits>
#include <csignal>
#include "systemfiles.h"

namespace systemfiles {

const size_t kMaxPathBytes = PATH_MAX;
const char* const kFolderOfNoNewFiles = "/proc";
const bool kModesOwnersLinksAndLimits = true;

bool makeFolder(const std::string& path, unsigned mode) { return mkdir(path.c_str(), mode) == 0; }
bool setMode(const std::string& path, unsigned mode) { return chmod(path.c_str(), mode) == 0; }
unsigned modeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}
bool runningAsRoot() { return geteuid() == 0; }
bool giveTo(const std::string& path, unsigned user) { return chown(path.c_str(), user, user) == 0; }
unsigned ownerOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_uid : ~0u;
}
bool makeLink(const std::string& target, const std::string& link) { return symlink(target.c_str(), link.c_str()) == 0; }
bool isLink(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

FileSizeLimit::FileSizeLimit(unsigned long bytes) : m_signal(std::signal(SIGXFSZ, SIG_IGN)) {
  rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  m_soft = old.rlim_cur, m_hard = old.rlim_max;
  rlimit small = {bytes, old.rlim_max};
  setrlimit(RLIMIT_FSIZE, &small);
}
FileSizeLimit::~FileSizeLimit() {
  rlimit old = {static_cast<rlim_t>(m_soft), static_cast<rlim_t>(m_hard)};
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, m_signal);
}

}  // namespace systemfiles
