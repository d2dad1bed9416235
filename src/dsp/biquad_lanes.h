// Chains of biquad sections over a run of samples, each section in its own lane
// of up to four four-lane vectors: at step t lane k works on sample t - k, so a
// section's input is what the lane before it gave one step earlier. One sample
// through a chain of sections is a long dependent sequence; in lanes the sections
// of a chain work side by side. Every lane does the scalar section's operations,
// so outputs and states are those of biquad_process, sample by sample.
//
// SectionLanes runs up to four sections on the same sample instead, one to a lane.
//
// The lanes' roles are fixed at compile time, so that every lane's input and
// output is a register move:
//
//     constexpr std::array<std::uint8_t, 3> kRoles{kLaneInput, 0, kLaneOutput};
//     run_biquad_lanes<kRoles>({{{&low_cut, in.data()}, {&shelf}, {&air, nullptr, out.data()}}}, n);
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "dsp/biquad.h"
#include "dsp/lanes.h"

namespace melodara {

// Role bits of a lane. A lane without kLaneInput takes the previous lane's output.
inline constexpr std::uint8_t kLaneInput = 1;   // takes its input from `in`
inline constexpr std::uint8_t kLaneOutput = 2;  // stores its output to `out`

// One lane: its section and, as its role says, its input and output arrays, both
// indexed by sample of the run.
struct BiquadLane {
  Biquad* section = nullptr;
  const float* in = nullptr;
  float* out = nullptr;
};

namespace biquad_lanes_detail {

template <std::size_t N, class F>
inline void each_lane(F&& f) {
  [&]<std::size_t... L>(std::index_sequence<L...>) { (f(std::integral_constant<std::size_t, L>{}), ...); }
  (std::make_index_sequence<N>{});
}

template <std::size_t G>
struct Bank {
  std::array<Lanes4, G> b0{}, b1{}, b2{}, a1{}, a2{}, z1{}, z2{};
};

// Each lane's step; the state words change only where live is set.
template <std::size_t G, bool Edge>
inline void step(Bank<G>& k, const std::array<Lanes4, G>& x, std::array<Lanes4, G>& y,
                 const std::array<Mask4, G>& live) {
  for (std::size_t g = 0; g < G; ++g) {
    const BiquadStep<Lanes4> s =
        biquad_step(k.b0[g], k.b1[g], k.b2[g], k.a1[g], k.a2[g], k.z1[g], k.z2[g], x[g]);
    if constexpr (Edge) {
      k.z1[g] = select(live[g], s.z1, k.z1[g]);
      k.z2[g] = select(live[g], s.z2, k.z2[g]);
    } else {
      k.z1[g] = s.z1;
      k.z2[g] = s.z2;
    }
    y[g] = s.y;
  }
}

}  // namespace biquad_lanes_detail

// Four biquad sections side by side, one to a lane, all on the same sample; their
// state in registers over a run and stored back at the end. A missing section
// (nullptr) is a pass-through lane. Thread: engine. Allocates: no. Blocks: no.
class SectionLanes {
 public:
  explicit SectionLanes(std::array<Biquad*, 4> sections) noexcept : home(sections) {
    for (std::size_t i = 0; i < 4; ++i) {
      const Biquad pass;
      const Biquad& f = home[i] != nullptr ? *home[i] : pass;
      k.b0[0][i] = f.b0;
      k.b1[0][i] = f.b1;
      k.b2[0][i] = f.b2;
      k.a1[0][i] = f.a1;
      k.a2[0][i] = f.a2;
      k.z1[0][i] = f.z1;
      k.z2[0][i] = f.z2;
    }
  }
  ~SectionLanes() {
    for (std::size_t i = 0; i < 4; ++i) {
      if (home[i] == nullptr) continue;
      home[i]->z1 = k.z1[0][i];
      home[i]->z2 = k.z2[0][i];
    }
  }
  SectionLanes(const SectionLanes&) = delete;
  SectionLanes& operator=(const SectionLanes&) = delete;
  // biquad_process in every lane; a lane whose live is 0 keeps its state.
  Lanes4 operator()(Lanes4 x, Mask4 live) noexcept {
    std::array<Lanes4, 1> y;
    biquad_lanes_detail::step<1, true>(k, {x}, y, {live});
    return y[0];
  }
  Lanes4 operator()(Lanes4 x) noexcept {
    std::array<Lanes4, 1> y;
    biquad_lanes_detail::step<1, false>(k, {x}, y, {});
    return y[0];
  }

