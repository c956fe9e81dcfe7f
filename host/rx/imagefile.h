// Reading a module file's headers and tables: every range read is checked
// against the file's size first, so that a file cut short or damaged is
// refused instead of being handed to the system's loader.
#pragma once
#include <cstdint>
#include <fstream>
#include <string>

namespace kvhost {

class ImageFile {
 public:
  // A path in UTF-8; an image of size 0 when it is not a regular file.
  explicit ImageFile(const std::string& path);
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  bool contains(uint64_t offset, uint64_t length) const { return offset <= m_size && length <= m_size - offset; }
  // False when any of the range lies outside the file.
  bool read(uint64_t offset, void* out, uint64_t length);
  // Whether a table of count entries of entrySize at offset lies within the file.
  bool table(uint64_t offset, uint64_t count, uint64_t entrySize) const {
    return entrySize == 0 || count <= m_size / entrySize ? contains(offset, count * entrySize) : false;
  }

 private:
  std::ifstream m_in;
  uint64_t m_size = 0;
};

// The start of every refusal of a file cut short or damaged.
extern const wchar_t kDamagedImage[];
// Sets why to the reason and answers false.
bool refuseImage(std::wstring& why, const std::wstring& reason);

}  // namespace kvhost
