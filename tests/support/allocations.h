// Counts the heap traffic of a stretch of work and sees one block freed.
// Include it in exactly one file of a test program: it replaces the global
// operator new and delete, for the host and the modules as well.
#pragma once
#include <cstdlib>
#include <new>

namespace allocations {
inline long g_count = 0;  // allocations and frees while counting
inline bool g_counting = false;
inline const void* g_watched = nullptr;
inline bool g_watchedFreed = false;

inline void* allocate(std::size_t n) {
  if (g_counting) ++g_count;
  return std::malloc(n ? n : 1);
}
inline void release(void* p) {
  if (p == nullptr) return;
  if (g_counting) ++g_count;
  if (p == g_watched) g_watchedFreed = true;
  std::free(p);
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

void* operator new(std::size_t n) {
  if (void* p = allocations::allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocations::allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocations::allocate(n); }
void operator delete(void* p) noexcept { allocations::release(p); }
void operator delete[](void* p) noexcept { allocations::release(p); }
void operator delete(void* p, std::size_t) noexcept { allocations::release(p); }
void operator delete[](void* p, std::size_t) noexcept { allocations::release(p); }
