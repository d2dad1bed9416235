// Small float helpers for the per-sample paths. max/min ignore a NaN operand
// (like fmax/fmin) but inline to a compare and a blend instead of a libm call.
#pragma once

#include <cmath>
#include <limits>

namespace melodara {

// Thread: any. Allocates: no.
inline float max_f(float a, float b) { return (b > a || a != a) ? b : a; }
inline float min_f(float a, float b) { return (b < a || a != a) ? b : a; }
// A NaN value comes back as lo, so the result is always safe to convert.
inline float clamp_f(float v, float lo, float hi) { return min_f(max_f(v, lo), hi); }
inline float abs_f(float v) { return std::fabs(v); }

// What a recursive state word stores: magnitudes below 1e-18 (on their way to
// denormals) and non-finite values become 0, so neither stays in the loop.
inline float flush_state(float v) {
  const float a = std::fabs(v);
  return (a >= 1e-18f && a <= std::numeric_limits<float>::max()) ? v : 0.0f;
}
// Non-finite values become 0; every finite value is kept as it is.
inline float finite_or_zero(float v) { return std::fabs(v) <= std::numeric_limits<float>::max() ? v : 0.0f; }

}  // namespace melodara
