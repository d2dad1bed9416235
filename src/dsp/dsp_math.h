// Small float helpers for the per-sample paths. max/min ignore a NaN operand
// (like fmax/fmin) but inline to compares instead of a libm call.
#pragma once

#include <cmath>
#include <limits>

namespace melodara {

// The NaN test is on the second operand, usually a constant: it then folds away
// and leaves the processor's own max or min, which gives b when a is NaN.
// Thread: any. Allocates: no.
inline float max_f(float a, float b) { return b != b ? a : (a > b ? a : b); }
inline float min_f(float a, float b) { return b != b ? a : (a < b ? a : b); }
// A NaN value comes back as lo, so the result is always safe to convert.
inline float clamp_f(float v, float lo, float hi) {
  const float above = v > lo ? v : lo;
  return above < hi ? above : hi;
}
inline float abs_f(float v) { return std::fabs(v); }

// Magnitudes below this are on their way to denormals: state words store 0.
inline constexpr float kFlushFloor = 1e-18f;

// What a recursive state word stores: magnitudes below 1e-18 (on their way to
// denormals) and non-finite values become 0, so neither stays in the loop.
inline float flush_state(float v) {
  const float a = std::fabs(v);
  return (a >= kFlushFloor && a <= std::numeric_limits<float>::max()) ? v : 0.0f;
}
// Non-finite values become 0; every finite value is kept as it is.
inline float finite_or_zero(float v) { return std::fabs(v) <= std::numeric_limits<float>::max() ? v : 0.0f; }

// A one-pole follower with a coefficient pair (keep, take) for a rising input and
// another for a falling one.
struct FollowerRates {
  float rise_keep, rise_take, fall_keep, fall_take;
};
inline float follow(float state, float input, const FollowerRates& r) {
  return input > state ? r.rise_keep * state + r.rise_take * input
                       : r.fall_keep * state + r.fall_take * input;
}

}  // namespace melodara
