// Beat gate (22), modulated delay (23) and the tempo delay (26) of the vocal
// chain. They pass the voice pair through until their stage lands; the beat-gate
// step counter already runs in the chain frame.
#pragma once

#include <cstddef>

#include "dsp/stereo_sample.h"

namespace melodara {

struct VocalDsp;

struct ModulationState {
  float gate_gain = 1.0f;       // smoothed beat-gate gain
  float mod_phase = 0.0f;       // modulated-delay LFO
  std::size_t mod_write = 0;    // write index of mod_line_a/b
  std::size_t tempo_write = 0;  // write index of tempo_line_l/r
  float echo_time = 0.0f;       // current echo time, samples
  float wobble_phase = 0.0f;    // 0..1; also sweeps the echo low-pass
  friend bool operator==(const ModulationState&, const ModulationState&) = default;
};

// Per-block set-up. Thread: engine. Allocates: no. Blocks: no.
void modulation_prepare(VocalDsp& dsp);
// Stage 22. Thread: engine. Allocates: no. Blocks: no.
StereoSample beat_gate_pair(VocalDsp& dsp, StereoSample voice);
// Stage 23. Thread: engine. Allocates: no. Blocks: no.
StereoSample mod_delay_pair(VocalDsp& dsp, StereoSample voice);
// Stage 26. Thread: engine. Allocates: no. Blocks: no.
StereoSample tempo_delay_pair(VocalDsp& dsp, StereoSample voice);

}  // namespace melodara
