// The environment on Windows: the C runtime's copy, which the modules'
// getenv reads, and the process's own, which the system's calls read.
#include <windows.h>
#include <cstdlib>
#include <kvhost.h>
#include "environment.h"

bool setEnvironmentVariable(const std::string& name, const std::string& value) {
  const std::wstring wideName = kvhost::fromUtf8(name), wideValue = kvhost::fromUtf8(value);
  return _wputenv_s(wideName.c_str(), wideValue.c_str()) == 0 &&
         SetEnvironmentVariableW(wideName.c_str(), wideValue.c_str()) != 0;
}
