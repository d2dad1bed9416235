#include "alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> g_counting{false};
std::atomic<std::size_t> g_count{0};
thread_local bool t_counting = false;
thread_local std::size_t t_count = 0;
thread_local std::size_t t_frees = 0;
const void* volatile g_escaped = nullptr;

void counted_free(void* p) noexcept {
  if (p != nullptr && t_counting) ++t_frees;
  std::free(p);
}

void* counted_alloc(std::size_t size, std::size_t align) {
  if (g_counting.load(std::memory_order_relaxed)) g_count.fetch_add(1, std::memory_order_relaxed);
  if (t_counting) ++t_count;
  if (size == 0) size = 1;
  void* p = align > alignof(std::max_align_t) ? std::aligned_alloc(align, (size + align - 1) / align * align)
                                              : std::malloc(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* counted_alloc_nothrow(std::size_t size, std::size_t align) noexcept {
  try {
    return counted_alloc(size, align);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

void* operator new(std::size_t size) { return counted_alloc(size, 0); }
void* operator new[](std::size_t size) { return counted_alloc(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) {
  return counted_alloc(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
  return counted_alloc(size, static_cast<std::size_t>(a));
}
// The nothrow forms too: the library frees what they give with plain delete.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return counted_alloc_nothrow(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counted_alloc_nothrow(size, 0);
}
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return counted_alloc_nothrow(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return counted_alloc_nothrow(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { counted_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { counted_free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { counted_free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { counted_free(p); }

namespace melodara::test {

AllocationCounter::AllocationCounter() {
  g_count.store(0);
  g_counting.store(true);
}
AllocationCounter::~AllocationCounter() { g_counting.store(false); }
std::size_t AllocationCounter::count() const { return g_count.load(); }

ThreadAllocationCounter::ThreadAllocationCounter() {
  t_count = 0;
  t_frees = 0;
  t_counting = true;
}
ThreadAllocationCounter::~ThreadAllocationCounter() { t_counting = false; }
std::size_t ThreadAllocationCounter::count() const { return t_count; }
std::size_t ThreadAllocationCounter::frees() const { return t_frees; }

void escape(const void* p) { g_escaped = p; }

}  // namespace melodara::test
