#include "dsp/tone_colour.h"

#include "dsp/vocal_dsp.h"

namespace melodara {

void tone_prepare(VocalDsp&) {}
float voice_eq_sample(VocalDsp&, float x) { return x; }
float colour_sample(VocalDsp&, float x) { return x; }
float bass_boom_sample(VocalDsp&, float x) { return x; }
float bass_lift_sample(VocalDsp&, float x) { return x; }
float tube_air_sample(VocalDsp&, float x) { return x; }

}  // namespace melodara
