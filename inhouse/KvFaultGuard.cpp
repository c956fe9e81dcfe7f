// The crash report both systems' fault handlers write.
#include "KvFaultGuard.h"
#include <cstring>

namespace KvFaultGuard {
namespace {

void writeText(const char* text) { writeDiagnostic(text, std::strlen(text)); }

// ASCII of a wide string; anything else shows as '?'.
void writeWide(const wchar_t* text) {
  char buffer[256];
  size_t n = 0;
  for (; text && *text && n < sizeof buffer; ++text) buffer[n++] = *text < 128 ? static_cast<char>(*text) : '?';
  writeDiagnostic(buffer, n);
}

void writeNumber(unsigned long value, unsigned base) {
  char digits[24];
  size_t n = sizeof digits;
  do digits[--n] = "0123456789ABCDEF"[value % base];
  while ((value /= base) != 0 && n > 0);
  writeDiagnostic(digits + n, sizeof digits - n);
}

}  // namespace

void reportGuardedFault(const char* kind, unsigned long code, const KvGuardFrame& frame) {
  writeText("KOVA crash: ");
  writeText(kind);
  writeText(" ");
  // Signals read best in decimal, exception codes in hexadecimal.
  if (code > 0xFFFF) writeText("0x");
  writeNumber(code, code > 0xFFFF ? 16 : 10);
  writeText(" in ");
  writeWide(frame.label);
  writeText(" (");
  writeWide(frame.sourceFile);
  writeText(":");
  writeNumber(frame.line < 0 ? 0ul : static_cast<unsigned long>(frame.line), 10);
  writeText(")\n");
}

}  // namespace KvFaultGuard
