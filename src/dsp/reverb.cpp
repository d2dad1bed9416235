#include "dsp/reverb.h"

#include "dsp/vocal_dsp.h"

namespace melodara {

void reverb_prepare(VocalDsp&) {}
StereoSample reverb_pair(VocalDsp&, StereoSample voice) { return voice; }

}  // namespace melodara
