#pragma once
// Realtime marks, checked by clang's RealtimeSanitizer (-fsanitize=realtime).
//
// MELODARA_NONBLOCKING goes after a function's parameter list (and noexcept):
// the function must not allocate, free, lock a mutex or make a blocking call,
// and under the sanitizer every call of it aborts the test that breaks the
// rule. Other compilers drop the mark.
//
// A RealtimeException lets the rest of its scope break those rules on purpose;
// its reason says why. Keep its scope to the statements that need it.
#if defined(__clang__) && defined(__has_attribute)
#if __has_attribute(nonblocking)  // a type attribute: __has_cpp_attribute does not see it
#define MELODARA_NONBLOCKING [[clang::nonblocking]]
#endif
#endif
#ifndef MELODARA_NONBLOCKING
#define MELODARA_NONBLOCKING
#endif

#if defined(__has_feature)
#if __has_feature(realtime_sanitizer)
#include <sanitizer/rtsan_interface.h>
#define MELODARA_REALTIME_SANITIZER 1
#endif
#endif

namespace melodara {

// Thread: any. Allocates: no. Blocks: no.
class RealtimeException {
 public:
  explicit RealtimeException([[maybe_unused]] const char* reason) noexcept {
#ifdef MELODARA_REALTIME_SANITIZER
    __rtsan_disable();
#endif
  }
  ~RealtimeException() {
#ifdef MELODARA_REALTIME_SANITIZER
    __rtsan_enable();
#endif
  }
  RealtimeException(const RealtimeException&) = delete;
  RealtimeException& operator=(const RealtimeException&) = delete;
};

}  // namespace melodara
