// Text as a JSON string.
#include "json.h"
#include <kvhost.h>
#include <cstdio>

std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (char c : kvhost::toUtf8(kvhost::fromUtf8(s))) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}
