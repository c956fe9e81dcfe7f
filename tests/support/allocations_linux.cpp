// The counts on Linux: the program's operator new and delete replace the C++
// runtime's for the libraries and modules as well.
#include <cstdlib>
#include <new>
#include "allocations.h"

namespace {
void* allocate(std::size_t n) {
  allocations::noteAllocation();
  return std::malloc(n ? n : 1);
}
void release(void* p) {
  if (p == nullptr) return;
  allocations::noteRelease(p);
  std::free(p);
}
}  // namespace

void* operator new(std::size_t n) {
  if (void* p = allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
