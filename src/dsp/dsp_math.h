// Small float helpers for the per-sample paths. max/min ignore a NaN operand
// (like fmax/fmin) but inline to a compare and a blend instead of a libm call.
#pragma once

#include <cmath>

namespace melodara {

// Thread: any. Allocates: no. Blocks: no.
inline float max_f(float a, float b) { return (b > a || a != a) ? b : a; }
inline float min_f(float a, float b) { return (b < a || a != a) ? b : a; }
// A NaN value comes back as lo, so the result is always safe to convert.
inline float clamp_f(float v, float lo, float hi) { return min_f(max_f(v, lo), hi); }
inline float abs_f(float v) { return std::fabs(v); }

}  // namespace melodara
