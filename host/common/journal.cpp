// The host's journal: a line for everything it does that a reader may check.
#include "common/journal.h"
#include <cstdarg>
#include <cwchar>

namespace kvhost {
namespace {

struct Journal {
  std::vector<std::wstring> lines;
  std::function<void(const std::wstring&)> listener;
};

Journal& theJournal() {
  static auto* j = new Journal;
  return *j;
}

}  // namespace

const std::vector<std::wstring>& journal() { return theJournal().lines; }
void clearJournal() { theJournal().lines.clear(); }
void writeJournal(const std::wstring& line) {
  Journal& j = theJournal();
  j.lines.push_back(line);
  if (j.listener) j.listener(line);
}
void setJournalListener(std::function<void(const std::wstring&)> listener) { theJournal().listener = std::move(listener); }

std::wstring formatLine(const wchar_t* format, va_list args) {
  wchar_t line[1024];
  vswprintf(line, sizeof line / sizeof line[0], format, args);
  return line;
}

void journalf(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring line = formatLine(format, args);
  va_end(args);
  writeJournal(line);
}

}  // namespace kvhost
