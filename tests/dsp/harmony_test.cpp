#include "dsp/harmony.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <vector>

#include "chain_helpers.h"
#include "signal_helpers.h"

namespace melodara {
namespace {

using test::cents;
using test::dominant_frequency;
using test::sine;

std::array<PitchShifter, 4> harmony_shifters() {
  return {pitch_shifter_new(760), pitch_shifter_new(960), pitch_shifter_new(1140), pitch_shifter_new(860)};
}

DspParams harmony_on() {
  DspParams p;  // D minor, intervals 4, 7, -5, 12
  p.chong_be_harmony = true;
  return p;
}

// The stage alone on a steady lead whose pitch the detector and the corrector
// both read as pitch_hz; returns the voice pairs.
struct HarmonyRun {
  std::vector<float> left, right, lead;
};
HarmonyRun run_harmony(const DspParams& p, float pitch_hz, std::size_t n, float reference_hz = 440.0f) {
  HarmonyState state;
  auto shifters = harmony_shifters();
  const HarmonyBlock block = harmony_prepare(state, p, fx_modes(p));
  HarmonyRun r;
  r.lead = sine(pitch_hz, 0.2, n);
  for (const float x : r.lead) {
    const StereoSample y =
        harmony_sample(state, shifters, block, {pitch_hz, pitch_hz, reference_hz, 0.1f}, x);
    r.left.push_back(y.left);
    r.right.push_back(y.right);
  }
  return r;
}

// The harmony bus alone: (channel - 0.98 lead) / 0.82.
std::vector<float> bus_of(const std::vector<float>& channel, const std::vector<float>& lead) {
  std::vector<float> out(channel.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = (channel[i] - 0.98f * lead[i]) / 0.82f;
  return out;
}

// Magnitude at f of the feed (DC blocker 0.9755, two low-passes 0.32) and of the
// bus filter (DC blocker 0.9775, low-pass 0.42).
double feed_gain(double f) {
  const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * f / 48000.0);
  const auto lp = [&](double a) { return a / (1.0 - (1.0 - a) * z1); };
  const auto dc = [&](double pole) { return pole * (1.0 - z1) / (1.0 - pole * z1); };
  return std::abs(dc(0.9755) * lp(0.32) * lp(0.32));
}
double bus_gain(double f) {
  const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * f / 48000.0);
  return std::abs(0.9775 * (1.0 - z1) / (1.0 - 0.9775 * z1) * (0.42 / (1.0 - 0.58 * z1)));
}

// Amplitude of a line at f in x (Hann-windowed: the magnitude is A N / 4).
double line_amplitude(std::span<const float> x, double f) {
  return 4.0 * test::spectrum_at(x, f) / static_cast<double>(x.size());
}

TEST(Harmony, FourVoicesOfA220HzToneInDMinorLandOnTheKeyAtTheirGains) {
  const DspParams p = harmony_on();
  const HarmonyRun r = run_harmony(p, 220.0f, 48000 * 3);
  const std::vector<float> left = bus_of(r.left, r.lead), right = bus_of(r.right, r.lead);
  const std::span<const float> tail_l(left.data() + 48000, 96000), tail_r(right.data() + 48000, 96000);

  // A minor third up is C, a fifth E, a fourth down E, an octave A: all in D minor.
  const double expected_hz[4] = {261.63, 329.63, 164.81, 440.0};
  // g = clamp(1.35 x 0.4), clamp(1.25 x 0.32), clamp(1.35 x 0.26), clamp(0.85 x 0.18).
  const double gains[4] = {0.54, 0.4, 0.351, 0.153};
  const double pan_left[4] = {0.8, 0.38, 0.68, 0.4}, pan_right[4] = {0.38, 0.8, 0.4, 0.68};
  for (std::size_t k = 0; k < 4; ++k) {
    const double f = dominant_frequency(tail_l, expected_hz[k] * 0.985, expected_hz[k] * 1.015);
    EXPECT_NEAR(cents(f, expected_hz[k]), 0.0, 5.0) << "voice " << k + 1;
    const double through = 0.2 * feed_gain(220.0) * bus_gain(expected_hz[k]) * gains[k];
    EXPECT_NEAR(20.0 * std::log10(line_amplitude(tail_l, f) / (through * pan_left[k])), 0.0, 1.0)
        << "voice " << k + 1;
    EXPECT_NEAR(20.0 * std::log10(line_amplitude(tail_r, f) / (through * pan_right[k])), 0.0, 1.0)
        << "voice " << k + 1;
  }
}

TEST(Harmony, IntervalsBeyondTwoOctavesActAsTwoOctaves) {
  for (const bool chromatic : {false, true}) {
    DspParams wide = harmony_on(), bound = harmony_on();
    wide.scale_chromatic = bound.scale_chromatic = chromatic;
    wide.harmony_semitones = {30, -30, 7, 12};
    bound.harmony_semitones = {24, -24, 7, 12};
    const HarmonyRun a = run_harmony(wide, 196.0f, 9600), b = run_harmony(bound, 196.0f, 9600);
    EXPECT_EQ(a.left, b.left) << chromatic;
    EXPECT_EQ(a.right, b.right) << chromatic;
  }
  EXPECT_EQ(harmony_interval_ratio(std::numeric_limits<std::int32_t>::max(), false), 4.0f);
  EXPECT_EQ(harmony_interval_ratio(std::numeric_limits<std::int32_t>::min(), true), 0.25f);
  EXPECT_FLOAT_EQ(harmony_interval_ratio(4, true), 1.18920708f);  // a minor third in minor
  EXPECT_FLOAT_EQ(harmony_interval_ratio(4, false), std::exp2(4.0f / 12.0f));
}

TEST(Harmony, ChromaticOrUnvoicedUsesTheIntervalsAsGiven) {
  // 233 Hz (A#) up a fifth is 349.1 Hz: in D minor it would be snapped to a note,
  // on the chromatic grid it is kept as it is, and unvoiced nothing is snapped.
  for (const bool chromatic : {true, false}) {
    DspParams p = harmony_on();
    p.scale_chromatic = chromatic;
    p.harmony_gains = {0.0f, 0.4f, 0.0f, 0.0f};  // the fifth alone
    HarmonyState state;
    auto shifters = harmony_shifters();
    const HarmonyBlock block = harmony_prepare(state, p, fx_modes(p));
    const std::vector<float> lead = sine(233.0, 0.2, 48000);
    std::vector<float> out;
    const float told = chromatic ? 233.0f : 0.0f;
    for (const float x : lead)
      out.push_back(harmony_sample(state, shifters, block, {told, told, 440.0f, 0.1f}, x).right);
    EXPECT_FLOAT_EQ(state.ratios[1], std::exp2(7.0f / 12.0f)) << chromatic;
    if (!chromatic) continue;  // untold, the shifter's splices are not period-aligned
    const std::vector<float> bus = bus_of(out, lead);
    const double f = dominant_frequency(std::span<const float>(bus).subspan(24000), 330.0, 370.0);
    EXPECT_NEAR(cents(f, 233.0 * std::exp2(7.0 / 12.0)), 0.0, 5.0);
  }
  // Told the pitch and not chromatic, the fifth is snapped to F (349.23 Hz).
  DspParams p = harmony_on();
  HarmonyState state;
  auto shifters = harmony_shifters();
  const HarmonyBlock block = harmony_prepare(state, p, fx_modes(p));
  harmony_sample(state, shifters, block, {233.0f, 233.0f, 440.0f, 0.1f}, 0.0f);
  EXPECT_NEAR(233.0f * state.ratios[1], 349.23f, 0.01f);
}

TEST(Harmony, SilentVoicesLeaveBothChannelsAtTheLeadTimesPointNineEight) {
  DspParams p = harmony_on();
  p.harmony_gains = {0.0f, 0.01f, -1.0f, std::numeric_limits<float>::quiet_NaN()};
  const HarmonyRun r = run_harmony(p, 220.0f, 9600);
  for (std::size_t i = 0; i < r.lead.size(); ++i) {
    ASSERT_EQ(r.left[i], 0.98f * r.lead[i]) << i;
    ASSERT_EQ(r.right[i], 0.98f * r.lead[i]) << i;
  }
  // With the stage off the pair is the lead itself.
  const HarmonyRun off = run_harmony(DspParams{}, 220.0f, 960);
  EXPECT_EQ(off.left, off.lead);
  EXPECT_EQ(off.right, off.lead);
}

TEST(Harmony, GainsBySwitchAndMode) {
  struct Case {
    bool harmony;
    const char* mode;
    DspF32x4 h;
    std::array<float, 4> gains;
    bool active, melodic;
  } cases[] = {
      {true, "", {0.4f, 0.32f, 0.26f, 0.18f}, {0.54f, 0.4f, 0.351f, 0.153f}, true, false},
      {true, "", {1.0f, 1.0f, 1.0f, 1.0f}, {0.62f, 0.54f, 0.56f, 0.32f}, true, false},
      {true, "", {0.02f, 0.02f, 0.02f, 0.02f}, {0.16f, 0.14f, 0.14f, 0.08f}, true, false},
      {true, "Shimmer", {0.0f, 0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f, 0.32f}, true, false},
      {true, "Chorus", {0.4f, 0.32f, 0.26f, 0.18f}, {0.54f, 0.4f, 0.351f, 0.32f}, true, false},
      {false, "Shimmer", {1.0f, 1.0f, 1.0f, 1.0f}, {0.28f, 0.2f, 0.0f, 0.34f}, true, false},
      {false, "06 - Chorus", {}, {0.28f, 0.2f, 0.0f, 0.34f}, true, false},
      {false, "Melodic", {}, {0.38f, 0.0f, 0.38f, 0.16f}, true, true},
      {false, "Megaphone", {1.0f, 1.0f, 1.0f, 1.0f}, {0.0f, 0.0f, 0.0f, 0.0f}, false, false},
  };
  for (const Case& c : cases) {
    DspParams p;
    p.chong_be_harmony = c.harmony;
    p.dj_fx_vocal = true;
    p.dj_fx_mode = c.mode;
    p.harmony_gains = c.h;
    HarmonyState s;
    const HarmonyBlock b = harmony_prepare(s, p, fx_modes(p));
    EXPECT_EQ(b.active, c.active) << c.mode;
    EXPECT_EQ(b.melodic, c.melodic) << c.mode;
    EXPECT_EQ(b.guard, c.harmony) << c.mode;
    for (std::size_t k = 0; k < 4; ++k)
      EXPECT_NEAR(b.gains[k], c.gains[k], 1e-6f) << c.mode << " voice " << k;
  }
  // Mode words need dj_fx_vocal.
  DspParams p;
  p.dj_fx_mode = "Shimmer";
  HarmonyState s;
  EXPECT_FALSE(harmony_prepare(s, p, fx_modes(p)).active);
}

TEST(Harmony, LoudnessGuardOnlyWithTheHarmonySwitch) {
  for (const bool harmony : {true, false}) {
    DspParams p;
    p.chong_be_harmony = harmony;
    p.dj_fx_vocal = !harmony;
    p.dj_fx_mode = "Shimmer";
    p.harmony_gains = {0.0f, 0.0f, 0.0f, 0.0f};
    HarmonyState s;
    auto shifters = harmony_shifters();
    const HarmonyBlock b = harmony_prepare(s, p, fx_modes(p));
    // On the first sample the shifters are still silent: the pair is 0.98 lead,
    // times the guard at e = 0.9.
    const StereoSample y = harmony_sample(s, shifters, b, {0.0f, 0.0f, 440.0f, 0.9f}, 0.5f);
    const float guard = harmony ? std::pow(0.58f / 0.9f, 0.2f) : 1.0f;
    EXPECT_NEAR(y.left, 0.98f * 0.5f * guard, 1e-6f) << harmony;
    EXPECT_NEAR(y.right, 0.98f * 0.5f * guard, 1e-6f) << harmony;
  }
}

// The harmonies are snapped on the lead's tuning: in 432 mode tuned down by 50
// cents the reference is 419.6 Hz, below the 432..446 that would pull them 50
// cents off the lead. The fifth above a held A is the E of the lead's grid.
TEST(Harmony, VoicesAreSnappedOnTheLeadsReference) {
  DspParams p = harmony_on();
  p.harmony_gains = {0.0f, 0.4f, 0.0f, 0.0f};  // the fifth alone
  p.pitch_432hz_mode = true;
  p.beat_fine_cents = -50.0f;
  // Stages that would add harmonics of the lead are off.
  p.tc_pultronic_enabled = p.tc_mannym_enabled = p.tc_rbass_enabled = p.tc_vitamin_enabled = false;
  p.comp_enabled = p.pre_comp_enabled = p.deesser_enabled = p.eq_enabled = p.reverb_enabled = false;
  const double reference = 432.0 * std::exp2(-50.0 / 1200.0);
  const double a3 = reference / 2.0;                              // note 57 on that grid: 209.8 Hz
  const double e4 = reference * std::exp2((64.0 - 69.0) / 12.0);  // note 64: 314.4 Hz
  VocalDsp d = vocal_dsp_new(p);
  const std::vector<float> mic = sine(a3, 0.1, 48000 * 3);
  const test::ChainRun r = test::run_voice(d, mic);
  EXPECT_NEAR(r.last.corrected_vocal_hz, a3, 0.05);
  const std::span<const float> tail(r.stems[1].data() + 96000, 48000);  // voice 2 pans right
  const double f = dominant_frequency(tail, 290.0, 340.0);
  EXPECT_NEAR(cents(f, e4), 0.0, 5.0);
}

}  // namespace
}  // namespace melodara
