// The process's arguments, environment and files on Windows, whose names are
// UTF-16. The environment has two copies: the C runtime's, which the
// modules' getenv reads, and the process's own, which the system's calls read.
#include <windows.h>
#include <shellapi.h>
#include <cstdlib>
#include <kvhost.h>
#include "environment.h"

std::vector<std::string> programArguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(kvhost::toUtf8(wide[i]));
  LocalFree(wide);
  return arguments;
}

bool setEnvironmentVariable(const std::string& name, const std::string& value) {
  const std::wstring wideName = kvhost::fromUtf8(name), wideValue = kvhost::fromUtf8(value);
  return _wputenv_s(wideName.c_str(), wideValue.c_str()) == 0 &&
         SetEnvironmentVariableW(wideName.c_str(), wideValue.c_str()) != 0;
}

std::FILE* openForWriting(const std::string& path) { return _wfopen(kvhost::fromUtf8(path).c_str(), L"w"); }
