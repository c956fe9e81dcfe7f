// What kovahost takes from the process and the system by name: its
// arguments, its environment and the files it writes itself, one
// implementation a system beside this file (environment_linux.cpp,
// environment_windows.cpp). Names and values are UTF-8 on both.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

// The program's arguments, its own name first. On Windows they are read from
// the wide command line: argv holds them in the ANSI code page, which cannot
// hold every name.
std::vector<std::string> programArguments(int argc, char** argv);
// Sets the variable, replacing what it held; false when the system refuses.
bool setEnvironmentVariable(const std::string& name, const std::string& value);
// Opens the file for writing text (as fopen's "w"); null when it cannot.
std::FILE* openForWriting(const std::string& path);
