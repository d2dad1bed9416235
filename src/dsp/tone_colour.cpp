#include "dsp/tone_colour.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "dsp/dsp_math.h"

namespace melodara {
namespace {

constexpr FollowerRates kMudRates{0.9965f, 0.0035f, 0.9998f, 0.0002f};
constexpr FollowerRates kPresenceLowRates{0.9965f, 0.0035f, 0.99978f, 0.00022f};
constexpr FollowerRates kPresenceHighRates{0.996f, 0.004f, 0.99975f, 0.00025f};
constexpr FollowerRates kBassRates{0.9982f, 0.0018f, 0.99987f, 0.00013f};
constexpr FollowerRates kAirRates{0.985f, 0.015f, 0.9994f, 0.0006f};

// The presence cuts move in gain only.
const PeakingShape kCutLowShape = peaking_shape(1450.0, 0.65);
const PeakingShape kCutHighShape = peaking_shape(2650.0, 0.65);

inline float smoothstep(float u) { return u * u * (3.0f - 2.0f * u); }

inline void design(Biquad& section, const Biquad& design) { biquad_set_coefficients(section, design); }

inline float run_series(std::span<Biquad> sections, float x) {
  for (Biquad& s : sections) x = biquad_process(s, x);
  return x;
}

// Cut in dB (0 or below) of the air shelf when the air band is loud, or a small lift
// for a quiet, dull voice. The cut is full at 3.5 times the threshold.
float air_compensation(const DspParams& p, float air_level, float gate_gain, float level) {
  if (!p.air_compensator_enabled) return 0.0f;
  const float s = clamp_f(p.air_sensitivity, 0.1f, 1.0f);
  const float threshold = max_f((1.2f - 0.5f * s) * 0.068f, 0.042f);
  if (air_level > threshold) {
    const float r = max_f((air_level - threshold) / (2.5f * threshold), 0.0f);
    return -min_f(r, 1.0f) * clamp_f(p.air_max_comp_db, 0.5f, 2.0f);
  }
  if (gate_gain > 0.65f && level > 0.012f) {
    return clamp_f(min_f(max_f(0.16f - level, 0.0f), 0.12f) / 0.12f * (0.3f + 0.2f * s), 0.0f, 0.5f);
  }
  return 0.0f;
}

void design_echo_filters(const EchoFeedbackFilters& echo, const DspParams& p, float wobble_phase,
                         bool sweeping) MELODARA_NONBLOCKING {
  const float highpass = clamp_f(p.delay_hp_hz, 210.0f, 1000.0f);
  const float user_lowpass = clamp_f(p.delay_lp_hz, 1400.0f, 6200.0f);
  float lowpass = std::isnan(p.autodj_filter_cutoff_hz)
                      ? user_lowpass
                      : min_f(user_lowpass, clamp_f(p.autodj_filter_cutoff_hz, 400.0f, 18000.0f));
  if (sweeping) {
    const float sweep = std::sin(2.0f * std::numbers::pi_v<float> * wobble_phase);
    lowpass = clamp_f(2200.0f + 1450.0f * sweep, 750.0f, 4800.0f);
  }
  const Biquad hp = biquad_highpass(highpass, 0.707);
  const Biquad lp = biquad_lowpass(lowpass, 0.707);
  design(echo.highpass_left, hp);
  design(echo.highpass_right, hp);
  design(echo.lowpass_left, lp);
  design(echo.lowpass_right, lp);
}

// A steady tone in the microphone block (a sine-like crest, the same estimate as
// the block before) deepens the two notches at its frequency and its octave; after
// the howl has been gone for as many blocks as it lasted, they fade out.
void track_howl(ToneState& s, const ToneSections& sec, std::span<const float> mic, float input_gain,
                float level) MELODARA_NONBLOCKING {
  const std::size_t n = mic.size();
  if (n < 32) return;
  const float g = clamp_f(input_gain, 0.5f, 4.0f);
  std::size_t crossings = 0;
  float sum = 0.0f, peak = 0.0f;
  bool previous_negative = false;
  for (std::size_t j = 1; j < n; ++j) {
    const float d = g * (mic[j] - mic[j - 1]);
    const bool negative = d < 0.0f;
    if (j > 1 && negative != previous_negative) ++crossings;
    previous_negative = negative;
    sum += d * d;
    peak = max_f(peak, std::fabs(d));
  }
  const float count = static_cast<float>(n - 1);
  const float f = static_cast<float>(crossings) * 48000.0f / (2.0f * count);
  const float rms = std::sqrt(sum / count);
  const bool howl = rms > 0.0022f && peak / (rms + 0.0000001f) < 1.48f && f >= 700.0f && f <= 7800.0f &&
                    std::fabs(f - s.howl_freq) < 14.0f && (0.24f * level > s.mud_level || f > 1450.0f);
  s.howl_freq = f;

  std::array<float, 2>& freqs = sec.notch_freqs;
  if (howl) {
    s.howl_count = std::min<std::uint32_t>(s.howl_count + 1, 40);
    if (s.howl_count >= 3) {
      freqs[0] = clamp_f(0.7f * freqs[0] + 0.3f * f, 700.0f, 7800.0f);
      freqs[1] = clamp_f(2.0f * freqs[0], 1400.0f, 12000.0f);
      s.notch_gain_a = max_f(s.notch_gain_a - 2.8f, -15.0f);
      s.notch_gain_b = max_f(s.notch_gain_b - 1.5f, -8.0f);
    }
  } else {
    if (s.howl_count > 0) --s.howl_count;
    if (s.howl_count == 0) {
      s.notch_gain_a = min_f(0.92f * s.notch_gain_a, 0.0f);
      s.notch_gain_b = min_f(0.92f * s.notch_gain_b, 0.0f);
    }
  }
  if (s.notch_gain_a < -0.05f) {
    design(sec.eq.notch_a, biquad_peaking(freqs[0], 14.0, s.notch_gain_a));
    design(sec.eq.notch_b, biquad_peaking(freqs[1], 14.0, s.notch_gain_b));
  }
}

// Every 16th sample: the warmth offset and the two presence cuts follow the voice.
void adapt_bands(ToneState& s, const ToneBlock& b, const VoiceEqSections& sec, float level,
                 float mud_ratio) MELODARA_NONBLOCKING {
  const float high = b.voice_high;
  float warmth_target = 0.0f;
  if (high > 0.2f) {
    warmth_target = min_f(1.4f, 1.35f * high);
  } else if (mud_ratio > 0.42f) {
    warmth_target = max_f(-1.2f, -3.2f * (mud_ratio - 0.42f));
  } else if (level > 0.01f && mud_ratio < 0.24f) {
    warmth_target = min_f(0.85f, 3.5f * (0.24f - mud_ratio));
  }
  s.warmth += 0.06f * (warmth_target - s.warmth);
  design(sec.body, biquad_peaking(b.body_shape, s.warmth + b.body_gain));

  const float mud = s.mud_level, low = s.presence_low, hi = s.presence_high;
  const float bright =
      hi > 0.48f * mud + 0.0006f ? clamp_f((hi / (mud + 0.0006f) - 0.48f) / 0.75f, 0.0f, 1.0f) : 0.0f;
  const float u1 = clamp_f((low - 0.014f) / 0.018f, 0.0f, 1.0f);
  const float u2 = clamp_f((hi - 0.01f) / 0.014f, 0.0f, 1.0f);
  const float strength = clamp_f(max_f(max_f(1.3f * high, u1), max_f(u2, bright)), 0.0f, 1.0f);
  const float reference = max_f(max_f(0.22f * level, mud), 0.003f);
  float target_low = 0.0f, target_high = 0.0f;
  if (strength > 0.01f) {
    const float q1 = low / ((0.56f - 0.24f * strength) * reference);
    if (q1 > 1.0f) target_low = max_f(-7.5f * strength, -13.5f * strength * std::log10(q1));
    const float q2 = hi / ((0.36f - 0.15f * strength) * reference);
    if (q2 > 1.0f) target_high = max_f(-10.0f * strength, -15.0f * strength * std::log10(q2));
  }
  s.cut_low += 0.06f * (target_low - s.cut_low);
  s.cut_high += 0.06f * (target_high - s.cut_high);
  design(sec.cut_low, biquad_peaking(kCutLowShape, s.cut_low));
  design(sec.cut_high, biquad_peaking(kCutHighShape, s.cut_high));
}

}  // namespace

ToneBlock tone_prepare(ToneState& s, const ToneSections& sec, const DspParams& p,
                       const ToneInputs& in) noexcept MELODARA_NONBLOCKING {
  const float fs = in.formant_scale, high = in.voice_high, low = in.voice_low;
  const float mf = max_f(fs, 0.9f);
  const float fn = clamp_f((fs - 0.82f) / 0.22f, 0.0f, 1.0f);

  float vibrato = 0.0f;
  if (p.ngan_giong_vibrato && in.voiced_run > 24000) {
    const float u = static_cast<float>(std::min<std::uint64_t>(in.voiced_run - 24000, 24000)) / 24000.0f;
    vibrato = 0.45f * std::cos(2.0f * std::numbers::pi_v<float> * in.vibrato_phase) * smoothstep(u);
  }
  const float formant_offset = clamp_f(vibrato - 0.45f * p.formant_shift_st, -6.0f, 6.0f);
  const float body_gain =
      clamp_f(0.95f + 0.65f * high - 0.25f * low + 0.45f * p.eq_low_db + formant_offset, -1.5f, 2.4f);
  const float colour_low = clamp_f(0.55f - 0.1f * fn - 0.25f * low, 0.1f, 0.85f);
  const float air = air_compensation(p, s.air_level, in.gate_gain, in.level);

  ToneBlock b;
  b.body_shape = peaking_shape(clamp_f(210.0f * mf + 40.0f * high, 185.0f, 260.0f), 0.7);
  b.body_gain = body_gain;
  b.voice_high = high;

  const VoiceEqSections& eq = sec.eq;
  design(eq.body, biquad_peaking(b.body_shape, s.warmth + body_gain));
  const auto peaking = [](Biquad& section, float hz, double q, float gain_db) {
    design(section, biquad_peaking(hz, q, gain_db));
  };
  peaking(eq.formants[0], clamp_f(335.0f * mf, 295.0f, 365.0f), 1.35,
          clamp_f(0.3f * high - 1.25f - 0.35f * low, -1.75f, -0.6f));
  peaking(eq.formants[1], clamp_f(665.0f * mf, 615.0f, 725.0f), 1.1, -3.25f);
  peaking(eq.formants[2], clamp_f(1620.0f * mf, 1450.0f, 1750.0f), 1.3, -1.75f);
  peaking(eq.formants[3], clamp_f(2550.0f * mf, 2350.0f, 2750.0f), 1.1, -2.75f);
  peaking(eq.formants[4], clamp_f(555.0f * mf, 500.0f, 595.0f), 1.2,
          clamp_f(0.85f * p.tc_q8_515hz_db - 0.4f + 0.35f * high, -2.4f, 0.5f));
  peaking(eq.colour[0], clamp_f(195.0f * mf + 30.0f * high, 170.0f, 240.0f), 0.7, 0.35f * high + colour_low);
  peaking(eq.colour[1], clamp_f(465.0f * mf, 420.0f, 510.0f), 1.35, -1.35f + 0.3f * high);
  peaking(eq.colour[2], 3600.0f, 0.75, clamp_f(0.25f + 0.15f * fn - 0.55f * high, -0.5f, 0.65f));
  peaking(eq.tail_low_mid, clamp_f(480.0f * mf, 435.0f, 520.0f), 1.15,
          clamp_f(0.45f * high - 2.25f, -2.5f, -1.2f));
  peaking(eq.tail_mid, 1450.0f, 0.8,
          clamp_f(-0.65f - 0.85f * high + 0.45f * p.eq_mid_db - 0.25f * vibrato, -2.2f, 0.8f));
  design(sec.tube_air.air_shelf,
         biquad_high_shelf(8500.0,
                           clamp_f(1.35f + 0.3f * p.air_gain_db + 0.25f * p.eq_high_db + air, -3.0f, 3.0f)));
  design(sec.bass.band,
         biquad_bandpass(clamp_f(fs * max_f(p.tc_rbass_freq_hz, 122.0f), 108.0f, 152.0f), 0.95));

  design_echo_filters(sec.echo, p, in.wobble_phase, in.echo_sweep);
  track_howl(s, sec, in.mic, in.input_gain, in.level);

  const float intensity = clamp_f(p.tc_rbass_intensity, 0.0f, 1.0f);
  b.bass_threshold = 0.28f + 0.14f * intensity;
  b.boom_scale = (1.1f - 0.4f * intensity) * (0.24f + 0.08f * low);
  b.lift_scale =
      p.tc_rbass_enabled && p.tc_rbass_intensity > 0.01f ? min_f(p.tc_rbass_intensity, 1.0f) * 0.24f : 0.0f;
  const float drive = clamp_f(p.tc_pultronic_drive, 0.0f, 1.0f);
  b.tube_emphasis = 0.015f + 0.025f * drive;
  b.tube_drive = 0.14f * drive;
  b.eq = p.eq_enabled;
  b.colour = p.tc_mannym_enabled;
  b.tube = p.tc_pultronic_enabled;
  b.notches = s.notch_gain_a < -0.05f;
  b.autotune = p.autotune_enabled;
  return b;
}

float voice_eq_sample(ToneState& s, const ToneBlock& b, const VoiceEqSections& sec, float x, float level,
                      std::size_t i) noexcept MELODARA_NONBLOCKING {
  if (b.eq) {
    x = biquad_process(sec.body, x);
    x = run_series(sec.formants, x);
    if (b.colour) x = run_series(sec.colour, x);
    float y = biquad_process(sec.tail_mid, biquad_process(sec.tail_low_mid, x));

    // What the voice carries in body and presence steers the adaptive bands.
    const float mud = biquad_process(sec.mud_band, y);
    s.mud_level = follow(s.mud_level, std::fabs(mud), kMudRates);
    s.presence_low =
        follow(s.presence_low, std::fabs(biquad_process(sec.presence_low_band, y)), kPresenceLowRates);
    s.presence_high =
        follow(s.presence_high, std::fabs(biquad_process(sec.presence_high_band, y)), kPresenceHighRates);
    const float mud_ratio = s.mud_level / max_f(level, 0.006f);
    if (i % 16 == 0) adapt_bands(s, b, sec, level, mud_ratio);

    if (mud_ratio > 0.44f) y -= mud * min_f((mud_ratio - 0.44f) * 0.25f, 0.1f);
    x = biquad_process(sec.cut_high, biquad_process(sec.cut_low, y));
  }
  if (b.notches) x = biquad_process(sec.notch_b, biquad_process(sec.notch_a, x));
  return x;
}

BassSplit bass_boom_sample(ToneState& s, const ToneBlock& b, const BassSections& sec, float x,
                           float level) noexcept MELODARA_NONBLOCKING {
  const float band = biquad_process(sec.band, x);
  const float smoothed = biquad_process(sec.smooth, band);
  s.bass_level = follow(s.bass_level, std::fabs(band), kBassRates);
  const float ratio = s.bass_level / max_f(level, 0.006f);
  if (ratio > b.bass_threshold) {
    x -= band * b.boom_scale * clamp_f((ratio - b.bass_threshold) / 0.36f, 0.0f, 1.0f);
  }
  return BassSplit{x, smoothed, ratio};
}

float bass_lift_sample(ToneState& s, const ToneBlock& b, const BassSplit& bass, float x, float open_weight,
                       float pitch_hz) noexcept MELODARA_NONBLOCKING {
  float target = 0.0f;
  if (pitch_hz > 68.0f || (open_weight > 0.35f && !b.autotune)) {
    const float r = bass.ratio / 0.36f;
    target = open_weight * clamp_f(1.0f - r * r, 0.0f, 1.0f);
  }
  s.bass_lift += (target - s.bass_lift) * (target > s.bass_lift ? 0.002f : 0.0008f);
  if (b.lift_scale > 0.0f) x += bass.smoothed * b.lift_scale * s.bass_lift;
  return x;
}

TubeOut tube_air_sample(ToneState& s, const ToneBlock& b, const TubeAirSections& sec,
                        float x) noexcept MELODARA_NONBLOCKING {
  if (b.tube) {
    const float y = run_series(sec.tube, x);
    s.tube_lowpass = 0.72f * s.tube_lowpass + 0.28f * y;
    const float u = y + b.tube_emphasis * (y - s.tube_lowpass);
    const float d = b.tube_drive * u;
    const float z = u / std::sqrt(1.0f + d * d);  // soft saturation towards +-1 / (0.14 dr)
    x = biquad_process(sec.air_lowpass, biquad_process(sec.air_shelf, z));
  }
  const float band = biquad_process(sec.air_band, x);
  s.air_level = follow(s.air_level, std::fabs(band), kAirRates);
  return TubeOut{x, band};
}

void voice_eq_run(ToneState& s, const ToneBlock& b, const VoiceEqSections& sections, std::span<float> voice,
                  std::span<const GateSample> gate, std::size_t first) noexcept MELODARA_NONBLOCKING {
  for (std::size_t j = 0; j < voice.size(); ++j) {
    voice[j] = voice_eq_sample(s, b, sections, voice[j], gate[j].level, first + j);
  }
}

void bass_boom_run(ToneState& s, const ToneBlock& b, const BassSections& sections, std::span<float> voice,
                   std::span<const GateSample> gate,
                   std::span<BassSplit> split) noexcept MELODARA_NONBLOCKING {
  for (std::size_t j = 0; j < voice.size(); ++j) {
    split[j] = bass_boom_sample(s, b, sections, voice[j], gate[j].level);
    voice[j] = split[j].voice;
  }
}

void bass_lift_run(ToneState& s, const ToneBlock& b, std::span<const BassSplit> split, std::span<float> voice,
                   std::span<const GateSample> gate,
                   std::span<const float> pitch_hz) noexcept MELODARA_NONBLOCKING {
  for (std::size_t j = 0; j < voice.size(); ++j) {
    voice[j] = bass_lift_sample(s, b, split[j], voice[j], gate[j].confidence, pitch_hz[j]);
  }
}

void tube_air_run(ToneState& s, const ToneBlock& b, const TubeAirSections& sections, std::span<float> voice,
                  std::span<float> air_band, std::span<float> air_level) noexcept MELODARA_NONBLOCKING {
  for (std::size_t j = 0; j < voice.size(); ++j) {
    const TubeOut tube = tube_air_sample(s, b, sections, voice[j]);
    voice[j] = tube.voice;
    air_band[j] = tube.air_band;
    air_level[j] = s.air_level;
  }
}

}  // namespace melodara
