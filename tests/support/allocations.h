// Counts the heap traffic of a stretch of work and sees one block freed, in
// the test program and in the libraries and modules it was linked with. One
// implementation a system beside this file: allocations_linux.cpp replaces
// the global operator new and delete, which the dynamic linker binds for
// every library too; allocations_windows.cpp, where each DLL calls the C++
// runtime DLL's own operator new, counts the C runtime's heap calls of the
// program's DLLs and of that runtime.
#pragma once

namespace allocations {
inline long g_count = 0;  // allocations and frees while counting
inline bool g_counting = false;
inline const void* g_watched = nullptr;
inline bool g_watchedFreed = false;

inline void noteAllocation() {
  if (g_counting) ++g_count;
}
inline void noteRelease(const void* p) {
  if (g_counting) ++g_count;
  if (p == g_watched) g_watchedFreed = true;
}
// What work allocates and frees.
template <class Work>
long count(Work&& work) {
  g_count = 0;
  g_counting = true;
  work();
  g_counting = false;
  return g_count;
}
}  // namespace allocations
