#include "dsp/dynamics.h"

#include "dsp/vocal_dsp.h"

namespace melodara {

void dynamics_prepare(VocalDsp&) {}

float pre_comp_sample(VocalDsp&, float x) { return x; }

float deesser_sample(VocalDsp& dsp, float x) {
  dsp.dynamics.deesser_reduction_db = 0.0f;
  return x;
}

float compressor_sample(VocalDsp& dsp, float x) {
  dsp.dynamics.comp_reduction_db = 0.0f;
  return x;
}

float second_deesser_sample(VocalDsp&, float x) { return x; }

StereoSample level_stage_pair(VocalDsp&, StereoSample voice, StereoSample) { return voice; }

}  // namespace melodara
