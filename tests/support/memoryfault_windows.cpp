#include <windows.h>
#include "memoryfault.h"

void makeMemoryFault() { RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr); }
