// The crash guard's system side: each system catches hardware faults its
// own way (KvFaultGuard_linux.cpp: signal handlers on an alternate stack;
// KvFaultGuard_windows.cpp: a vectored exception handler), and both report
// a fault inside a guarded call the same way.
#pragma once
#include <cstddef>
#include "KvTrace.h"

namespace KvFaultGuard {

// Writes "KOVA crash: <kind> <code> in <label> (<file>:<line>)" to the
// standard error. Allocates nothing: it runs inside a fault handler.
void reportGuardedFault(const char* kind, unsigned long code, const KvGuardFrame& frame);

// Writes bytes to the standard error without allocating (system side).
void writeDiagnostic(const char* bytes, size_t count);

}  // namespace KvFaultGuard
