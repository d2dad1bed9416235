#include "dsp/denoise_gate.h"

#include <cmath>
#include <initializer_list>
#include <limits>

#include "dsp/dsp_math.h"

namespace melodara {

DenoiseGateBlock denoise_gate_prepare(const DspParams& p, float input_gain) noexcept MELODARA_NONBLOCKING {
  DenoiseGateBlock b;
  b.input_gain = min_f(max_f(input_gain, 0.5f), 4.0f);
  b.inv_input_gain = 1.0f / b.input_gain;
  b.gate_level = std::pow(10.0f, clamp_f(p.denoise_gate_db, -62.0f, -24.0f) / 20.0f);
  b.param_floor = 0.335f * b.gate_level;
  // A strength that is not a number leaves tc_ns1_amount alone: max_f ignores it.
  const float amount = clamp_f(max_f(p.tc_ns1_amount, 0.85f * p.denoise_strength), 0.0f, 0.95f);
  b.floor_base = 0.2f * (1.0f - amount);
  b.active = p.gate_enabled || p.denoise_enabled;
  return b;
}

namespace {

inline bool is_finite(float v) { return std::fabs(v) <= std::numeric_limits<float>::max(); }

// The analysis words after a non-finite sample: each non-finite one becomes 0.
void clear_non_finite(DenoiseGateState& s) noexcept {
  for (float* w : {&s.level, &s.hp1, &s.hp2, &s.voice_smooth1, &s.voice_band, &s.high_smooth, &s.high_power,
                   &s.voice_power}) {
    *w = finite_or_zero(*w);
  }
}

}  // namespace

InputAnalysis input_analysis_sample(DenoiseGateState& s, const DenoiseGateBlock& b, float x,
                                    float pitch_hz) noexcept MELODARA_NONBLOCKING {
  const float ax = std::fabs(x);
  s.level = ax > s.level ? 0.9958f * s.level + 0.0042f * ax : 0.99975f * s.level + 0.00025f * ax;

  // Two DC blockers, then a voice band (two smoothers) and a high band.
  s.hp1 = 0.9765f * (s.hp1 + x - s.hp1_in);
  s.hp1_in = x;
  s.hp2 = 0.9755f * (s.hp2 + s.hp1 - s.hp2_in);
  s.hp2_in = s.hp1;
  s.voice_smooth1 = 0.805f * s.voice_smooth1 + 0.195f * s.hp2;
  s.voice_band = 0.805f * s.voice_band + 0.195f * s.voice_smooth1;
  s.high_smooth = 0.75f * s.high_smooth + 0.25f * s.hp2;
  const float high = s.hp2 - s.high_smooth;

  const float qh = high * high;
  s.high_power =
      qh > s.high_power ? 0.996f * s.high_power + 0.004f * qh : 0.999f * s.high_power + 0.001f * qh;
  const float qv = s.voice_band * s.voice_band;
  s.voice_power =
      qv > s.voice_power ? 0.9965f * s.voice_power + 0.0035f * qv : 0.9992f * s.voice_power + 0.0008f * qv;
  // A non-finite input (or an overflow) must not stay in these recursions. Every
  // word of the bands runs into one of the two powers within the sample, so a test
  // of those and the level finds it; only then are the words cleared, each
  // non-finite one to 0. Finite values are never touched.
  if (!(is_finite(s.level) && is_finite(s.high_power) && is_finite(s.voice_power))) clear_non_finite(s);
  const float e = s.level;
  const float rh = std::sqrt(s.high_power + 1e-16f);
  const float rv = std::sqrt(s.voice_power + 1e-16f);
  const float g_inv = b.inv_input_gain;

  const float qn = clamp_f((0.0095f - rv * g_inv) / 0.0045f, 0.0f, 1.0f);
  const bool voiced = pitch_hz > 65.0f;
  const bool unvoiced = !(pitch_hz > 0.0f);
  if (voiced || (rv * g_inv > 0.0022f && rv > 1.15f * rh)) {
    s.voice_activity = min_f(0.996f * s.voice_activity + 0.004f, 1.0f);
  } else {
    s.voice_activity *= 0.99986f;
  }
  if (s.voice_activity < 0.2f && 2.7f * rv > rh && unvoiced && ax > 2.85f * e + 0.0014f) {
    s.impulse = 1.0f;
  } else {
    s.impulse *= 0.99915f;
  }
  float hs = 0.0f;
  if (rh > 2.7f * rv && rh > 0.0024f && e * g_inv > 0.00105f && s.impulse < 0.25f) {
    hs = clamp_f((rh * g_inv - 0.0013f) / 0.0004f, 0.0f, 1.0f);
  }

  const float n = hs > 0.01f ? 2.4f * (rv + 1.4f * hs * rh) : 2.4f * max_f(rv - 0.98f * qn * rh, 0.0f);
  s.detector_level = n;
  const float r = n * g_inv;

  // The floor falls towards quieter detector levels and creeps up (about 1.7 dB a
  // second) only while no pitch is heard, so a held note never raises it.
  if (s.noise_floor > r) {
    s.noise_floor = clamp_f(0.999f * s.noise_floor + 0.001f * r, 0.00018f, 0.0022f);
  } else if (unvoiced && r < 2.1f * s.noise_floor) {
    s.noise_floor = clamp_f(1.00000405f * s.noise_floor, 0.00018f, 0.0022f);
  }

  return InputAnalysis{e, e * g_inv, s.hp1, rv, rh, qn, hs, n, r};
}

GateSample denoise_gate_sample(DenoiseGateState& s, const DenoiseGateBlock& b, const InputAnalysis& in,
                               float y) noexcept MELODARA_NONBLOCKING {
  const float e = in.level;
  const float rv = in.voice_rms, rh = in.high_rms, qn = in.quietness, hs = in.sibilance;
  const float va = s.voice_activity;
  const float gp = s.gate_gain;

  // Floor gain, lower in a pause whose high band is mostly hiss.
  const bool hissy_pause = qn > 0.5f && hs <= 0.05f && rh > 0.76f * rv;
  const float floor_gain = b.floor_base * (hissy_pause ? 0.12f : 1.0f);

  const float th0 = clamp_f(max_f(2.6f * s.noise_floor, b.param_floor), 0.0024f, 0.0027f);
  const float th = ((va > 0.15f && gp > 0.25f) || hs > 0.15f) ? 0.6f * th0 : th0;
  const float hold = (e > 0.008f && in.detector < 0.35f * e && gp < 0.48f) ? 0.0f : 1.0f;

  const float a0 = clamp_f((in.detector / max_f(0.9f * e, 0.00001f) - 0.35f) / 0.24f, 0.0f, 1.0f);
  const float a1 = clamp_f((in.detector_raw - th) / max_f(0.25f * th, 0.00001f), 0.0f, 1.0f);
  const float z = a0 * a1;
  const float open = z * z * (3.0f - 2.0f * z);
  const float w = clamp_f(max_f(open, hold * min_f(1.45f * gp, 1.0f)), 0.0f, 1.0f);

  const float target = b.active ? floor_gain + (1.0f - floor_gain) * open : 1.0f;
  float keep = 0.9992f, take = 0.0008f;  // about 26 ms
  if (target > gp) {
    if (open > 0.05f) {
      keep = 0.99f, take = 0.01f;  // 2.1 ms
    } else {
      keep = 0.9952f, take = 0.0048f;  // 4.3 ms
    }
  } else if (gp > 0.26f && (hs > 0.2f || va > 0.15f)) {
    keep = 0.99991f, take = 0.00009f;  // 231 ms: hold through the voice's own dips
  } else if (hs <= 0.05f && va <= 0.15f) {
    keep = 0.9982f, take = 0.0018f;  // 11.6 ms
  } else if (qn > 0.5f && hs <= 0.05f && rh > 0.72f * rv) {
    keep = 0.9992f, take = 0.0008f;
  } else if (gp >= 0.22f) {
    keep = 0.99986f, take = 0.00014f;  // 149 ms
  }
  s.gate_gain = keep * gp + take * target;

  // While the singer is absent the voice is the high-passed input at the floor gain.
  const float d = ((1.0f - w) * in.high_pass + w * y) * s.gate_gain;
  return GateSample{d, s.gate_gain, e, in.raw_level, floor_gain, va, hs, w, b.active};
}

}  // namespace melodara
