#include "dsp/dynamics.h"

#include <cmath>
#include <numbers>

#include "dsp/dsp_math.h"

namespace melodara {
namespace {

// One-pole coefficient of a time constant in ms at 48 kHz.
inline float pole_of_ms(float ms) { return std::exp(-1.0f / (48.0f * ms)); }

inline float follow(float state, float input, float keep) { return keep * state + (1.0f - keep) * input; }

// The de-esser detector: band-pass with a 0 dB peak at 5,506 Hz, Q 1.35.
constexpr Biquad kDeesserDesign{0.19641328f, 0.0f, -0.19641328f, -1.2075043f, 0.6071734f};

}  // namespace

DynamicsBlock dynamics_prepare(const DspParams& p, Biquad& deesser_detector) noexcept MELODARA_NONBLOCKING {
  DynamicsBlock b;

  // Faster dynamics at higher tempos: release times around a sixteenth note.
  const float bpm = clamp_f(p.bpm, 40.0f, 200.0f);
  const float u = clamp_f((bpm - 95.0f) / 35.0f, -1.0f, 1.0f);
  const float sixteenth_ms = 15000.0f / clamp_f(bpm, 60.0f, 160.0f);
  b.release_fast = pole_of_ms(clamp_f(0.62f * sixteenth_ms, 78.0f, 114.0f));
  b.release_slow = pole_of_ms(clamp_f(1.08f * sixteenth_ms, 140.0f, 190.0f));
  b.attack = pole_of_ms(clamp_f(10.0f - 2.0f * u, 7.8f, 12.5f));
  b.release_span = b.release_slow - b.release_fast;
  b.attack_take = 1.0f - b.attack;
  b.release_take = 1.0f - b.release_fast;

  b.pre_comp_exponent = 0.4f * (1.0f - 1.0f / clamp_f(p.pre_comp_ratio, 1.0f, 4.0f));
  const float deesser_pre = 0.38f * std::pow(10.0f, clamp_f(p.tc_deesser_pre_db, -40.0f, -6.0f) / 20.0f);
  b.deesser_floor = max_f(deesser_pre, 0.015f);
  b.deesser_amount = max_f(p.deesser_amount, 0.42f);
  b.deesser2_amount = p.deesser_amount * 2.8f;

  const float character = clamp_f(0.65f * max_f(clamp_f(p.tc_cla3a_peak_red, 0.0f, 10.0f) / 5.1f, 0.25f) +
                                      0.35f * max_f(-clamp_f(p.tc_rvox_comp_db, -24.0f, 0.0f) / 8.0f, 0.35f),
                                  0.4f, 1.65f);
  const float makeup_base = 6.6f * clamp_f(character, 0.65f, 1.35f);
  const float threshold = std::pow(10.0f, clamp_f(p.comp_thresh_db, -40.0f, -3.0f) / 20.0f);
  const float centre = min_f(0.155f, max_f(0.68f * threshold / std::sqrt(character), 0.064f));
  b.knee_start = 0.64f * centre;
  b.knee_end = 1.48f * centre;
  b.knee_width = max_f(b.knee_end - b.knee_start, 0.0001f);
  const float ratio = clamp_f(p.comp_ratio + clamp_f(u / 4.0f, -0.2f, 0.35f), 1.5f, 8.0f);
  b.slope = clamp_f(1.0f - 1.0f / ratio, 0.33f, 0.85f);
  b.knee_joint = std::pow(b.knee_start / b.knee_end, 0.5f * b.slope);
  // The user's makeup is held to +-24 dB so that its exponential stays finite.
  const float makeup_db = 0.52f * clamp_f(p.comp_makeup_db, -24.0f, 24.0f) + makeup_base;
  b.makeup_ln = makeup_db * (std::numbers::ln10_v<float> / 20.0f);

  b.track_boost =
      p.beat_volume <= 0.85f ? 1.0f : clamp_f(std::pow(p.beat_volume / 0.78f, 1.85f), 1.0f, 1.62f);
  b.punch = clamp_f(p.tc_vitamin_punch, 0.0f, 1.0f);
  b.punch_voice_gain = 1.0f + 0.065f * b.punch;
  b.punch_voice_low = 0.1f * b.punch;
  b.punch_track_gain = 1.0f + 0.035f * b.punch;
  b.punch_track_low = 0.05f * b.punch;
  b.punch_side_high = 0.12f * b.punch;

  b.pre_comp = p.pre_comp_enabled;
  b.deesser = p.deesser_enabled;
  b.deesser2 = p.deesser_enabled && p.tc_pultronic_enabled && p.deesser_amount > 0.01f;
  b.compressor = p.comp_enabled;
  b.punch_on = p.audio_chain_mode == 1 && p.tc_vitamin_enabled;

  biquad_set_coefficients(deesser_detector, kDeesserDesign);
  return b;
}

float pre_comp_sample(const DynamicsBlock& b, float x, float e) noexcept MELODARA_NONBLOCKING {
  if (!b.pre_comp || !(e > 0.38f)) return x;
  return x * max_f(std::pow(0.38f / e, b.pre_comp_exponent), 0.65f);
}

float deesser_sample(DynamicsState& s, const DynamicsBlock& b, Biquad& detector, float x, float e,
                     ReductionGains& gains) noexcept MELODARA_NONBLOCKING {
  // The detector and its envelope run with the stage off, so it starts settled.
  const float y = biquad_process(detector, x);
  const float ay = std::fabs(y);
  s.deesser_env = follow(s.deesser_env, ay, ay > s.deesser_env ? 0.986f : 0.9994f);
  const float th = max_f(0.15f * e, b.deesser_floor);
  if (!b.deesser || !(s.deesser_env > th)) return x;
  const float over = s.deesser_env - th;
  const float a = b.deesser_amount;
  const float k = min_f(max_f(max_f(7.2f * over * a, 0.36f * (over / th) * a), 0.0f), 0.6f);
  gains.deesser *= max_f(1.0f - 0.88f * k, 0.15f);
  return x - k * y;
}

float compressor_sample(DynamicsState& s, const DynamicsBlock& b, float x, const GateSample& gate,
                        float track_level, ReductionGains& gains) noexcept MELODARA_NONBLOCKING {
  if (!b.compressor) return x;

  // Makeup weight: how far the gate stands above its floor, times the voice's presence.
  const float f = gate.floor_gain;
  const float o = clamp_f((gate.gain - f) / max_f(1.0f - f, 0.1f), 0.0f, 1.0f);
  const float t = min_f(3.8f * o, 1.0f);
  const float presence = gate.active ? clamp_f(max_f(gate.voice_hold, gate.onset), 0.0f, 1.0f) : 1.0f;
  const float w = t * t * (3.0f - 2.0f * t) * presence;

  const float ax = std::fabs(x);
  s.comp_slow_level = ax > s.comp_slow_level ? 0.99975491f * s.comp_slow_level + 0.00024509f * ax
                                             : 0.99990529f * s.comp_slow_level + 0.0000947118f * ax;
  const float slow = s.comp_slow_level;
  if (ax > s.comp_env) {
    s.comp_env = b.attack * s.comp_env + b.attack_take * ax;
  } else {
    // A voice that stays loud releases slowly; a short peak over a quiet voice fast.
    const float z = clamp_f(slow / (s.comp_env + 0.0001f) - 0.35f, 0.0f, 1.0f);
    s.comp_env = follow(s.comp_env, ax, b.release_fast + z * b.release_span);
  }
  const float env = s.comp_env;

  float g = 1.0f;
  if (env >= b.knee_end) {
    g = std::pow(b.knee_end / env, b.slope) * b.knee_joint;
  } else if (env > b.knee_start) {
    const float v = clamp_f((env - b.knee_start) / b.knee_width, 0.0f, 1.0f);
    g = std::pow(b.knee_start / env, 0.5f * b.slope * v * v * (3.0f - 2.0f * v));
  }
  g = max_f(g, 0.34f);
  if (env > 0.33f) g *= max_f(std::sqrt(std::sqrt(0.33f / env)), 0.78f);  // peak stage
  g = max_f(g, 0.26f);
  gains.compressor = g;

  // Vocal rider: lifts a quiet voice, and the voice over a loud backing track.
  float target = 1.0f;
  if (w > 0.15f) {
    const float c = gate.active ? clamp_f(gate.confidence, 0.0f, 1.0f) : 1.0f;
    if (slow < 0.036f) target += clamp_f((0.036f - slow) / 0.028f, 0.0f, 1.0f) * 0.28f * w * c;
    if (track_level >= 0.01f) target += c * 0.18f * clamp_f((track_level - 0.02f) / 0.14f, 0.0f, 1.0f);
    target = clamp_f(target, 0.98f, 1.46f);
  }
  if (std::fabs(target - s.rider_target) < 0.015f) target = s.rider_target;
  const float cs = target > s.rider_target ? 0.00025f : 0.0001f;
  s.rider_target += cs * (target - s.rider_target);
  s.rider_gain += cs * (s.rider_target - s.rider_gain);

  // The weight sits still while a voice holds the gate open: reuse its exponential.
  const float exponent = w * b.makeup_ln;
  if (exponent != s.makeup_exponent) {
    s.makeup_exponent = exponent;
    s.makeup_gain = std::exp(exponent);
  }
  return x * g * s.makeup_gain * s.rider_gain;
}

float second_deesser_sample(const DynamicsBlock& b, float x, float band, float band_level, float e,
                            ReductionGains& gains) noexcept MELODARA_NONBLOCKING {
  if (!b.deesser2) return x;
  const float th = max_f(0.36f * e, 0.045f);
  if (!(band_level > th)) return x;
  const float k = min_f(max_f(b.deesser2_amount * (band_level - th), 0.0f), 0.28f);
  gains.deesser *= max_f(1.0f - 0.88f * k, 0.15f);
  return x - k * band;
}

void level_stage_sample(DynamicsState& s, const DynamicsBlock& b, const PunchSections& punch,
                        LevelStagePairs& pairs, float track_level) noexcept MELODARA_NONBLOCKING {
  StereoSample& voice = pairs.voice;
  const float peak = max_f(std::fabs(voice.left), std::fabs(voice.right));
  const FollowerRates rates{b.attack, b.attack_take, b.release_fast, b.release_take};
  s.voice_peak = follow(s.voice_peak, peak, rates);
  const float f = s.voice_peak;

  float gain = 1.0f;
  if (track_level > 0.006f) {
    // Pull the voice towards a level that follows the track.
    const float a2 = clamp_f(track_level, 0.042f, 0.185f);
    const float target = clamp_f(1.18f * a2 * b.track_boost, 0.062f, 0.215f);
    gain = clamp_f(pow_memo(s.track_pull, a2 / 0.112f, 0.46f) * b.track_boost, 0.6f, 1.48f);
    if (f > target) gain *= clamp_f(std::pow(target / max_f(f, 0.0001f), 0.26f), 0.64f, 1.0f);
    gain = clamp_f(gain, 0.6f, 1.48f);
  } else if (f > 0.38f) {
    const float o = f - 0.38f;
    gain = clamp_f((0.38f + 0.2f * o / (o + 0.2f)) / max_f(f, 0.0001f), 0.55f, 1.0f);  // ceiling near 0.58
  }
  voice.left *= gain;
  voice.right *= gain;

  if (!b.punch_on) return;
  const float voice_low = biquad_process(punch.voice_low, 0.5f * (voice.left + voice.right));
  const StereoSample track = pairs.track;
  const float track_low = biquad_process(punch.track_low, 0.5f * (track.left + track.right));
  const float track_side_high = 0.5f * (biquad_process(punch.side_high_left, track.left) -
                                        biquad_process(punch.side_high_right, track.right));

  const float voice_gain = b.punch_voice_gain, voice_add = b.punch_voice_low * voice_low;
  voice.left = voice.left * voice_gain + voice_add;
  voice.right = voice.right * voice_gain + voice_add;

  const float track_gain = b.punch_track_gain;
  const float track_add = b.punch_track_low * track_low, side_add = b.punch_side_high * track_side_high;
  for (StereoSample* pair : {&pairs.track, &pairs.undocked}) {
    pair->left = pair->left * track_gain + track_add + side_add;
    pair->right = pair->right * track_gain + track_add - side_add;
  }
}

void deesser_run(DynamicsState& s, const DynamicsBlock& b, Biquad& detector, std::span<float> voice,
                 std::span<const GateSample> gate,
                 std::span<float> deesser_gain) noexcept MELODARA_NONBLOCKING {
  for (std::size_t j = 0; j < voice.size(); ++j) {
    const float e = gate[j].level;
    ReductionGains gains;
    voice[j] = deesser_sample(s, b, detector, pre_comp_sample(b, voice[j], e), e, gains);
    deesser_gain[j] = gains.deesser;
  }
}

float compressor_run(DynamicsState& s, const DynamicsBlock& b, std::span<float> voice,
                     std::span<const GateSample> gate, float track_level,
                     std::span<const float> track_after) noexcept MELODARA_NONBLOCKING {
  float least = 1.0f;
  for (std::size_t j = 0; j < voice.size(); ++j) {
    ReductionGains gains;
    const float track_before = j == 0 ? track_level : track_after[j - 1];
    voice[j] = compressor_sample(s, b, voice[j], gate[j], track_before, gains);
    least = min_f(least, gains.compressor);
  }
  return least;
}

float second_deesser_run(const DynamicsBlock& b, std::span<float> voice, std::span<const float> air_band,
                         std::span<const float> air_level, std::span<const GateSample> gate,
                         std::span<const float> deesser_gain) noexcept MELODARA_NONBLOCKING {
  float least = 1.0f;
  for (std::size_t j = 0; j < voice.size(); ++j) {
    ReductionGains gains{deesser_gain[j], 1.0f};
    voice[j] = second_deesser_sample(b, voice[j], air_band[j], air_level[j], gate[j].level, gains);
    least = min_f(least, gains.deesser);
  }
  return least;
}

}  // namespace melodara
