// The reverbs of the vocal chain (stage 27): pre-delay, early reflections, input
// diffusers, comb tank, output all-passes and equaliser, reverse envelope and the
// second comb bank.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "dsp/stereo_sample.h"

namespace melodara {

struct VocalDsp;

struct ReverbState {
  std::size_t input_write = 0;  // W of long_line_l/r
  std::array<std::uint64_t, 8> comb_counters{};
  std::array<float, 8> comb_damp_l{};
  std::array<float, 8> comb_damp_r{};
  std::array<std::uint64_t, 4> allpass_counters{};
  std::array<std::uint64_t, 4> b_comb_counters{};
  std::array<float, 4> b_comb_damp_l{};
  std::array<float, 4> b_comb_damp_r{};
  std::uint64_t b_allpass_counter = 0;
  float predelay = 1152.0f;  // current pre-delay, samples
  float reverse_phase = 0.0f;
  float mid_gain = 1.0f;
  float high_gain = 1.0f;
  float active_gain = 0.0f;  // meter reverb_active_gain
  friend bool operator==(const ReverbState&, const ReverbState&) = default;
};

// Per-block set-up. Thread: engine. Allocates: no. Blocks: no.
void reverb_prepare(VocalDsp& dsp);
// Stage 27: the voice pair with the reverb added. Thread: engine. Allocates: no. Blocks: no.
StereoSample reverb_pair(VocalDsp& dsp, StereoSample voice);

}  // namespace melodara
