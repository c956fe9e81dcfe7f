// The process's arguments, environment and files on Linux, whose names are bytes.
#include <cstdlib>
#include "environment.h"

std::vector<std::string> programArguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

bool setEnvironmentVariable(const std::string& name, const std::string& value) {
  return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

std::FILE* openForWriting(const std::string& path) { return std::fopen(path.c_str(), "w"); }
