// The drawing files' own internals: reading a whole file and replacing one
// safely, shared by the binary and the DXF form.
#pragma once
#include <string>
#include "acadstrc.h"

namespace kvhost {

// Writes a file by writing a temporary file beside it and renaming it, so
// that a failed write leaves what was there before; lastSaveError says why
// a save failed.
Acad::ErrorStatus replaceFile(const std::wstring& fileName, const std::string& contents);
// Reads a whole regular file: eFileNotFound for anything else (a missing
// file, a directory), eFileAccessErr when reading fails.
Acad::ErrorStatus readFile(const std::wstring& fileName, std::string& contents);

}  // namespace kvhost
