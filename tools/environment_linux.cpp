// The environment on Linux.
#include <cstdlib>
#include "environment.h"

bool setEnvironmentVariable(const std::string& name, const std::string& value) {
  return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}
