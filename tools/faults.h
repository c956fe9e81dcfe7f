// What ends kovahost on a fault, one implementation a system beside this
// file (faults_linux.cpp: signal handlers; faults_windows.cpp: the
// unhandled-exception filter).
#pragma once
#include <cstddef>

// Called once on a hardware fault outside the hub's guard, from a stack of
// its own, with the fault's kind ("signal", "exception") and code; once it
// returns the process ends as the fault ends it.
typedef void (*FaultReport)(const char* kind, unsigned long code);
void onProcessFault(FaultReport report);
// Writes to the standard error without allocating (safe inside the report).
void writeError(const char* bytes, size_t count);
