// Basic types of the host's programming interface.
#pragma once
#include <cstdint>

typedef wchar_t ACHAR;
#define ACRX_T(x) L##x

namespace Adesk {
typedef int8_t Int8;
typedef int16_t Int16;
typedef int32_t Int32;
typedef int64_t Int64;
typedef uint8_t UInt8;
typedef uint16_t UInt16;
typedef uint32_t UInt32;
typedef uint64_t UInt64;
typedef bool Boolean;
typedef intptr_t IntPtr;
typedef uintptr_t UIntPtr;
typedef intptr_t LongPtr;
typedef intptr_t IntDbId;
const Boolean kFalse = false;
const Boolean kTrue = true;
}  // namespace Adesk

// What the host library exports (its programming interface), and what every
// module exports of its own (its entry points). On Windows a client imports
// what the host exports, so that exported data is reached through the import table.
#if defined(_WIN32)
#ifdef KVHOST_BUILDING
#define ACHOST_API __declspec(dllexport)
#else
#define ACHOST_API __declspec(dllimport)
#endif
#define ACRX_MODULE_EXPORT __declspec(dllexport)
#else
#define ACHOST_API __attribute__((visibility("default")))
#define ACRX_MODULE_EXPORT __attribute__((visibility("default")))
#endif
