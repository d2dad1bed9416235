// Four float lanes in one SSE register (GCC and clang vector types) and loops that
// run a body on four samples at a time, then on the remaining ones singly. Every
// lane does the same IEEE operations as the scalar code, so results are the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "dsp/dsp_math.h"

namespace melodara {

typedef float Lanes4 __attribute__((vector_size(16)));
typedef std::int32_t Mask4 __attribute__((vector_size(16)));

// Thread: any. Allocates: no.
template <class V>
inline V load(const float* p) noexcept {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store(float* p, float v) noexcept { *p = v; }
inline void store(float* p, Lanes4 v) noexcept { std::memcpy(p, &v, sizeof v); }

// x in every lane (x itself for float).
template <class V>
inline V splat(float x) noexcept {
  if constexpr (sizeof(V) == sizeof(float)) {
    return x;
  } else {
    return V{x, x, x, x};
  }
}

// The lane helpers, written once for a vector type V with its mask type M; attr is
// the target the width needs (none for four lanes, AVX for eight).
// - select(m, a, b): lane by lane, a where m is set, else b.
// - whole_part(v): the whole part of each lane, truncated as a cast to int32 does.
// - max_f, min_f, abs_f, clamp_f, flush_state and finite_or_zero of dsp_math.h,
//   lane by lane.
#define MELODARA_LANE_HELPERS(V, M, attr)                                                                \
  attr inline V select(M m, V a, V b) noexcept {                                                         \
    return reinterpret_cast<V>((m & reinterpret_cast<M>(a)) | (~m & reinterpret_cast<M>(b)));            \
  }                                                                                                      \
  attr inline M whole_part(V v) noexcept { return __builtin_convertvector(v, M); }                       \
  attr inline V max_f(V a, V b) noexcept { return select(b != b, a, select(a > b, a, b)); }              \
  attr inline V min_f(V a, V b) noexcept { return select(b != b, a, select(a < b, a, b)); }              \
  attr inline V abs_f(V v) noexcept { return reinterpret_cast<V>(reinterpret_cast<M>(v) & 0x7fffffff); } \
  attr inline V clamp_f(V v, float lo, float hi) noexcept {                                              \
    const V l = splat<V>(lo), h = splat<V>(hi);                                                          \
    const V above = select(v > l, v, l);                                                                 \
    return select(above < h, above, h);                                                                  \
  }                                                                                                      \
  attr inline V flush_state(V v) noexcept {                                                              \
    const V a = abs_f(v);                                                                                \
    const M keep = (a >= kFlushFloor) & (a <= std::numeric_limits<float>::max());                        \
    return reinterpret_cast<V>(reinterpret_cast<M>(v) & keep);                                           \
  }                                                                                                      \
  attr inline V finite_or_zero(V v) noexcept {                                                           \
    const V a = abs_f(v);                                                                                \
    return reinterpret_cast<V>(reinterpret_cast<M>(v) & (a <= std::numeric_limits<float>::max()));       \
  }

// Thread: any. Allocates: no.
MELODARA_LANE_HELPERS(Lanes4, Mask4, )

// body.template operator()<V>(j) for j = 0, 4, 8, ... with V = Lanes4 while four
// samples remain, then for each remaining j with V = float.
template <class Body>
inline void for_lanes(std::size_t n, Body body) noexcept {
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4) body.template operator()<Lanes4>(j);
  for (; j < n; ++j) body.template operator()<float>(j);
}

// Eight float lanes in one AVX register, for code compiled for AVX and chosen at run
// time (the baseline build is SSE2). Its helpers are compiled for AVX wherever they
// are used, so no baseline copy of them exists. No FMA: each lane still does the
// scalar operations one by one.
typedef float Lanes8 __attribute__((vector_size(32)));
typedef std::int32_t Mask8 __attribute__((vector_size(32)));

// Thread: any. Allocates: no.
template <>
[[gnu::target("avx")]] inline Lanes8 load<Lanes8>(const float* p) noexcept {
  Lanes8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
[[gnu::target("avx")]] inline void store(float* p, Lanes8 v) noexcept { std::memcpy(p, &v, sizeof v); }
template <>
[[gnu::target("avx")]] inline Lanes8 splat<Lanes8>(float x) noexcept {
  return Lanes8{x, x, x, x, x, x, x, x};
}
MELODARA_LANE_HELPERS(Lanes8, Mask8, [[gnu::target("avx")]])

// for_lanes with V = Lanes8 while eight samples remain, then as for_lanes. Only
// for code compiled for AVX.
template <class Body>
[[gnu::target("avx")]] inline void for_lanes8(std::size_t n, Body body) noexcept {
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) body.template operator()<Lanes8>(j);
  for (; j + 4 <= n; j += 4) body.template operator()<Lanes4>(j);
  for (; j < n; ++j) body.template operator()<float>(j);
}

}  // namespace melodara
