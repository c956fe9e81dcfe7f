// Reads one drawing file with one reader and prints how many lines it
// found, then its peak resident size in kB, so that the drawing benchmark
// can take the memory a reader needs from a process that ran it alone.
//   kova_drawing_reader standin|dxflib FILE
#include <kvhost.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include "dxflibcount.h"

namespace {

long standinLines(const char* file) {
  AcApDocument* doc = kvhost::openDocument(kvhost::fromUtf8(file));
  return doc == nullptr ? -1 : static_cast<long>(kvhost::entities(doc).length());
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
