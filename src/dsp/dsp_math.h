// Small float helpers for the per-sample paths. max/min ignore a NaN operand
// (like fmax/fmin) but inline to the processor's own max and min instead of a
// libm call; only the NaN test of the first operand is a branch, and it is never
// taken on sound input.
#pragma once

#include <cmath>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace melodara {

// (a > b) ? a : b and (a < b) ? a : b, so a NaN in either operand gives b.
#if defined(__SSE__) || defined(__x86_64__)
inline float greater_or_second(float a, float b) {
  return _mm_cvtss_f32(_mm_max_ss(_mm_set_ss(a), _mm_set_ss(b)));
}
inline float less_or_second(float a, float b) {
  return _mm_cvtss_f32(_mm_min_ss(_mm_set_ss(a), _mm_set_ss(b)));
}
#else
inline float greater_or_second(float a, float b) { return a > b ? a : b; }
inline float less_or_second(float a, float b) { return a < b ? a : b; }
#endif

// Thread: any. Allocates: no.
inline float max_f(float a, float b) { return a != a ? b : greater_or_second(b, a); }
inline float min_f(float a, float b) { return a != a ? b : less_or_second(b, a); }
// A NaN value comes back as lo, so the result is always safe to convert.
inline float clamp_f(float v, float lo, float hi) { return less_or_second(greater_or_second(v, lo), hi); }
inline float abs_f(float v) { return std::fabs(v); }

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
