// Chains of biquad sections over a run of samples, each section in its own lane
// of up to three four-lane vectors: at step t lane k works on sample t - k, so a
// section's input is what the lane before it gave one step earlier. One sample
// through a chain of sections is a long dependent sequence; in lanes the sections
// of a chain work side by side. Every lane does the scalar section's operations,
// so outputs and states are those of biquad_process, sample by sample.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "dsp/biquad.h"
#include "dsp/lanes.h"

namespace melodara {

inline constexpr std::size_t kMaxBiquadLanes = 12;

// One lane: its section, and where its input comes from and its output goes.
// Without `in` the lane takes the previous lane's output; a lane with `out` stores
// its output there. Both are indexed by sample of the run.
struct BiquadLane {
  Biquad* section = nullptr;
  const float* in = nullptr;
  float* out = nullptr;
};

namespace biquad_lanes_detail {

template <std::size_t G>
struct Bank {
  std::array<Lanes4, G> b0{}, b1{}, b2{}, a1{}, a2{}, z1{}, z2{};
};

// Each lane's step: the state words change only where mask is set.
template <std::size_t G>
inline void step(Bank<G>& k, const std::array<Lanes4, G>& x, std::array<Lanes4, G>& y, const Mask4* mask) {
  for (std::size_t g = 0; g < G; ++g) {
    const Lanes4 yy = k.b0[g] * x[g] + k.z1[g];
    const Lanes4 z1 = flush_state(k.b1[g] * x[g] - k.a1[g] * yy + k.z2[g]);
    const Lanes4 z2 = flush_state(k.b2[g] * x[g] - k.a2[g] * yy);
    if (mask) {
      k.z1[g] = select(mask[g], z1, k.z1[g]);
      k.z2[g] = select(mask[g], z2, k.z2[g]);
    } else {
      k.z1[g] = z1;
      k.z2[g] = z2;
    }
    y[g] = yy;
  }
}

template <std::size_t G>
void run(std::span<const BiquadLane> lanes, std::size_t len) noexcept {
  const std::size_t count = lanes.size();
  Bank<G> k;
  std::array<std::size_t, kMaxBiquadLanes> heads{}, outs{};
  std::size_t head_count = 0, out_count = 0;
  for (std::size_t l = 0; l < count; ++l) {
    const Biquad& s = *lanes[l].section;
    const std::size_t g = l / 4, i = l % 4;
    k.b0[g][i] = s.b0;
    k.b1[g][i] = s.b1;
    k.b2[g][i] = s.b2;
    k.a1[g][i] = s.a1;
    k.a2[g][i] = s.a2;
    k.z1[g][i] = s.z1;
    k.z2[g][i] = s.z2;
    if (lanes[l].in != nullptr || l == 0) heads[head_count++] = l;
    if (lanes[l].out != nullptr) outs[out_count++] = l;
  }

  std::array<Lanes4, G> x{}, y{};
  const std::size_t steps = len + count - 1;
  for (std::size_t t = 0; t < steps; ++t) {
    // Each lane takes the output of the lane before it.
    for (std::size_t g = G; g-- > 1;) x[g] = __builtin_shufflevector(y[g - 1], y[g], 3, 4, 5, 6);
    x[0] = __builtin_shufflevector(y[0], y[0], 0, 0, 1, 2);
    for (std::size_t h = 0; h < head_count; ++h) {
      const std::size_t l = heads[h];
      x[l / 4][l % 4] = (t >= l && t - l < len) ? lanes[l].in[t - l] : 0.0f;
    }
    if (t + 1 >= count && t < len) {
      step<G>(k, x, y, nullptr);
    } else {
      // Filling or draining: a lane outside the run keeps its state.
      std::array<Mask4, G> live{};
      for (std::size_t l = 0; l < count; ++l) live[l / 4][l % 4] = (t >= l && t - l < len) ? -1 : 0;
      step<G>(k, x, y, live.data());
    }
    for (std::size_t o = 0; o < out_count; ++o) {
      const std::size_t l = outs[o];
      if (t >= l && t - l < len) lanes[l].out[t - l] = y[l / 4][l % 4];
    }
  }

  for (std::size_t l = 0; l < count; ++l) {
    Biquad& s = *lanes[l].section;
    s.z1 = k.z1[l / 4][l % 4];
    s.z2 = k.z2[l / 4][l % 4];
  }
}

}  // namespace biquad_lanes_detail

// Runs the lanes (at most kMaxBiquadLanes; lane 0 needs `in`) over len samples.
// The sections' state words carry on from where they stood.
// Thread: engine. Allocates: no. Blocks: no.
inline void run_biquad_lanes(std::span<const BiquadLane> lanes, std::size_t len) noexcept {
  if (len == 0 || lanes.empty()) return;
  if (lanes.size() <= 4) {
    biquad_lanes_detail::run<1>(lanes, len);
  } else if (lanes.size() <= 8) {
    biquad_lanes_detail::run<2>(lanes, len);
  } else {
    biquad_lanes_detail::run<3>(lanes, len);
  }
}

}  // namespace melodara
