#include "engine/routing_mix.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "dsp/dsp_math.h"

namespace melodara {

namespace {

constexpr float kMicGainCoef = 0.004f;
constexpr float kWeightCoef = 0.0025f;
constexpr float kGateUpCoef = 0.085f;
constexpr float kGateDownCoef = 0.0002f;
constexpr float kFrameCoef = 0.004f;
constexpr float kDcPole = 0.9975f;
constexpr float kDominanceFloor = 0.004f;
constexpr float kGateHoldLevel = 0.68f;
constexpr float kVocalMonitorFactor = 0.92f;
constexpr float kWebcamVoiceMonitor = 0.72f;
constexpr float kVocalProgramGain = 0.9f;
constexpr float kVocalWidth = 0.82f;
constexpr float kFlushBelow = 1e-18f;

inline float smooth(float value, float target, float coef) { return value + (target - value) * coef; }

// Slow one-poles heading for 0 would end in denormals; below -360 dB is silence.
inline void flush(float& v) {
  if (abs_f(v) < kFlushBelow) v = 0.0f;
}

inline StereoFrame sc_pair(float l, float r) { return {routing_soft_clip(l), routing_soft_clip(r)}; }

std::size_t smallest(std::initializer_list<std::size_t> sizes) { return std::min(sizes); }

}  // namespace

void routing_mix_open(RoutingMixState& state, bool webcam_input) noexcept {
  state.webcam_input = webcam_input;
  if (webcam_input) {
    state.gate_rms_threshold = 0.0045f;
    state.gate_peak_threshold = 0.0045f * 1.6f;
    state.gate_hold_threshold = 0.002f;
    state.gate_floor = 0.58f;
  } else {
    state.gate_rms_threshold = 0.0f;
    state.gate_peak_threshold = 0.0f;
    state.gate_hold_threshold = 0.0f;
    state.gate_floor = 1.0f;
  }
}

ChainGains routing_mix_prepare_mic(RoutingMixState& state, const MixControls& controls,
                                   std::span<const StereoFrame> capture, std::span<float> capture_left,
                                   std::span<float> capture_right, std::span<float> mic) noexcept {
  const std::size_t n = smallest({capture.size(), capture_left.size(), capture_right.size(), mic.size()});

  float peak_l = 0.0f;
  float peak_r = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float l = finite_or_zero(capture[i].left);
    const float r = finite_or_zero(capture[i].right);
    capture_left[i] = l;
    capture_right[i] = r;
    peak_l = max_f(peak_l, abs_f(l));
    peak_r = max_f(peak_r, abs_f(r));
  }

  // Follow the louder channel when one clearly dominates (a mic on one input of
  // a stereo interface); a quiet block keeps the previous choice.
  if (max_f(peak_l, peak_r) > kDominanceFloor) {
    if (0.25f * peak_l > peak_r) {
      state.target_left = 1.0f;
      state.target_right = 0.0f;
    } else if (0.25f * peak_r > peak_l) {
      state.target_left = 0.0f;
      state.target_right = 1.0f;
    } else {
      state.target_left = 0.5f;
      state.target_right = 0.5f;
    }
  }

  const bool open = controls.running && !controls.input_muted;
  const float open_gain = open ? 1.0f : 0.0f;
  const float gain_target = open ? controls.mic_gain : 0.0f;

  float wl = state.weight_left;
  float wr = state.weight_right;
  float x_prev = state.dc_x_prev;
  float y_prev = state.dc_y_prev;
  float g = state.mic_gain;
  float sum_sq = 0.0f;
  float peak = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    wl = smooth(wl, state.target_left, kWeightCoef);
    wr = smooth(wr, state.target_right, kWeightCoef);
    const float x = (capture_left[i] * wl + capture_right[i] * wr) * open_gain;
    const float y = x - x_prev + kDcPole * y_prev;
    x_prev = x;
    y_prev = y;
    g = smooth(g, gain_target, kMicGainCoef);
    const float gy = g * y;
    sum_sq += gy * gy;
    peak = max_f(peak, abs_f(gy));
    mic[i] = y;
  }
  state.weight_left = wl;
  state.weight_right = wr;
  state.dc_x_prev = x_prev;
  state.dc_y_prev = y_prev;
  state.mic_gain = g;

  // The gate decides once per block on the gained level and opens fast, closes slowly.
  const float rms = n > 0 ? std::sqrt(sum_sq / static_cast<float>(n)) : 0.0f;
  const bool loud = rms > state.gate_rms_threshold || peak > state.gate_peak_threshold ||
                    (state.gate > kGateHoldLevel && rms > state.gate_hold_threshold);
  const float gate_target = loud ? 1.0f : state.gate_floor;
  float gate = state.gate;
  for (std::size_t i = 0; i < n; ++i) {
    gate = smooth(gate, gate_target, gate_target > gate ? kGateUpCoef : kGateDownCoef);
    mic[i] *= gate;
  }
  state.gate = gate;

  flush(state.dc_x_prev);
  flush(state.dc_y_prev);
  flush(state.mic_gain);
  flush(state.gate);

  return ChainGains{open ? max_f(state.mic_gain, 0.01f) : 0.0f, controls.music_gain, rms};
}

MixInputs routing_mix_inputs(std::span<const float> capture_left, std::span<const float> capture_right,
                             std::span<const float> mic, std::span<const float> out_left,
                             std::span<const float> out_right,
                             const std::array<std::vector<float>, 6>& stems) noexcept {
  return MixInputs{capture_left, capture_right, mic,      out_left, out_right, stems[0],
                   stems[1],     stems[2],      stems[3], stems[4], stems[5]};
}

