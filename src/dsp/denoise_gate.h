// Input analysis, denoise and gate of the vocal chain (stages 4, 6 and 7): decide
// sample by sample whether the singer is present and turn the microphone signal
// into the gated voice that the pitch stages receive.
//
// Per sample the chain frame calls input_analysis_sample (whatever the switches),
// then, while the voice path runs, denoise_gate_sample with the corrected input.
// The GateSample it returns is what the later stages of that sample read of the
// gate.
#pragma once

#include "core/realtime.h"
#include "dsp/dsp_params.h"

namespace melodara {

struct DenoiseGateState {
  float level = 0.0f;            // input level follower e
  float hp1_in = 0.0f;           // first high-pass: previous input
  float hp1 = 0.0f;              // h1
  float hp2_in = 0.0f;           // second high-pass: previous h1
  float hp2 = 0.0f;              // h2
  float voice_smooth1 = 0.0f;    // s1
  float voice_band = 0.0f;       // u
  float high_smooth = 0.0f;      // v
  float high_power = 0.0f;       // PH
  float voice_power = 0.0f;      // PV
  float detector_level = 0.0f;   // n of the last sample
  float noise_floor = 0.00045f;  // nf, kept within 0.00018..0.0022
  float voice_activity = 0.0f;   // va, 0..1
  float impulse = 0.0f;          // b, 0..1
  float gate_gain = 0.0f;        // g_gate, read by the gate_open meter
  friend bool operator==(const DenoiseGateState&, const DenoiseGateState&) = default;
};

// Values derived from the parameters once per block.
struct DenoiseGateBlock {
  float input_gain = 0.5f;  // G: vocal_gain x trim within 0.5..4
  float inv_input_gain = 2.0f;
  float gate_level = 0.0f;   // T of denoise_gate_db
  float param_floor = 0.0f;  // Tg = 0.335 T
  float floor_base = 0.0f;   // 0.2 (1 - a), the floor gain before the hiss factor
  bool active = true;        // gate_enabled or denoise_enabled
  friend bool operator==(const DenoiseGateBlock&, const DenoiseGateBlock&) = default;
};

// Per-sample results of the analysis that the gate and later stages read.
struct InputAnalysis {
  float level = 0.0f;         // e
  float raw_level = 0.0f;     // e / G
  float high_pass = 0.0f;     // h1
  float voice_rms = 0.0f;     // rV
  float high_rms = 0.0f;      // rH
  float quietness = 0.0f;     // qn
  float sibilance = 0.0f;     // hs
  float detector = 0.0f;      // n
  float detector_raw = 0.0f;  // r = n / G
};

// One sample through the gate. Later stages name four of the gate's values f, h,
// q and vc without defining them; this record is where they are mapped: f is the
// floor gain m, h the voice activity va, q the sibilance factor hs and vc the open
// weight w of the sample.
struct GateSample {
  float voice = 0.0f;       // the gated voice d
  float gain = 0.0f;        // g_gate after the sample
  float level = 0.0f;       // e
  float raw_level = 0.0f;   // e / G
  float floor_gain = 0.0f;  // f
  float voice_hold = 0.0f;  // h
  float onset = 0.0f;       // q
  float confidence = 0.0f;  // vc; also the open weight w that the bass lift reads
  bool active = true;       // gate_enabled or denoise_enabled
};

// Thread: any. Allocates: no. Blocks: no.
DenoiseGateBlock denoise_gate_prepare(const DspParams& params,
                                      float input_gain) noexcept MELODARA_NONBLOCKING;

// Stage 4 on x, the input after gain, trim and low-cut; pitch_hz is the detected
// pitch of the last analysis hop (0 while unvoiced).
// Thread: engine. Allocates: no. Blocks: no.
InputAnalysis input_analysis_sample(DenoiseGateState& state, const DenoiseGateBlock& block, float x,
                                    float pitch_hz) noexcept MELODARA_NONBLOCKING;

// Stages 6 and 7 on y, the input after the correction EQ.
// Thread: engine. Allocates: no. Blocks: no.
GateSample denoise_gate_sample(DenoiseGateState& state, const DenoiseGateBlock& block,
                               const InputAnalysis& analysis, float y) noexcept MELODARA_NONBLOCKING;

}  // namespace melodara
