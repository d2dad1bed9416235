#include "dsp/modulation.h"

#include "dsp/vocal_dsp.h"

namespace melodara {

void modulation_prepare(VocalDsp&) {}
StereoSample beat_gate_pair(VocalDsp&, StereoSample voice) { return voice; }
StereoSample mod_delay_pair(VocalDsp&, StereoSample voice) { return voice; }
StereoSample tempo_delay_pair(VocalDsp&, StereoSample voice) { return voice; }

}  // namespace melodara
