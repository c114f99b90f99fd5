// Counts every allocation through operator new, for the benchmarks that show none per frame; memory
// itself still comes from malloc. It replaces the program's operator new and delete: include it in
// one source file of a program only.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace netward {
inline std::atomic<uint64_t> g_new_calls{0};
}  // namespace netward

// (g++ takes the free() in these replacements for a mismatched pair; they are the pair.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t n) {
  netward::g_new_calls.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