MixMeterSums routing_mix_block(RoutingMixState& state, const MixControls& controls, const MixInputs& in,
                               const MixOutputs& out) noexcept {
  const std::size_t n =
      smallest({in.capture_left.size(), in.capture_right.size(), in.mic.size(), in.out_left.size(),
                in.out_right.size(), in.voice_left.size(), in.voice_right.size(), in.accomp_left.size(),
                in.accomp_right.size(), in.backing_left.size(), in.backing_right.size(), out.primary.size(),
                out.backing.size(), out.monitor.size(), out.bus.size(), out.rec_mix.size(),
                out.rec_vocal.size(), out.rec_dry_mic.size()});

  const RoutingMode mode = controls.mode;
  const float f = mode == RoutingMode::Vocal ? kVocalMonitorFactor : 1.0f;
  const float master_target = controls.master_gain;
  const float music_target = f * controls.monitor_gain;
  const float voice_target = !controls.monitor_enabled ? 0.0f
                             : state.webcam_input      ? kWebcamVoiceMonitor * controls.monitor_gain
                                                       : f * controls.monitor_gain;
  const bool monitor_on = controls.monitor_enabled;
  const bool webcam = state.webcam_input;
  const bool muted = controls.muted;
  const float g = state.mic_gain;

  float m = state.master;
  float k = state.music_monitor;
  float v = state.voice_monitor;
  float m1 = state.monitor_m1;
  float m2 = state.monitor_m2;
  MixMeterSums sums;
  sums.frames = n;

  for (std::size_t i = 0; i < n; ++i) {
    m = smooth(m, master_target, kFrameCoef);
    k = smooth(k, music_target, kFrameCoef);
    v = smooth(v, voice_target, kFrameCoef);

    const StereoFrame backing = sc_pair(in.backing_left[i] * m, in.backing_right[i] * m);
    const StereoFrame mix = sc_pair(in.out_left[i] * m, in.out_right[i] * m);
    const float dry = routing_soft_clip(in.mic[i] * m);

    StereoFrame primary;
    StereoFrame monitor;
    StereoFrame bus;
    switch (mode) {
      case RoutingMode::RawMic:
        primary = {dry, dry};
        monitor = sc_pair(dry * v + backing.left * k, dry * v + backing.right * k);
        bus = {dry, dry};
        break;
      case RoutingMode::DawVocal: {
        const float el = routing_soft_clip(in.capture_left[i] * g * m);
        const float er = routing_soft_clip(in.capture_right[i] * g * m);
        primary = {el, er};
        monitor = sc_pair(el * v, er * v);
        bus = sc_pair(in.voice_left[i] * m, in.voice_right[i] * m);
        break;
      }
      case RoutingMode::Vocal:
      case RoutingMode::Program:
        if (mode == RoutingMode::Vocal) {
          // The voice alone, narrowed towards the centre.
          const float a = in.voice_left[i] * m * kVocalProgramGain;
          const float b = in.voice_right[i] * m * kVocalProgramGain;
          const float mid = (a + b) / 2.0f;
          const float side = (a - b) / 2.0f * kVocalWidth;
          primary = sc_pair(mid + side, mid - side);
        } else {
          primary = mix;
        }
        if (!monitor_on) {
          monitor = sc_pair(in.backing_left[i] * k, in.backing_right[i] * k);
        } else if (webcam) {
          // A webcam mic near the speakers: voice kept lower than the track.
          monitor = sc_pair(in.voice_left[i] * v + in.accomp_left[i] * k,
                            in.voice_right[i] * v + in.accomp_right[i] * k);
        } else {
          monitor = sc_pair(in.out_left[i] * k, in.out_right[i] * k);
        }
        bus = mix;
        break;
    }
    if (muted) primary = {0.0f, 0.0f};

    out.primary[i] = primary;
    out.backing[i] = backing;
    out.monitor[i] = monitor;
    out.bus[i] = bus;
    out.rec_mix[i] = mix;
    out.rec_vocal[i] = sc_pair(in.voice_left[i] * m, in.voice_right[i] * m);
    out.rec_dry_mic[i] = {dry, dry};

    sums.primary_sum_sq += 0.5f * (primary.left * primary.left + primary.right * primary.right);
    sums.primary_peak = max_f(sums.primary_peak, max_f(abs_f(primary.left), abs_f(primary.right)));
    sums.backing_sum_sq += 0.5f * (backing.left * backing.left + backing.right * backing.right);
    sums.backing_peak = max_f(sums.backing_peak, max_f(abs_f(backing.left), abs_f(backing.right)));
    const float mono = (monitor.left + monitor.right) / 2.0f;
    const float d2 = mono - 2.0f * m1 + m2;
    sums.monitor_sum_sq += mono * mono;
    sums.monitor_diff_sum_sq += d2 * d2;
    sums.monitor_peak = max_f(sums.monitor_peak, max_f(abs_f(monitor.left), abs_f(monitor.right)));
    m2 = m1;
    m1 = mono;
  }

  state.master = m;
  state.music_monitor = k;
  state.voice_monitor = v;
  state.monitor_m1 = m1;
  state.monitor_m2 = m2;
  flush(state.master);
  flush(state.music_monitor);
  flush(state.voice_monitor);
  return sums;
}

}  // namespace melodara
