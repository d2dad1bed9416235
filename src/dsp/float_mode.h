// The float mode the vocal chain is built for: flush-to-zero and
// denormals-are-zero (MXCSR bits 0x8040), so a decaying filter never slows to
// denormal arithmetic and the chain's bits are those of that mode. The engine
// thread sets it once for itself; every other caller of the chain (the start-up
// warm-up, analyses, tests, benches) holds a ChainFloatMode around its calls, so
// its own thread gets its mode back.
#pragma once

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#define MELODARA_HAVE_MXCSR 1
#endif

namespace melodara {

// The mode bits of the calling thread's float unit (0 where there is none).
// Thread: any. Allocates: no. Blocks: no.
inline unsigned float_mode_word() noexcept {
#ifdef MELODARA_HAVE_MXCSR
  return _mm_getcsr();
#else
  return 0;
#endif
}

inline constexpr unsigned kChainFloatBits = 0x8040u;  // flush-to-zero | denormals-are-zero

// Sets the chain's mode on the calling thread and leaves it set: for a thread
// that runs nothing but the chain. Thread: engine. Allocates: no. Blocks: no.
inline void set_chain_float_mode() noexcept {
#ifdef MELODARA_HAVE_MXCSR
  const unsigned csr = _mm_getcsr();
  if ((csr & kChainFloatBits) != kChainFloatBits) _mm_setcsr(csr | kChainFloatBits);
#endif
}

// The chain's mode for a scope; the thread's own mode comes back at its end.
// Thread: any. Allocates: no. Blocks: no.
class ChainFloatMode {
 public:
  ChainFloatMode() noexcept : saved_(float_mode_word()) { set_chain_float_mode(); }
  ~ChainFloatMode() {
#ifdef MELODARA_HAVE_MXCSR
    if (_mm_getcsr() != saved_) _mm_setcsr(saved_);
#endif
  }
  ChainFloatMode(const ChainFloatMode&) = delete;
  ChainFloatMode& operator=(const ChainFloatMode&) = delete;

 private:
  unsigned saved_;
};

}  // namespace melodara
