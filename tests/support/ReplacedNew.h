// Replaces the global allocation functions of a test executable with the
// test's own allocate and release (for counting or measuring the heap).
// Expand KIVRA_REPLACE_GLOBAL_NEW once, in one source file of the executable,
// at namespace scope; allocate(size) returns null on failure.
#pragma once

#include <cstddef>
#include <new>

#define KIVRA_REPLACE_GLOBAL_NEW(allocate, release)                                               \
  void* operator new(std::size_t size) {                                                          \
    if (void* p = allocate(size)) return p;                                                       \
    throw std::bad_alloc();                                                                       \
  }                                                                                               \
  void* operator new[](std::size_t size) { return operator new(size); }                           \
  void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); } \
  void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {                        \
    return allocate(size);                                                                        \
  }                                                                                               \
  void operator delete(void* p) noexcept { release(p); }                                          \
  void operator delete[](void* p) noexcept { release(p); }                                        \
  void operator delete(void* p, std::size_t) noexcept { release(p); }                             \
  void operator delete[](void* p, std::size_t) noexcept { release(p); }                           \
  void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }                   \
  void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
