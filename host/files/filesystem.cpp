// Drawing files on disk, read whole (savefile.cpp writes them).
#include <filesystem>
#include <fstream>
#include <iterator>
#include "files/fileinternal.h"
#include "kvhost.h"

namespace kvhost {

// By the name's own characters on every system: a narrow name would be read
// in the ANSI code page on Windows, where no other name than ASCII opens.
Acad::ErrorStatus readFile(const std::wstring& fileName, std::string& contents) {
  const std::filesystem::path path = std::filesystem::u8path(toUtf8(fileName));
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return Acad::eFileNotFound;
  std::ifstream in(path, std::ios::binary);
  if (!in) return Acad::eFileNotFound;
  contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.bad() ? Acad::eFileAccessErr : Acad::eOk;
}

}  // namespace kvhost
