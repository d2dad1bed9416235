// Dynamics stages of the vocal chain: pre-compressor (11), de-esser (12),
// compressor with peak stage and rider (16), second de-esser pass (17) and the
// voice level and punch stage (29).
#pragma once

#include "dsp/stereo_sample.h"

namespace melodara {

struct VocalDsp;

struct DynamicsState {
  float deesser_env = 0.0f;      // d1
  float deesser2_env = 0.0f;     // d2
  float comp_slow_level = 0.0f;  // A
  float comp_env = 0.0f;         // E
  float rider_target = 1.0f;     // R1
  float rider_gain = 1.0f;       // R2
  float voice_peak = 0.0f;       // F, the voice peak follower (b of the output sum)
  // Per-sample reductions for the block's meters, positive dB.
  float deesser_reduction_db = 0.0f;
  float comp_reduction_db = 0.0f;
  friend bool operator==(const DynamicsState&, const DynamicsState&) = default;
};

// Per-block constants. Thread: engine. Allocates: no. Blocks: no.
void dynamics_prepare(VocalDsp& dsp);
// Stage 11. Thread: engine. Allocates: no. Blocks: no.
float pre_comp_sample(VocalDsp& dsp, float x);
// Stage 12; leaves its reduction in deesser_reduction_db.
// Thread: engine. Allocates: no. Blocks: no.
float deesser_sample(VocalDsp& dsp, float x);
// Stage 16; leaves its reduction in comp_reduction_db.
// Thread: engine. Allocates: no. Blocks: no.
float compressor_sample(VocalDsp& dsp, float x);
// Second de-esser pass of stage 17. Thread: engine. Allocates: no. Blocks: no.
float second_deesser_sample(VocalDsp& dsp, float x);
// Stage 29 on the voice pair, given the track pair.
// Thread: engine. Allocates: no. Blocks: no.
StereoSample level_stage_pair(VocalDsp& dsp, StereoSample voice, StereoSample track);

}  // namespace melodara
