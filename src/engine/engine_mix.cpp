#include "engine/engine_mix.h"

#include <cmath>

namespace melodara {
namespace {

// max that keeps `a` when `b` is NaN, inline (std::fmax is a library call).
inline float larger(float a, float b) { return b > a ? b : a; }

inline void toward(float& value, float target, float coef) { value += (target - value) * coef; }

inline StereoFrame sc(float l, float r) { return {engine_soft_clip(l), engine_soft_clip(r)}; }

}  // namespace

float engine_soft_clip(float x) {
  const float a = std::fabs(x);
  if (!(a > 0.95f)) return x;  // NaN passes too
  const float h = a - 0.95f;
  return std::copysign(0.95f + h / (h + 0.035f) * 0.035f, x);
}

WebcamGateConstants webcam_gate_constants(bool webcam_input) {
  if (!webcam_input) return {};
  return {0.0045f, 0.0045f * 1.6f, 0.002f, 0.58f};
}

float prepare_mic_block(MixState& s, const MixControls& c, std::span<const float> capture_l,
                        std::span<const float> capture_r, std::span<float> mic) {
  const std::size_t n = mic.size();
  float peak_l = 0.0f, peak_r = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    peak_l = larger(peak_l, std::fabs(capture_l[i]));
    peak_r = larger(peak_r, std::fabs(capture_r[i]));
  }
  if (larger(peak_l, peak_r) > 0.004f) {
    if (0.25f * peak_l > peak_r) s.target_l = 1.0f, s.target_r = 0.0f;
    else if (0.25f * peak_r > peak_l) s.target_l = 0.0f, s.target_r = 1.0f;
    else s.target_l = s.target_r = 0.5f;
  }
  const bool open = !c.input_muted && c.running;
  const float mic_target = open ? c.mic_gain : 0.0f;
  double sum = 0.0;
  float peak = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    toward(s.weight_l, s.target_l, 0.0025f);
    toward(s.weight_r, s.target_r, 0.0025f);
    const float x = open ? capture_l[i] * s.weight_l + capture_r[i] * s.weight_r : 0.0f;
    const float y = x - s.dc_x + 0.9975f * s.dc_y;
    s.dc_x = x;
    s.dc_y = y;
    toward(s.mic, mic_target, 0.004f);
    mic[i] = y;
    const float level = s.mic * y;
    sum += double(level) * level;
    peak = larger(peak, std::fabs(level));
  }
  const float rms = n ? float(std::sqrt(sum / double(n))) : 0.0f;
  const WebcamGateConstants& k = s.gate_constants;
  const bool opens = rms > k.rms_threshold || peak > k.peak_threshold ||
                     (s.gate > 0.68f && rms > k.hold_threshold);
  const float target = opens ? 1.0f : k.floor;
  for (std::size_t i = 0; i < n; ++i) {
    toward(s.gate, target, target > s.gate ? 0.085f : 0.0002f);
    mic[i] *= s.gate;
  }
  return open ? larger(0.01f, s.mic) : 0.0f;
}

FrameMix mix_program_frame(MixState& s, const MixControls& c, const VocalDsp& engine,
                           float out_l, float out_r, float y, std::size_t i) {
  toward(s.master, c.master_gain, 0.004f);
  toward(s.music_monitor, c.monitor_gain, 0.004f);
  const float voice_target =
      !c.monitor_enabled ? 0.0f : (s.webcam_input ? 0.72f : 1.0f) * c.monitor_gain;
  toward(s.voice_monitor, voice_target, 0.004f);
  const float m = s.master, k = s.music_monitor, v = s.voice_monitor;

  const float vl = engine.stems[0][i], vr = engine.stems[1][i];
  const float al = engine.stems[2][i], ar = engine.stems[3][i];
  const float bl = engine.stems[4][i], br = engine.stems[5][i];

  FrameMix f;
  f.backing = sc(bl * m, br * m);
  f.record_mix = sc(out_l * m, out_r * m);
  f.primary = c.muted ? StereoFrame{} : f.record_mix;
  if (!c.monitor_enabled) f.monitor = sc(bl * k, br * k);
  else if (s.webcam_input) f.monitor = sc(vl * v + al * k, vr * v + ar * k);
  else f.monitor = sc(out_l * k, out_r * k);
  f.bus = f.record_mix;
  f.record_vocal = sc(vl * m, vr * m);
  f.record_dry = engine_soft_clip(y * m);
  return f;
}

}  // namespace melodara
