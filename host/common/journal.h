// Journal lines written the way the host's subsystems write them.
#pragma once
#include "kvhost.h"

namespace kvhost {

// A journal line from a printf format (at most 1023 characters).
void journalf(const wchar_t* format, ...);

}  // namespace kvhost
