// Time-domain pitch shifter: a 4,096-sample ring read by two moving taps that are
// cross-faded with a squared-sine window; splices land a whole pitch period apart
// when the input's pitch is known. Constant time per sample.
#pragma once

#include <cstddef>
#include <vector>

#include "core/realtime.h"

namespace melodara {

inline constexpr std::size_t kShifterRingSize = 4096;

struct PitchShifter {
  std::vector<float> ring;    // kShifterRingSize samples of past input
  std::size_t write_pos = 0;  // slot of the next input
  std::size_t window = 0;     // sets the tap geometry
  float phase = 0.0f;         // cross-fade position in [0, 1)
  float delay_a = 0.0f;       // tap A, samples
  float delay_b = 0.0f;       // tap B, samples
  float period = 0.0f;        // last known pitch period, 0 until told
  // Geometry derived from the window.
  float centre = 0.0f;      // D
  float half_range = 0.0f;  // J
  float tap_lo = 0.0f;
  float tap_hi = 0.0f;

  friend bool operator==(const PitchShifter&, const PitchShifter&) = default;
};

// Builds a shifter with its ring. Thread: any. Allocates: yes. Blocks: no.
PitchShifter pitch_shifter_new(std::size_t window);

// One sample in, one out. ratio is the frequency ratio (2 = an octave up, kept within
// 0.35..2); pitch_hz is the input's fundamental, or 0 when unknown.
// Thread: engine. Allocates: no. Blocks: no.
float pitch_shift_sample(PitchShifter& s, float x, float ratio, float pitch_hz) MELODARA_NONBLOCKING;
// pitch_shift_sample without reading the output: the shifter's state moves on
// exactly as there, for an instance that is kept current but not heard.
// Thread: engine. Allocates: no. Blocks: no.
void pitch_shift_feed(PitchShifter& s, float x, float ratio, float pitch_hz) MELODARA_NONBLOCKING;

}  // namespace melodara
