#pragma once
// The engine's mixing between the captured frames and its destinations: the
// microphone preparation and webcam gate ahead of the vocal chain, and after
// the chain, per frame, the primary and backing program-stream frames, the
// monitor and bus frames, the recorder samples and the block's meter sums, all
// by routing mode, with smoothed gains and a soft clip on every sample that
// leaves the engine.
//
// One block on the engine thread (n = 128):
//
//     RoutingMixState mix;                         // once, at thread start
//     routing_mix_open(mix, webcam_input);         // at every stream (re)open
//     ...
//     ChainGains gains = routing_mix_prepare_mic(mix, controls, capture,
//                                                cap_l, cap_r, mic);
//     engine.params.vocal_gain = gains.vocal_gain;
//     engine.params.beat_volume = gains.beat_volume;
//     DspMeters meters = vocal_chain_process(engine, mic, music_l, music_r, out_l, out_r);
//     meters.latency_ms = kEngineLatencyMs;
//     MixMeterSums sums = routing_mix_block(
//         mix, controls, routing_mix_inputs(cap_l, cap_r, mic, out_l, out_r, engine.stems),
//         outputs);
//     // then push outputs.backing / outputs.primary frame by frame to the slots,
//     // outputs.monitor and outputs.bus to their rings, the recorder frames to the
//     // pending lists, and turn the sums into the bus-audit and crackle meters.
#include <array>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "engine/frame_ring.h"
#include "engine/routing_mode.h"

namespace melodara {

// What the engine reports as its block latency after each chain call.
inline constexpr float kEngineLatencyMs = 2.95f;

// The control copies the mix reads, as last copied from the shared state. The
// defaults are the engine's values before its first copy.
struct MixControls {
  float mic_gain = 1.35f;     // micGain, 0..2
  float music_gain = 0.78f;   // musicGain, 0..2
  float master_gain = 1.0f;   // masterGain, 0..2
  float monitor_gain = 1.0f;  // monitorGain, 0..2
  bool monitor_enabled = false;
  bool input_muted = false;
  bool muted = false;  // the publish mute: silences the primary feed only
  bool running = true;
  RoutingMode mode = RoutingMode::Program;  // routing_mode_of(copied routing text)
};

// Engine-owned mixing state, kept across blocks and stream reopens. The member
// initialisers are the values at thread start.
struct RoutingMixState {
  // Smoothed gains (one-pole: value += (target - value) x coef).
  float mic_gain = 1.0f;     // g, per sample, coef 0.004
  float weight_left = 0.5f;  // channel weights, per sample, coef 0.0025
  float weight_right = 0.5f;
  float target_left = 0.5f;  // channel target, kept while the input is quiet
  float target_right = 0.5f;
  float gate = 0.0f;            // webcam gate, per sample, 0.085 up / 0.0002 down
  float master = 1.0f;          // m, per frame, coef 0.004
  float music_monitor = 1.0f;   // k, per frame, coef 0.004
  float voice_monitor = 0.94f;  // v, per frame, coef 0.004

  // DC blocker of the mono microphone.
  float dc_x_prev = 0.0f;
  float dc_y_prev = 0.0f;

  // The previous two monitor mono samples, for the crackle meter's second difference.
  float monitor_m1 = 0.0f;
  float monitor_m2 = 0.0f;

  // Set at stream (re)open from the input device.
  bool webcam_input = false;
  float gate_rms_threshold = 0.0f;
  float gate_peak_threshold = 0.0f;
  float gate_hold_threshold = 0.0f;
  float gate_floor = 1.0f;

