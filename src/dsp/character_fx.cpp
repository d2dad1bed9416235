#include "dsp/character_fx.h"

#include "dsp/vocal_dsp.h"

namespace melodara {

void character_fx_prepare(VocalDsp&) {}
float flanger_sample(VocalDsp&, float x) { return x; }
float radio_sample(VocalDsp&, float x) { return x; }
float megaphone_sample(VocalDsp&, float x) { return x; }
StereoSample echo_ducking_pair(VocalDsp&, StereoSample voice) { return voice; }

}  // namespace melodara
