// New folders for a session's files, in the system's folder for temporary
// files; one implementation a system (host/common/tempfolder_linux.cpp,
// tempfolder_windows.cpp).
#pragma once
#include <string>
#include "adesk.h"

namespace kvhost {

// Creates a new empty folder whose name begins with prefix, that only this
// user may enter; its path in UTF-8, or empty when none can be made.
ACHOST_API std::string makeTemporaryFolder(const std::string& prefix);

}  // namespace kvhost
