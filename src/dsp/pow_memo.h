// The last base and result of a power with a fixed exponent, for per-sample powers
// whose base comes to rest (a follower held at a clamp): an unchanged base costs
// a compare instead of a powf.
#pragma once

#include <cmath>

namespace melodara {

// Starts at base 0, whose power is 0 for the positive exponents it serves.
struct PowMemo {
  float base = 0.0f;
  float value = 0.0f;
  friend bool operator==(const PowMemo&, const PowMemo&) = default;
};

// std::pow(base, exponent) for exponent > 0, the same for every call site of one
// memo. +0 and -0 compare equal and give the same power there.
// Thread: engine. Allocates: no. Blocks: no.
inline float pow_memo(PowMemo& m, float base, float exponent) noexcept {
  if (base != m.base) {
    m.base = base;
    m.value = std::pow(base, exponent);
  }
  return m.value;
}

}  // namespace melodara
