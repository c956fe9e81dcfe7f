// What the dynamic linker reads of a module file before it maps it.
#pragma once
#include <string>
#include <vector>

namespace kvhost {

class ImageFile;

// A module file checked as a whole: a 64-bit shared object of the system
// (ELF on Linux, a PE DLL on Windows) whose headers and the parts the
// loader maps all lie within the file (the system loader would fault on a
// file cut short), and the names of the libraries it needs.
class ModuleImage {
 public:
  // False, with the reason in why, when the file is not such an image.
  bool read(const std::string& path, std::wstring& why);
  // The name other modules record when they link this one (path in UTF-8).
  const std::string& soname() const { return m_soname; }
  const std::vector<std::string>& needed() const { return m_needed; }

 private:
  // The system's own check and reading (moduleimage_linux.cpp, moduleimage_windows.cpp).
  bool readFrom(ImageFile& file, std::wstring& why);

  std::string m_soname;
  std::vector<std::string> m_needed;
};

}  // namespace kvhost
