// Input analysis, denoise and gate of the vocal chain (stages 4, 6 and 7): decide
// sample by sample whether the singer is present and produce the gated voice.
#pragma once

namespace melodara {

struct VocalDsp;

struct DenoiseGateState {
  float level = 0.0f;          // input level follower e
  float transient_hp1 = 0.0f;  // transient analysis, high-pass memories
  float transient_hp1_in = 0.0f;
  float transient_hp2 = 0.0f;
  float transient_hp2_in = 0.0f;
  float transient_smooth1 = 0.0f;
  float transient_smooth2 = 0.0f;
  float noise_floor = 0.00045f;  // kept within 0.00018..0.0022
  float gate_gain = 0.0f;        // g_gate, read by the gate_open meter
  friend bool operator==(const DenoiseGateState&, const DenoiseGateState&) = default;
};

// Per-block set-up. Thread: engine. Allocates: no. Blocks: no.
void denoise_gate_prepare(VocalDsp& dsp);
// Stage 4 on the input sample after gain, trim and low-cut.
// Thread: engine. Allocates: no. Blocks: no.
void input_analysis_sample(VocalDsp& dsp, float x);
// Stage 6. Thread: engine. Allocates: no. Blocks: no.
float denoise_sample(VocalDsp& dsp, float x);
// Stage 7; keeps g_gate in the state. Thread: engine. Allocates: no. Blocks: no.
float gate_sample(VocalDsp& dsp, float x);

}  // namespace melodara