  friend bool operator==(const RoutingMixState&, const RoutingMixState&) = default;
};

// Sets the per-open constants from the input device: a webcam input
// (is_webcam_device) gets a gate that sinks to 0.58 in silence; any other input a
// gate that always opens fully. The smoothed gains carry on as they were.
// Thread: engine only. Allocates: no. Blocks: no.
void routing_mix_open(RoutingMixState& state, bool webcam_input) noexcept;

// |x| up to 0.95 passes; above it bends towards 0.985 (reached only where float
// rounding ends the curve). NaN stays NaN; an infinity gives +-0.985.
// Thread: any. Allocates: no.
inline float routing_soft_clip(float x) noexcept {
  constexpr float knee = 0.95f;
  constexpr float headroom = 0.035f;
  const float a = std::fabs(x);
  if (a <= knee) return x;
  // h / (h + 0.035) is inf / inf for an infinite sample; its limit is 1.
  if (std::isinf(a)) return std::copysign(knee + headroom, x);
  const float h = a - knee;  // NaN stays NaN from here
  return std::copysign(knee + h / (h + headroom) * headroom, x);
}

// The gains the engine writes into its vocal engine's parameters before the chain.
struct ChainGains {
  float vocal_gain = 0.0f;    // max(g, 0.01) while the input is open, else 0
  float beat_volume = 0.78f;  // musicGain
  float mic_rms = 0.0f;       // the block's RMS of g x y, as the webcam gate hears it
};

// Microphone preparation, before the chain: writes the captured channels with
// non-finite samples replaced by 0 into capture_left/right, and the mono mic
// block (channel-weighted, opened by running and not inputMuted, DC-blocked,
// times the webcam gate) into mic. n = the smallest of the four lengths.
// Thread: engine only. Allocates: no. Blocks: no.
ChainGains routing_mix_prepare_mic(RoutingMixState& state, const MixControls& controls,
                                   std::span<const StereoFrame> capture, std::span<float> capture_left,
                                   std::span<float> capture_right, std::span<float> mic) noexcept;

// What the mix reads after the chain; every span at least the block long.
struct MixInputs {
  std::span<const float> capture_left, capture_right;  // from routing_mix_prepare_mic
  std::span<const float> mic;                          // the chain's mic block
  std::span<const float> out_left, out_right;          // the chain's output
  std::span<const float> voice_left, voice_right;      // stems 0, 1
  std::span<const float> accomp_left, accomp_right;    // stems 2, 3: track as mixed
  std::span<const float> backing_left, backing_right;  // stems 4, 5: track to publish
};

// Maps the chain's six stems onto the mix inputs.
// Thread: any. Allocates: no.
MixInputs routing_mix_inputs(std::span<const float> capture_left, std::span<const float> capture_right,
                             std::span<const float> mic, std::span<const float> out_left,
                             std::span<const float> out_right,
                             const std::array<std::vector<float>, 6>& stems) noexcept;

// Caller-preallocated per-frame outputs, each at least the block long.
struct MixOutputs {
  std::span<StereoFrame> primary;      // primary slot ((0, 0) while muted)
  std::span<StereoFrame> backing;      // backing slot in every mode; also the `beat` stem
  std::span<StereoFrame> monitor;      // monitor ring
  std::span<StereoFrame> bus;          // virtual-bus ring
  std::span<StereoFrame> rec_mix;      // recorder `mix` (both slots)
  std::span<StereoFrame> rec_vocal;    // recorder `vocal`
  std::span<StereoFrame> rec_dry_mic;  // recorder `dryMic` (left == right)
};

// Sums over one block. RMS = sqrt(sum / frames); peaks are absolute samples.
struct MixMeterSums {
  std::size_t frames = 0;
  float primary_sum_sq = 0.0f;  // sum of (L^2 + R^2) / 2 of the frames sent to the primary slot
  float primary_peak = 0.0f;
  float backing_sum_sq = 0.0f;  // same for the backing slot
  float backing_peak = 0.0f;
  float monitor_sum_sq = 0.0f;       // sum of mono^2, mono = (L + R) / 2 of the monitor frames
  float monitor_peak = 0.0f;         // largest |L| or |R| of the monitor frames
  float monitor_diff_sum_sq = 0.0f;  // sum of (m - 2 m1 + m2)^2 on the mono, across blocks
};

// The per-frame mix after the chain. n = the smallest of the input and output
// lengths. Thread: engine only. Allocates: no. Blocks: no.
MixMeterSums routing_mix_block(RoutingMixState& state, const MixControls& controls, const MixInputs& in,
                               const MixOutputs& out) noexcept;

}  // namespace melodara
