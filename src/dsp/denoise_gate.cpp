#include "dsp/denoise_gate.h"

#include <cmath>

#include "dsp/vocal_dsp.h"

namespace melodara {

void denoise_gate_prepare(VocalDsp&) {}

void input_analysis_sample(VocalDsp& dsp, float x) {
  DenoiseGateState& s = dsp.denoise_gate;
  const float a = std::fabs(x);
  if (a > s.level) {
    s.level = 0.9958f * s.level + 0.0042f * a;
  } else {
    s.level = 0.99975f * s.level + 0.00025f * a;
  }
}

float denoise_sample(VocalDsp&, float x) { return x; }

float gate_sample(VocalDsp&, float x) { return x; }

}  // namespace melodara
