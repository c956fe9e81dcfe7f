// Scratch files for tests: names under the test temp folder, whole-file read and write.
#pragma once
#include <unistd.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace testfiles {

// Drawing names here are ASCII; the host takes wide names, the streams narrow ones.
inline std::string narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }
inline std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Named by process as well: tests that run side by side use names of their own, and
// another run of the same suite may be using the same names at the same time.
inline std::wstring tempPath(const std::wstring& name) {
  return (std::filesystem::temp_directory_path() / (std::to_wstring(getpid()) + L"-" + name)).wstring();
}

// A new folder under the test temp folder, which only this user enters.
inline std::string newFolder(const std::string& prefix) {
  for (int n = 0;; ++n) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / (prefix + "." + std::to_string(getpid()) + "." + std::to_string(n));
    if (!std::filesystem::create_directory(dir)) continue;
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
    return dir.string();
  }
}

// A new folder, removed with all in it when this goes.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& prefix) : m_path(newFolder(prefix)) {}
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return m_path; }

 private:
  const std::string m_path;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
inline std::string readFile(const std::wstring& path) { return readFile(narrow(path)); }

inline bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}
inline bool writeFile(const std::wstring& path, const std::string& bytes) { return writeFile(narrow(path), bytes); }

inline void removeFile(const std::wstring& path) { std::remove(narrow(path).c_str()); }

}  // namespace testfiles
