// Reading module files for their checks, the same on every system.
#include <filesystem>
#include "rx/imagefile.h"
#include "rx/moduleimage.h"

namespace kvhost {

ImageFile::ImageFile(const std::string& path) {
  const std::filesystem::path name = std::filesystem::u8path(path);
  std::error_code error;
  if (!std::filesystem::is_regular_file(name, error)) return;
  m_in.open(name, std::ios::binary);
  const uintmax_t size = std::filesystem::file_size(name, error);
  if (m_in && !error) m_size = static_cast<uint64_t>(size);
}

bool ImageFile::read(uint64_t offset, void* out, uint64_t length) {
  if (!contains(offset, length)) return false;
  m_in.clear();
  m_in.seekg(static_cast<std::streamoff>(offset));
  return m_in.read(static_cast<char*>(out), static_cast<std::streamsize>(length)).gcount() ==
         static_cast<std::streamsize>(length);
}

bool ModuleImage::read(const std::string& path, std::wstring& why) {
  m_soname.clear();
  m_needed.clear();
  ImageFile file(path);
  return readFrom(file, why);
}

const wchar_t kDamagedImage[] = L"the file is truncated or damaged: ";

bool refuseImage(std::wstring& why, const std::wstring& reason) {
  why = reason;
  return false;
}

}  // namespace kvhost
