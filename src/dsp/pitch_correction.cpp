#include "dsp/pitch_correction.h"

#include "dsp/vocal_dsp.h"

namespace melodara {

float snap_to_scale(std::uint64_t, bool, bool, float freq_hz, float) { return freq_hz; }

void pitch_correction_prepare(VocalDsp&) {}

float pitch_correction_sample(VocalDsp&, float gated) { return gated; }

}  // namespace melodara
