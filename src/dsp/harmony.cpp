#include "dsp/harmony.h"

#include <cmath>
#include <numbers>

#include "dsp/dsp_math.h"
#include "dsp/pitch_correction.h"

namespace melodara {
namespace {

constexpr float kVoicedHz = 65.0f;
constexpr std::array<float, 4> kDetuneDepth{0.0016f, 0.0018f, 0.0014f, 0.0015f};

// A voice whose own gain is 0.01 or less (or not a number) is silent.
inline float voice_gain(float h, float scale, float lo, float hi) {
  return h > 0.01f ? clamp_f(scale * h, lo, hi) : 0.0f;
}

inline float dc_block(float& in, float& out, float x, float pole) {
  out = flush_state(pole * (out + x - in));
  in = x;
  return out;
}

void snap_ratios(HarmonyState& s, const HarmonyBlock& b, float base_hz,
                 float reference_hz) MELODARA_NONBLOCKING {
  for (std::size_t k = 0; k < 4; ++k) {
    float ratio = b.intervals[k];
    if (base_hz > kVoicedHz && b.snap) {
      ratio = clamp_f(snap_to_scale(b.root, b.minor, false, base_hz * ratio, reference_hz) / base_hz, 0.48f,
                      2.05f);
    }
    s.ratios[k] = ratio;
  }
  s.ratios_hz = base_hz;
  s.ratios_reference = reference_hz;
  s.ratios_stale = false;
}

}  // namespace

float harmony_interval_ratio(std::int32_t semitones, bool minor) noexcept MELODARA_NONBLOCKING {
  if (semitones == 4 && minor) return 1.18920708f;
  return std::exp2(static_cast<float>(std::clamp(semitones, -24, 24)) / 12.0f);
}

HarmonyBlock harmony_prepare(HarmonyState& s, const DspParams& p,
                             const FxModes& m) noexcept MELODARA_NONBLOCKING {
  HarmonyBlock b;
  const bool shimmer = m.shimmer || m.chorus;
  b.active = p.chong_be_harmony || shimmer || m.melodic;
  b.guard = p.chong_be_harmony;
  b.snap = !p.scale_chromatic;
  b.root = static_cast<std::uint64_t>(
      ((static_cast<std::int64_t>(p.root_key % 12u) + p.beat_semitone_shift % 12) % 12 + 12) % 12);
  b.minor = p.scale_is_minor;
  for (std::size_t k = 0; k < 4; ++k)
    b.intervals[k] = harmony_interval_ratio(p.harmony_semitones[k], b.minor);

  const DspF32x4& h = p.harmony_gains;
  if (p.chong_be_harmony) {
    b.gains = {voice_gain(h[0], 1.35f, 0.16f, 0.62f), voice_gain(h[1], 1.25f, 0.14f, 0.54f),
               voice_gain(h[2], 1.35f, 0.14f, 0.56f), voice_gain(h[3], 0.85f, 0.08f, 0.32f)};
    if (shimmer) b.gains[3] = max_f(b.gains[3], 0.32f);
  } else if (shimmer) {
    b.gains = {0.28f, 0.2f, 0.0f, 0.34f};
  } else if (m.melodic) {
    b.gains = {0.38f, 0.0f, 0.38f, 0.16f};
    b.melodic = true;
  }
  s.ratios_stale = true;
  return b;
}

StereoSample harmony_sample(HarmonyState& s, std::array<PitchShifter, 4>& shifters, const HarmonyBlock& b,
                            const HarmonyInputs& in, float lead) noexcept MELODARA_NONBLOCKING {
  // The feed follows the voice whether or not the stage runs.
  const float dc = dc_block(s.feed_in, s.feed_dc, lead, 0.9755f);
  s.feed_lp1 = flush_state(s.feed_lp1 + 0.32f * (dc - s.feed_lp1));
  s.feed_lp2 = flush_state(s.feed_lp2 + 0.32f * (s.feed_lp1 - s.feed_lp2));
  const float voicing_target = in.detected_hz > 68.0f ? 1.0f : 0.18f;
  s.voicing += (voicing_target > s.voicing ? 0.0014f : 0.00025f) * (voicing_target - s.voicing);
  const float feed = s.feed_lp2 * s.voicing;

  if (!b.active) return {lead, lead};

  s.detune_phase += 0.000015f;
  if (s.detune_phase >= 1.0f) s.detune_phase -= 1.0f;
  // The four oscillators are a quarter cycle apart: sine, cosine and their negatives.
  const float angle = 2.0f * std::numbers::pi_v<float> * s.detune_phase;
  const float sn = std::sin(angle);
  const float cs = std::cos(angle);
  const std::array<float, 4> detune{kDetuneDepth[0] * sn, kDetuneDepth[1] * cs, -kDetuneDepth[2] * sn,
                                    -kDetuneDepth[3] * cs};

  const float base_hz = in.corrected_hz > kVoicedHz  ? in.corrected_hz
                        : in.detected_hz > kVoicedHz ? in.detected_hz
                                                     : 0.0f;
  if (s.ratios_stale || base_hz != s.ratios_hz || in.reference_hz != s.ratios_reference) {
    snap_ratios(s, b, base_hz, in.reference_hz);
  }

  std::array<float, 4> v;
  for (std::size_t k = 0; k < 4; ++k) {
    v[k] = pitch_shift_sample(shifters[k], feed, s.ratios[k] * (1.0f + detune[k]), in.detected_hz);
  }

  std::array<float, 4> g = b.gains;
  if (b.melodic) {
    const float w = 0.5f * (1.0f + sn);
    g[0] *= w;
    g[2] *= 1.0f - w;
  }
  const float left = 0.8f * g[0] * v[0] + 0.38f * g[1] * v[1] + 0.68f * g[2] * v[2] + 0.4f * g[3] * v[3];
  const float right = 0.38f * g[0] * v[0] + 0.8f * g[1] * v[1] + 0.4f * g[2] * v[2] + 0.68f * g[3] * v[3];

  const float yl = dc_block(s.bus_in.left, s.bus_dc.left, left, 0.9775f);
  const float yr = dc_block(s.bus_in.right, s.bus_dc.right, right, 0.9775f);
  s.bus_lp.left = flush_state(s.bus_lp.left + 0.42f * (yl - s.bus_lp.left));
  s.bus_lp.right = flush_state(s.bus_lp.right + 0.42f * (yr - s.bus_lp.right));

  StereoSample pair{0.98f * lead + 0.82f * s.bus_lp.left, 0.98f * lead + 0.82f * s.bus_lp.right};
  if (b.guard && in.level > 0.58f) {
    const float guard = clamp_f(std::pow(0.58f / in.level, 0.2f), 0.88f, 1.0f);
    pair.left *= guard;
    pair.right *= guard;
  }
  return pair;
}

void harmony_run(HarmonyState& state, std::array<PitchShifter, 4>& shifters, const HarmonyBlock& block,
                 std::span<const HarmonyInputs> in, std::span<const float> lead,
                 std::span<StereoSample> out) noexcept MELODARA_NONBLOCKING {
  for (std::size_t j = 0; j < out.size(); ++j)
    out[j] = harmony_sample(state, shifters, block, in[j], lead[j]);
}

}  // namespace melodara
