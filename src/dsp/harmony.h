// Harmony voices (stage 21) and the "Shimmer", "Chorus" and "Melodic" modes of
// stage 20: four pitch shifters turn the mono voice into the voice pair.
#pragma once

#include "dsp/stereo_sample.h"

namespace melodara {

struct VocalDsp;

struct HarmonyState {
  float mode_phase = 0.0f;
  friend bool operator==(const HarmonyState&, const HarmonyState&) = default;
};

// Per-block set-up. Thread: engine. Allocates: no. Blocks: no.
void harmony_prepare(VocalDsp& dsp);
// Mode effects of stage 20 on the mono voice. Thread: engine. Allocates: no. Blocks: no.
float harmony_mode_sample(VocalDsp& dsp, float x);
// Stage 21: mono voice in, voice pair out. Thread: engine. Allocates: no. Blocks: no.
StereoSample harmony_pair(VocalDsp& dsp, float x);

}  // namespace melodara
