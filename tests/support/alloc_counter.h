#pragma once
// Counts calls of the global operator new while a counter lives, so a test can
// prove that realtime code does not allocate. Linking this library replaces the
// global operator new and delete of the test binary.
#include <cstddef>

namespace melodara::test {

// Counts allocations on every thread.
class AllocationCounter {
 public:
  AllocationCounter();
  ~AllocationCounter();
  std::size_t count() const;
};

// Counts allocations on the constructing thread only.
class ThreadAllocationCounter {
 public:
  ThreadAllocationCounter();
  ~ThreadAllocationCounter();
  std::size_t count() const;
};

}  // namespace melodara::test
