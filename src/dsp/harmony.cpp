#include "dsp/harmony.h"

#include "dsp/vocal_dsp.h"

namespace melodara {

void harmony_prepare(VocalDsp&) {}
float harmony_mode_sample(VocalDsp&, float x) { return x; }
StereoSample harmony_pair(VocalDsp&, float x) { return {x, x}; }

}  // namespace melodara
