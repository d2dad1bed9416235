// Counts calls of the global operator new while a scope is active, so a test can
// prove that realtime code does not allocate.
#pragma once

#include <cstddef>

namespace melodara::test {

class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    std::size_t count() const;
};

}  // namespace melodara::test
