#include "dsp/detector_kernels.h"

#include <cstring>

namespace melodara {
namespace {

// L lags in one pass: the loads of a serve them all, and L x 4 independent
// accumulators keep the adds from waiting on each other.
template <std::size_t N, std::size_t L>
inline void squared_difference_lags(const float* a, const float* b, float* out) {
  static_assert(N % 16 == 0);
  Lanes4 acc[L][4] = {};
  for (std::size_t j = 0; j < N; j += 16) {
    const Lanes4 x0 = load<Lanes4>(a + j), x1 = load<Lanes4>(a + j + 4), x2 = load<Lanes4>(a + j + 8),
                 x3 = load<Lanes4>(a + j + 12);
#pragma GCC unroll 4
    for (std::size_t l = 0; l < L; ++l) {
      const float* y = b + l + j;
      const Lanes4 d0 = x0 - load<Lanes4>(y), d1 = x1 - load<Lanes4>(y + 4), d2 = x2 - load<Lanes4>(y + 8),
                   d3 = x3 - load<Lanes4>(y + 12);
      acc[l][0] += d0 * d0;
      acc[l][1] += d1 * d1;
      acc[l][2] += d2 * d2;
      acc[l][3] += d3 * d3;
    }
  }
  for (std::size_t l = 0; l < L; ++l) out[l] = detector_reduce(acc[l][0], acc[l][1], acc[l][2], acc[l][3]);
}

template <std::size_t N>
void squared_differences_sse(const float* a, const float* b, std::size_t count, float* out) {
  const std::size_t whole = count - count % 2;
  for (std::size_t i = 0; i < whole; i += 2) squared_difference_lags<N, 2>(a, b + i, out + i);
  for (std::size_t i = whole; i < count; ++i) squared_difference_lags<N, 1>(a, b + i, out + i);
}

// The same sums with AVX (no FMA): one 8-lane register holds acc0|acc1, another
// acc2|acc3, so each lane adds the same values in the same order as above.
__attribute__((target("avx"))) inline float reduce8(Lanes8 acc01, Lanes8 acc23) {
  Lanes4 q[4];
  std::memcpy(&q[0], &acc01, sizeof acc01);
  std::memcpy(&q[2], &acc23, sizeof acc23);
  return detector_reduce(q[0], q[1], q[2], q[3]);
}

// The low halves of x and y plus their high halves: [acc0 + acc1 of x | of y] from
// two registers acc0|acc1.
__attribute__((target("avx"))) inline Lanes8 add_halves(Lanes8 x, Lanes8 y) {
  return __builtin_shufflevector(x, y, 0, 1, 2, 3, 8, 9, 10, 11) +
         __builtin_shufflevector(x, y, 4, 5, 6, 7, 12, 13, 14, 15);
}

// The last step of detector_reduce() for four lags a, b, c, d, their 4-lane sums in
// ab = [a | b] and cd = [c | d]: lanes 0 + 1 and 2 + 3 of each, then their sum.
__attribute__((target("avx"))) inline Lanes4 reduce_lanes(Lanes8 ab, Lanes8 cd) {
  // [a, c | b, d], so that no lane crosses halves.
  const Lanes8 pairs = __builtin_shufflevector(ab, cd, 0, 2, 8, 10, 4, 6, 12, 14) +
                       __builtin_shufflevector(ab, cd, 1, 3, 9, 11, 5, 7, 13, 15);
  const Lanes4 ac = __builtin_shufflevector(pairs, pairs, 0, 1, 2, 3);
  const Lanes4 bd = __builtin_shufflevector(pairs, pairs, 4, 5, 6, 7);
  return __builtin_shufflevector(ac, bd, 0, 4, 2, 6) + __builtin_shufflevector(ac, bd, 1, 5, 3, 7);
}

// The sums of four lags at once, each reduced as detector_reduce() does, every addition one
// lane of a wide addition (as reduce16x4 below).
__attribute__((target("avx"))) inline Lanes4 reduce8x4(const Lanes8 (&a)[2], const Lanes8 (&b)[2],
                                                       const Lanes8 (&c)[2], const Lanes8 (&d)[2]) {
  // (acc0 + acc1) + (acc2 + acc3) of two lags in each register.
  const Lanes8 ab = add_halves(a[0], b[0]) + add_halves(a[1], b[1]);
  const Lanes8 cd = add_halves(c[0], d[0]) + add_halves(c[1], d[1]);
  return reduce_lanes(ab, cd);
}

template <std::size_t N, std::size_t L>
__attribute__((target("avx"))) inline void squared_difference_lags_avx(const float* a, const float* b,
                                                                       float* out) {
  static_assert(N % 16 == 0);
  Lanes8 acc[L][2] = {};
  for (std::size_t j = 0; j < N; j += 16) {
    const Lanes8 x01 = load<Lanes8>(a + j), x23 = load<Lanes8>(a + j + 8);
#pragma GCC unroll 4
    for (std::size_t l = 0; l < L; ++l) {
      const float* y = b + l + j;
      const Lanes8 d01 = x01 - load<Lanes8>(y), d23 = x23 - load<Lanes8>(y + 8);
      acc[l][0] += d01 * d01;
      acc[l][1] += d23 * d23;
    }
  }
  if constexpr (L % 4 == 0) {
    for (std::size_t l = 0; l < L; l += 4)
      store(out + l, reduce8x4(acc[l], acc[l + 1], acc[l + 2], acc[l + 3]));
  } else {
    for (std::size_t l = 0; l < L; ++l) out[l] = reduce8(acc[l][0], acc[l][1]);
  }
}

template <std::size_t N>
__attribute__((target("avx"))) void squared_differences_avx(const float* a, const float* b, std::size_t count,
                                                            float* out) {
  const std::size_t whole = count - count % 4;
  for (std::size_t i = 0; i < whole; i += 4) squared_difference_lags_avx<N, 4>(a, b + i, out + i);
  for (std::size_t i = whole; i < count; ++i) squared_difference_lags_avx<N, 1>(a, b + i, out + i);
}

// The same sums with AVX-512F (no FMA): one 16-lane register holds acc0..acc3 of
// one lag, so a lag costs one load, subtraction, product and sum per 16 samples.
typedef float Lanes16 __attribute__((vector_size(64)));

__attribute__((target("avx512f"))) inline Lanes16 load16(const float* p) {
  Lanes16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

__attribute__((target("avx512f"))) inline float reduce16(Lanes16 acc) {
  Lanes4 q[4];
  std::memcpy(&q[0], &acc, sizeof acc);
  return detector_reduce(q[0], q[1], q[2], q[3]);
}

// The sums of four lags at once, each reduced as detector_reduce() does: the 4-lane blocks
// are regrouped so that every addition of detector_reduce() is one lane of a wide addition.
// Reducing one lag at a time would cost a quarter of the sums themselves.
__attribute__((target("avx512f"))) inline Lanes4 reduce16x4(Lanes16 a, Lanes16 b, Lanes16 c, Lanes16 d) {
  // Blocks 0 and 2, then 1 and 3, of two registers: [acc0 + acc1, acc2 + acc3] of each.
  const Lanes16 ab =
      __builtin_shufflevector(a, b, 0, 1, 2, 3, 8, 9, 10, 11, 16, 17, 18, 19, 24, 25, 26, 27) +
      __builtin_shufflevector(a, b, 4, 5, 6, 7, 12, 13, 14, 15, 20, 21, 22, 23, 28, 29, 30, 31);
  const Lanes16 cd =
      __builtin_shufflevector(c, d, 0, 1, 2, 3, 8, 9, 10, 11, 16, 17, 18, 19, 24, 25, 26, 27) +
      __builtin_shufflevector(c, d, 4, 5, 6, 7, 12, 13, 14, 15, 20, 21, 22, 23, 28, 29, 30, 31);
  // (acc0 + acc1) + (acc2 + acc3) of a, b, c and d.
  const Lanes16 q =
      __builtin_shufflevector(ab, cd, 0, 1, 2, 3, 8, 9, 10, 11, 16, 17, 18, 19, 24, 25, 26, 27) +
      __builtin_shufflevector(ab, cd, 4, 5, 6, 7, 12, 13, 14, 15, 20, 21, 22, 23, 28, 29, 30, 31);
  return reduce_lanes(__builtin_shufflevector(q, q, 0, 1, 2, 3, 4, 5, 6, 7),
                      __builtin_shufflevector(q, q, 8, 9, 10, 11, 12, 13, 14, 15));
}

// d * d as a product of its own. AVX-512F has fused multiply-adds, which C++ lets
// the compiler form from a product and a sum; the empty asm hides the product from
// it, so each lane rounds the product and then the sum, as the other builds do.
__attribute__((target("avx512f"))) inline Lanes16 square16(Lanes16 d) {
  Lanes16 p = d * d;
  asm("" : "+v"(p));
  return p;
}

template <std::size_t N, std::size_t L>
__attribute__((target("avx512f"))) inline void squared_difference_lags_avx512(const float* a, const float* b,
                                                                              float* out) {
  static_assert(N % 16 == 0);
  Lanes16 acc[L] = {};
  for (std::size_t j = 0; j < N; j += 16) {
    const Lanes16 x = load16(a + j);
#pragma GCC unroll 16
    for (std::size_t l = 0; l < L; ++l) {
      acc[l] += square16(x - load16(b + l + j));
    }
  }
  if constexpr (L % 4 == 0) {
    for (std::size_t l = 0; l < L; l += 4)
      store(out + l, reduce16x4(acc[l], acc[l + 1], acc[l + 2], acc[l + 3]));
  } else {
    for (std::size_t l = 0; l < L; ++l) out[l] = reduce16(acc[l]);
  }
}

template <std::size_t N>
__attribute__((target("avx512f"))) void squared_differences_avx512(const float* a, const float* b,
                                                                   std::size_t count, float* out) {
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) squared_difference_lags_avx512<N, 8>(a, b + i, out + i);
  for (; i + 4 <= count; i += 4) squared_difference_lags_avx512<N, 4>(a, b + i, out + i);
  for (; i < count; ++i) squared_difference_lags_avx512<N, 1>(a, b + i, out + i);
}

template <std::size_t N>
void squared_differences(DetectorBuild build, const float* a, const float* b, std::size_t count, float* out) {
  switch (build) {
    case DetectorBuild::avx512: squared_differences_avx512<N>(a, b, count, out); break;
    case DetectorBuild::avx: squared_differences_avx<N>(a, b, count, out); break;
    case DetectorBuild::sse: squared_differences_sse<N>(a, b, count, out); break;
  }
}

}  // namespace

bool detector_avx_available() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx") != 0;
}

bool detector_avx512_available() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") != 0;
}

DetectorBuild detector_fastest_build() {
  return detector_avx512_available() ? DetectorBuild::avx512
         : detector_avx_available()  ? DetectorBuild::avx
                                     : DetectorBuild::sse;
}

void detector_squared_differences(DetectorBuild build, std::size_t window, const float* a, const float* b,
                                  std::size_t count, float* out) noexcept MELODARA_NONBLOCKING {
  if (window == 512) {
    squared_differences<512>(build, a, b, count, out);
  } else {
    squared_differences<256>(build, a, b, count, out);
  }
}

}  // namespace melodara
