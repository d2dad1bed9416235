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

// Lane by lane: a where m is set, else b.
inline Lanes4 select(Mask4 m, Lanes4 a, Lanes4 b) noexcept {
  return reinterpret_cast<Lanes4>((m & reinterpret_cast<Mask4>(a)) | (~m & reinterpret_cast<Mask4>(b)));
}

// The whole part of each lane, truncated as a cast to int32 does.
inline Mask4 whole_part(Lanes4 v) noexcept { return __builtin_convertvector(v, Mask4); }

// max_f, min_f and abs_f of dsp_math.h, lane by lane.
inline Lanes4 max_f(Lanes4 a, Lanes4 b) noexcept { return select(b != b, a, select(a > b, a, b)); }
inline Lanes4 min_f(Lanes4 a, Lanes4 b) noexcept { return select(b != b, a, select(a < b, a, b)); }
inline Lanes4 abs_f(Lanes4 v) noexcept {
  return reinterpret_cast<Lanes4>(reinterpret_cast<Mask4>(v) & 0x7fffffff);
}

// clamp_f, flush_state and finite_or_zero of dsp_math.h, lane by lane.
inline Lanes4 clamp_f(Lanes4 v, float lo, float hi) noexcept {
  const Lanes4 l = splat<Lanes4>(lo), h = splat<Lanes4>(hi);
  const Lanes4 above = select(v > l, v, l);
  return select(above < h, above, h);
}
inline Lanes4 flush_state(Lanes4 v) noexcept {
  const Lanes4 a = reinterpret_cast<Lanes4>(reinterpret_cast<Mask4>(v) & 0x7fffffff);
  const Mask4 keep = (a >= kFlushFloor) & (a <= std::numeric_limits<float>::max());
  return reinterpret_cast<Lanes4>(reinterpret_cast<Mask4>(v) & keep);
}
inline Lanes4 finite_or_zero(Lanes4 v) noexcept {
  const Lanes4 a = reinterpret_cast<Lanes4>(reinterpret_cast<Mask4>(v) & 0x7fffffff);
  return reinterpret_cast<Lanes4>(reinterpret_cast<Mask4>(v) & (a <= std::numeric_limits<float>::max()));
}

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
[[gnu::target("avx")]] inline Lanes8 select(Mask8 m, Lanes8 a, Lanes8 b) noexcept {
  return reinterpret_cast<Lanes8>((m & reinterpret_cast<Mask8>(a)) | (~m & reinterpret_cast<Mask8>(b)));
}
[[gnu::target("avx")]] inline Mask8 whole_part(Lanes8 v) noexcept {
  return __builtin_convertvector(v, Mask8);
}
[[gnu::target("avx")]] inline Lanes8 max_f(Lanes8 a, Lanes8 b) noexcept {
  return select(b != b, a, select(a > b, a, b));
}
[[gnu::target("avx")]] inline Lanes8 min_f(Lanes8 a, Lanes8 b) noexcept {
  return select(b != b, a, select(a < b, a, b));
}
[[gnu::target("avx")]] inline Lanes8 abs_f(Lanes8 v) noexcept {
  return reinterpret_cast<Lanes8>(reinterpret_cast<Mask8>(v) & 0x7fffffff);
}
[[gnu::target("avx")]] inline Lanes8 clamp_f(Lanes8 v, float lo, float hi) noexcept {
  const Lanes8 l = splat<Lanes8>(lo), h = splat<Lanes8>(hi);
  const Lanes8 above = select(v > l, v, l);
  return select(above < h, above, h);
}
[[gnu::target("avx")]] inline Lanes8 flush_state(Lanes8 v) noexcept {
  const Lanes8 a = abs_f(v);
  const Mask8 keep = (a >= kFlushFloor) & (a <= std::numeric_limits<float>::max());
  return reinterpret_cast<Lanes8>(reinterpret_cast<Mask8>(v) & keep);
}
[[gnu::target("avx")]] inline Lanes8 finite_or_zero(Lanes8 v) noexcept {
  const Lanes8 a = abs_f(v);
  return reinterpret_cast<Lanes8>(reinterpret_cast<Mask8>(v) & (a <= std::numeric_limits<float>::max()));
}

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
