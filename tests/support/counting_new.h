// Counts every allocation of a test program: replaces the global operator new and delete.
// Include it in exactly one source file of the program, and read AllocationCount() around the
// code that must not allocate.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace verbat::test {
inline std::atomic<long> allocation_count{0};
inline long AllocationCount() { return allocation_count.load(std::memory_order_relaxed); }
}  // namespace verbat::test

void* operator new(std::size_t size) {
  verbat::test::allocation_count.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
