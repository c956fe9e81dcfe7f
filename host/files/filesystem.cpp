// Drawing files on disk, read as their bytes come (savefile.cpp writes them).
#include <cstdint>
#include <filesystem>
#include <system_error>
#include "files/fileinternal.h"
#include "files/platformfiles.h"
#include "kvhost.h"

namespace kvhost {
namespace {

std::wstring g_lastOpenError;

}  // namespace

void setOpenError(const std::string& why) { g_lastOpenError = fromUtf8(why); }
std::wstring lastOpenError() { return g_lastOpenError; }

Acad::ErrorStatus readFile(const std::wstring& fileName, const std::function<Acad::ErrorStatus(const char*, size_t)>& take) {
  g_lastOpenError.clear();
  Acad::ErrorStatus taken = Acad::eOk;
  const sys::ReadOutcome outcome = sys::readFile(toUtf8(fileName), [&](const char* bytes, size_t size) {
    return (taken = take(bytes, size)) == Acad::eOk;
  });
  if (outcome.kind == sys::ReadOutcome::kStopped) return taken;
  if (outcome.kind == sys::ReadOutcome::kRead) return Acad::eOk;
  setOpenError(outcome.failure);
  return outcome.kind == sys::ReadOutcome::kUnreadable ? Acad::eFileAccessErr : Acad::eFileNotFound;
}

Acad::ErrorStatus readFile(const std::wstring& fileName, std::string& contents) {
  contents.clear();
  // Room for the file at once, as its size is now, so that its bytes are
  // copied once; a file that changes meanwhile is read whole all the same.
  std::error_code unknown;
  const std::uintmax_t size = std::filesystem::file_size(std::filesystem::path(fileName), unknown);
  if (!unknown && size < contents.max_size()) contents.reserve(static_cast<size_t>(size));
  return readFile(fileName, [&](const char* bytes, size_t size) {
    contents.append(bytes, size);
    return Acad::eOk;
  });
}

}  // namespace kvhost
