// The process's environment, as the modules kovahost loads read it, one
// implementation a system beside this file (environment_linux.cpp: setenv;
// environment_windows.cpp: _wputenv_s).
#pragma once
#include <string>

// Sets the variable, replacing what it held; false when the system refuses.
bool setEnvironmentVariable(const std::string& name, const std::string& value);
