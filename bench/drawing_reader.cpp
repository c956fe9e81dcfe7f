// Reads one drawing file with one reader and prints how many lines it
// found, then its peak resident size in kB, so that the drawing benchmark
// can take the memory a reader needs from a process that ran it alone.
//   kova_drawing_reader standin|dxflib FILE
#include <dxflib/dl_creationadapter.h>
#include <dxflib/dl_dxf.h>
#include <kvhost.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

class LineCount : public DL_CreationAdapter {
 public:
  long lines = 0;
  void addLine(const DL_LineData&) override { ++lines; }
};

// The benchmark's files have plain ASCII names.
std::wstring wide(const char* s) { return std::wstring(s, s + std::strlen(s)); }

long standinLines(const char* file) {
  AcApDocument* doc = kvhost::openDocument(wide(file));
  return doc == nullptr ? -1 : static_cast<long>(kvhost::entities(doc).length());
}

long dxflibLines(const char* file) {
  LineCount count;
  DL_Dxf dxf;
  return dxf.in(file, &count) ? count.lines : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: kova_drawing_reader standin|dxflib FILE\n");
    return 2;
  }
  const long lines = std::strcmp(argv[1], "dxflib") == 0 ? dxflibLines(argv[2]) : standinLines(argv[2]);
  if (lines < 0) {
    std::fprintf(stderr, "%s cannot read %s\n", argv[1], argv[2]);
    return 1;
  }
  std::printf("%ld\n", lines);
  char line[256];
  FILE* status = std::fopen("/proc/self/status", "r");
  while (status && std::fgets(line, sizeof line, status))
    if (std::strncmp(line, "VmHWM:", 6) == 0) std::printf("%ld\n", std::atol(line + 6));
  if (status) std::fclose(status);
  return 0;
}
