// What a path names, looked at without opening it for reading (opening a
// FIFO would wait for a writer), one implementation a system beside this file
// (pathkind_linux.cpp: stat; pathkind_windows.cpp: the file's attributes and
// type, which tell a device such as NUL from a file).
#pragma once
#include <string>

enum class PathKind { missing, regularFile, directory, other };

PathKind pathKind(const std::string& path);
