#pragma once
// Counts calls of the global operator new (and, per thread, of operator delete)
// while a counter lives, so a test can prove that realtime code neither
// allocates nor frees. Linking this library replaces the global operator new
// and delete of the test binary.
#include <cstddef>

namespace melodara::test {

// Counts allocations on every thread.
class AllocationCounter {
 public:
  AllocationCounter();
  ~AllocationCounter();
  std::size_t count() const;
};

// Counts allocations and frees (of non-null pointers) on the constructing
// thread only.
class ThreadAllocationCounter {
 public:
  ThreadAllocationCounter();
  ~ThreadAllocationCounter();
  std::size_t count() const;
  std::size_t frees() const;
};

// Lets `p` escape, so the optimiser keeps an allocation that a counter's
// self-test makes (clang removes a new/delete pair it can see whole).
void escape(const void* p);

}  // namespace melodara::test
