// The drawing files' own internals: reading a whole file and replacing one
// safely, shared by the binary and the DXF form.
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include "acadstrc.h"

namespace kvhost {

// Writes a file by writing a temporary file beside it and renaming it, so
// that a failed write leaves what was there before; lastSaveError says why
// a save failed.
Acad::ErrorStatus replaceFile(const std::wstring& fileName, std::string_view contents);
// Reads a regular file, its bytes handed to take as they come: take
// returns eOk to go on, or the status the read ends with (having said why
// with setOpenError). eFileNotFound for a missing file and for what is no
// regular file (a directory, a pipe, a device), eFileAccessErr when the file
// cannot be read; lastOpenError says which.
Acad::ErrorStatus readFile(const std::wstring& fileName, const std::function<Acad::ErrorStatus(const char*, size_t)>& take);
// The same, the file kept whole.
Acad::ErrorStatus readFile(const std::wstring& fileName, std::string& contents);
void setOpenError(const std::string& why);

}  // namespace kvhost
