#pragma once
// What the engine does between the captured frames and its destinations:
// the microphone preparation (channel choice, DC blocker, mic gain) and the
// webcam gate ahead of the vocal chain, and per frame after the chain the
// frames of the primary and backing program streams, the monitor, the bus and
// the recorder, with their smoothed gains and the soft clip. Only the
// "program" routing row is built here; the other rows arrive with routing.
#include <cstddef>
#include <span>

#include "dsp/vocal_dsp.h"
#include "engine/frame_ring.h"

namespace melodara {

// |x| <= 0.95 passes; above, a knee that never reaches 0.985. NaN stays NaN.
// Thread: any. Allocates: no.
float engine_soft_clip(float x);

// Control copies the mix reads (taken from NativeState at the last copy).
struct MixControls {
  float mic_gain = 1.35f;
  float music_gain = 0.78f;
  float master_gain = 1.0f;
  float monitor_gain = 1.0f;
  bool monitor_enabled = true;
  bool input_muted = false;
  bool muted = false;  // the publish mute: silences the primary slot only
  bool running = true;
};

struct WebcamGateConstants {
  float rms_threshold = 0.0f;
  float peak_threshold = 0.0f;
  float hold_threshold = 0.0f;
  float floor = 1.0f;
};
WebcamGateConstants webcam_gate_constants(bool webcam_input);

// Smoothed state kept across blocks (and across stream reopens).
struct MixState {
  float mic = 1.0f;                   // g
  float weight_l = 0.5f, weight_r = 0.5f;
  float target_l = 0.5f, target_r = 0.5f;
  float gate = 0.0f;
  float dc_x = 0.0f, dc_y = 0.0f;
  float master = 1.0f;                // m
  float music_monitor = 1.0f;         // k
  float voice_monitor = 0.94f;        // v
  bool webcam_input = false;          // fixed at stream open
  WebcamGateConstants gate_constants;
};

// Builds the mono mic block from the captured channels and returns the
// chain's vocal_gain for the block. Thread: engine. Allocates: no.
float prepare_mic_block(MixState& s, const MixControls& c, std::span<const float> capture_l,
                        std::span<const float> capture_r, std::span<float> mic);

struct FrameMix {
  StereoFrame primary;  // (0, 0) under the publish mute
  StereoFrame backing;
  StereoFrame monitor;
  StereoFrame bus;
  StereoFrame record_mix;
  StereoFrame record_vocal;
  float record_dry = 0.0f;
};

// Frame i of the "program" row, from the chain's output and stems and the
// mic block sample y. Thread: engine. Allocates: no.
FrameMix mix_program_frame(MixState& s, const MixControls& c, const VocalDsp& engine,
                           float out_l, float out_r, float y, std::size_t i);

}  // namespace melodara
