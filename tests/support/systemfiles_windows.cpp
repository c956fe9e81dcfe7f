// Windows keeps who may do what to a file in access control lists, and a
// symbolic link needs a privilege; the save tests' own cases of these are
// Linux's.
#include <windows.h>
#include <filesystem>
#include "systemfiles.h"

namespace systemfiles {

const size_t kMaxPathBytes = MAX_PATH;
const char* const kFolderOfNoNewFiles = "";
const bool kModesOwnersLinksAndLimits = false;

bool makeFolder(const std::string& path, unsigned) { return std::filesystem::create_directory(path); }
bool setMode(const std::string&, unsigned) { return false; }
unsigned modeOf(const std::string&) { return 0; }
bool runningAsRoot() { return false; }
bool giveTo(const std::string&, unsigned) { return false; }
unsigned ownerOf(const std::string&) { return ~0u; }
bool makeLink(const std::string&, const std::string&) { return false; }
bool isLink(const std::string&) { return false; }

FileSizeLimit::FileSizeLimit(unsigned long) {}
FileSizeLimit::~FileSizeLimit() {}

}  // namespace systemfiles
