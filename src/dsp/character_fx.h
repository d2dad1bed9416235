// Character effects of the vocal chain: flanger (18), radio filter (19), the
// "Megaphone" mode (20) and echo ducking (28).
#pragma once

#include "dsp/stereo_sample.h"

namespace melodara {

struct VocalDsp;

struct CharacterFxState {
  float flanger_phase = 0.0f;
  float echo_duck_gain = 0.0f;
  friend bool operator==(const CharacterFxState&, const CharacterFxState&) = default;
};

// Per-block set-up. Thread: engine. Allocates: no. Blocks: no.
void character_fx_prepare(VocalDsp& dsp);
// Stage 18. Thread: engine. Allocates: no. Blocks: no.
float flanger_sample(VocalDsp& dsp, float x);
// Stage 19. Thread: engine. Allocates: no. Blocks: no.
float radio_sample(VocalDsp& dsp, float x);
// "Megaphone" of stage 20. Thread: engine. Allocates: no. Blocks: no.
float megaphone_sample(VocalDsp& dsp, float x);
// Stage 28. Thread: engine. Allocates: no. Blocks: no.
StereoSample echo_ducking_pair(VocalDsp& dsp, StereoSample voice);

}  // namespace melodara
