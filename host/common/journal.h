// Journal lines written the way the host's subsystems write them.
#pragma once
#include <cstdarg>
#include "kvhost.h"

namespace kvhost {

// A line from a printf format and its arguments (at most 1023 characters).
std::wstring formatLine(const wchar_t* format, va_list args);

// A journal line from a printf format.
void journalf(const wchar_t* format, ...);

}  // namespace kvhost