 private:
  std::array<Biquad*, 4> home;
  biquad_lanes_detail::Bank<1> k;
};

// Runs the lanes over len samples; Roles holds each lane's role bits, and lane 0
// takes an input. The sections' state words carry on from where they stood. An
// output array may be the input array of an earlier lane: a lane stores sample s
// after every earlier lane has read it.
// Thread: engine. Allocates: no. Blocks: no.
template <auto Roles>
void run_biquad_lanes(const std::array<BiquadLane, Roles.size()>& lanes, std::size_t len) noexcept {
  using namespace biquad_lanes_detail;
  constexpr std::size_t N = Roles.size(), G = (N + 3) / 4;
  static_assert(N >= 1 && N <= 16 && (Roles[0] & kLaneInput) != 0);
  if (len == 0) return;

  Bank<G> k;
  std::array<Mask4, G> index{};
  for (std::size_t l = 0; l < 4 * G; ++l) index[l / 4][l % 4] = static_cast<std::int32_t>(l);
  for (std::size_t l = 0; l < N; ++l) {
    const Biquad& s = *lanes[l].section;
    const std::size_t g = l / 4, i = l % 4;
    k.b0[g][i] = s.b0;
    k.b1[g][i] = s.b1;
    k.b2[g][i] = s.b2;
    k.a1[g][i] = s.a1;
    k.a2[g][i] = s.a2;
    k.z1[g][i] = s.z1;
    k.z2[g][i] = s.z2;
  }

  std::array<Lanes4, G> x{}, y{};
  // While filling or draining, a lane outside the run keeps its state and stores nothing.
  const auto run_step = [&]<bool Edge>(std::size_t t) {
    for (std::size_t g = G; g-- > 1;) x[g] = __builtin_shufflevector(y[g - 1], y[g], 3, 4, 5, 6);
    x[0] = __builtin_shufflevector(y[0], y[0], 0, 0, 1, 2);
    each_lane<N>([&](auto lane) {
      constexpr std::size_t l = lane;
      if constexpr ((Roles[l] & kLaneInput) != 0) {
        x[l / 4][l % 4] = (!Edge || (t >= l && t - l < len)) ? lanes[l].in[t - l] : 0.0f;
      }
    });
    std::array<Mask4, G> live{};
    if constexpr (Edge) {
      const std::int32_t now = static_cast<std::int32_t>(t), end = static_cast<std::int32_t>(len);
      for (std::size_t g = 0; g < G; ++g) live[g] = (index[g] <= now) & (index[g] + end > now);
    }
    step<G, Edge>(k, x, y, live);
    each_lane<N>([&](auto lane) {
      constexpr std::size_t l = lane;
      if constexpr ((Roles[l] & kLaneOutput) != 0) {
        if (!Edge || (t >= l && t - l < len)) lanes[l].out[t - l] = y[l / 4][l % 4];
      }
    });
  };
  const std::size_t steps = len + N - 1;
  const std::size_t full_from = N - 1, full_to = len > N - 1 ? len : N - 1;
  std::size_t t = 0;
  for (; t < full_from; ++t) run_step.template operator()<true>(t);
  for (; t < full_to; ++t) run_step.template operator()<false>(t);
  for (; t < steps; ++t) run_step.template operator()<true>(t);

  for (std::size_t l = 0; l < N; ++l) {
    Biquad& s = *lanes[l].section;
    s.z1 = k.z1[l / 4][l % 4];
    s.z2 = k.z2[l / 4][l % 4];
  }
}

}  // namespace melodara
