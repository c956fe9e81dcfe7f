// Saving a drawing file: a complete new file written beside the target
// takes its place in one step, so that a failed or killed save leaves what
// was there before. A save killed half-way leaves its temporary file under
// a name the next save of the same target recognises and removes.
#include <cstdio>
#include "common/journal.h"
#include "database/dbinternal.h"
#include "files/dxf.h"
#include "files/fileinternal.h"
#include "files/platformfiles.h"
#include "kvhost.h"

namespace kvhost {
namespace {

const char kTempMark[] = ".kvsave";
// ".kvsave", a process id and "." with a counter, each of up to 10 digits.
const size_t kTempSuffixBytes = sizeof kTempMark - 1 + 10 + 1 + 10;
const size_t kHashBytes = 1 + 8;

std::wstring g_lastSaveError;

// The leading bytes of a UTF-8 name, at most count of them, cut between characters.
std::string leadingCharacters(const std::string& name, size_t count) {
  while (count > 0 && (static_cast<unsigned char>(name[count]) & 0xC0) == 0x80) --count;
  return name.substr(0, count);
}

// What all temporary files of saves to a file of this name begin with: the
// name itself or, where the name leaves no room for the rest within the
// file system's limit, its first part and a hash of the whole.
std::string tempStem(const std::string& name) {
  if (name.size() + kTempSuffixBytes <= sys::kMaxNameBytes) return name + kTempMark;
  uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 16777619u;
  char hex[kHashBytes + 1];
  std::snprintf(hex, sizeof hex, "~%08x", static_cast<unsigned>(hash));
  return leadingCharacters(name, sys::kMaxNameBytes - kTempSuffixBytes - kHashBytes) + hex + kTempMark;
}

// The id of the process that wrote a temporary file of stem, or 0 when the
// entry is not one ("<stem><process>.<counter>").
unsigned long writerOf(const std::string& entry, const std::string& stem) {
  if (entry.compare(0, stem.size(), stem) != 0) return 0;
  unsigned long id = 0;
  size_t i = stem.size();
  for (; i < entry.size() && entry[i] >= '0' && entry[i] <= '9' && id < 0xFFFFFFFFul; ++i) id = id * 10 + (entry[i] - '0');
  if (i == stem.size() || i >= entry.size() || entry[i] != '.') return 0;
  for (++i; i < entry.size(); ++i)
    if (entry[i] < '0' || entry[i] > '9') return 0;
  return id;
}

// Removes the temporary files that saves to the same target left when
// their processes were killed.
void removeLeftovers(const std::string& folder, const std::string& stem) {
  for (const std::string& entry : sys::folderEntries(folder)) {
    unsigned long writer = writerOf(entry, stem);
    if (writer != 0 && !sys::processRunning(writer)) {
      journalf(L"save: removing %ls, left by a save that did not finish", fromUtf8(entry).c_str());
      sys::removeFile(folder + "/" + entry);
    }
  }
}

Acad::ErrorStatus failed(const std::string& target, const std::string& why) {
  g_lastSaveError = fromUtf8(why);
  journalf(L"save: cannot replace %ls: %ls", fromUtf8(target).c_str(), g_lastSaveError.c_str());
  return Acad::eFileAccessErr;
}

}  // namespace

Acad::ErrorStatus replaceFile(const std::wstring& fileName, std::string_view contents) {
  g_lastSaveError.clear();
  std::string target;
  if (!sys::followLinks(toUtf8(fileName), target)) return failed(toUtf8(fileName), "its symbolic links form a loop");
  const size_t slash = target.find_last_of(sys::kPathSeparators);
  const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
  const std::string stem = tempStem(slash == std::string::npos ? target : target.substr(slash + 1));
  removeLeftovers(folder, stem);
  static unsigned counter = 0;
  const std::string process = std::to_string(sys::currentProcess()) + ".";
  sys::WriteOutcome outcome;
  for (int attempt = 0; attempt < 100; ++attempt) {
    outcome = sys::writeInPlaceOf(folder + "/" + stem + process + std::to_string(++counter), target, contents);
    if (!outcome.nameTaken) break;
  }
  return outcome.failure.empty() ? Acad::eOk : failed(target, outcome.failure);
}

std::wstring lastSaveError() { return g_lastSaveError; }

void clearSaveError() { g_lastSaveError.clear(); }

Acad::ErrorStatus refuseSave(const std::wstring& why, Acad::ErrorStatus es) {
  g_lastSaveError = why;
  journalf(L"save refused: %ls", why.c_str());
  return es;
}

Acad::ErrorStatus refuseUnwritable(const AcDbObject* object, Acad::ErrorStatus es) {
  return refuseSave(L"the " + recordName(object) + L" cannot be written (" + std::to_wstring(static_cast<int>(es)) +
                        L") and would be lost",
                    es);
}

Acad::ErrorStatus checkRootDictionary(AcDbDatabase* db) {
  const AcDbObjectId nod = db->namedObjectsDictionaryId();
  if (!nod.isNull() && nod.stub()->object != nullptr && !nod.isErased()) return Acad::eOk;
  return refuseSave(L"the named object dictionary is erased, and a file without it could not be opened again",
                    Acad::eNoDatabase);
}

}  // namespace kvhost
