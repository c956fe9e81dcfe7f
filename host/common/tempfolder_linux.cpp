// New temporary folders on Linux.
#include <stdlib.h>
#include <filesystem>
#include "kvtempfolder.h"

namespace kvhost {

std::string makeTemporaryFolder(const std::string& prefix) {
  std::error_code error;
  std::string pattern = (std::filesystem::temp_directory_path(error) / (prefix + ".XXXXXX")).string();
  return !error && mkdtemp(&pattern[0]) != nullptr ? pattern : std::string();
}

}  // namespace kvhost
