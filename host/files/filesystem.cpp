// Drawing files on disk, read whole (savefile.cpp writes them).
#include <sys/stat.h>
#include <fstream>
#include <iterator>
#include "files/fileinternal.h"
#include "kvhost.h"

namespace kvhost {

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
