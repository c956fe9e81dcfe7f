#include <sys/stat.h>
#include "pathkind.h"

PathKind pathKind(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return PathKind::missing;
  return S_ISREG(info.st_mode) ? PathKind::regularFile : S_ISDIR(info.st_mode) ? PathKind::directory : PathKind::other;
}
