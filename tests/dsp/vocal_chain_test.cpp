#include "dsp/vocal_dsp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "alloc_counter.h"
#include "chain_helpers.h"
#include "dsp/float_mode.h"
#include "effect_fields.h"
#include "every_switch_on.h"
#include "signal_helpers.h"

namespace melodara {
namespace {

using test::dominant_frequency;
using test::everything_on;
using test::rms;
using test::sine;

using test::ChainRun;
using test::run_chain;
using test::silence;

TEST(VocalChain, WarmUpOnSilenceGivesSilenceAndTheFirstTelemetry) {
  VocalDsp d = vocal_dsp_new(dsp_params_default());
  std::array<float, 64> silence{}, out_l, out_r;
  out_l.fill(1.0f);
  out_r.fill(1.0f);
  const DspMeters m = vocal_chain_process(d, silence, silence, silence, out_l, out_r);
  for (std::size_t i = 0; i < 64; ++i) {
    ASSERT_EQ(out_l[i], 0.0f);
    ASSERT_EQ(out_r[i], 0.0f);
  }
  EXPECT_EQ(m.vocal_rms_db, -100.0f);
  EXPECT_EQ(m.beat_rms_db, -100.0f);
  EXPECT_EQ(m.master_peak_db, -100.0f);
  EXPECT_EQ(m.detected_vocal_hz, 0.0f);
  EXPECT_EQ(m.corrected_vocal_hz, 0.0f);
  EXPECT_EQ(m.detected_key_name, std::string_view("Dm"));
  EXPECT_EQ(m.detected_bpm, 70.0f);
  // The reverb's active gain rises from 0 towards the default send target
  // 0.65: quickly below 0.05, then slowly.
  float active = 0.0f;
  for (int i = 0; i < 64; ++i) active += (active < 0.05f ? 0.006f : 0.0003f) * (0.65f - active);
  EXPECT_NEAR(m.reverb_active_gain, active, 1e-6f);
  EXPECT_EQ(m.deesser_reduction_db, 0.0f);
  EXPECT_EQ(m.comp_reduction_db, 0.0f);
  EXPECT_EQ(m.active_beatgate_step, 0u);
  EXPECT_FALSE(m.gate_open);
  EXPECT_NEAR(m.latency_ms, 4.0f / 3.0f, 1e-6f);
  // One silent update of the quality followers from 0.2, 95 and 52.
  EXPECT_FLOAT_EQ(m.crackle_index_pct, 0.2f);  // 0.196
  EXPECT_FLOAT_EQ(m.warmth_blend_pct, 95.0f);  // 95.04
  EXPECT_FLOAT_EQ(m.signal_purity_db, 52.2f);  // 52.16
  for (std::size_t k = 0; k < kStemCount; ++k) {
    ASSERT_GE(d.stems[k].size(), 64u);
    for (std::size_t i = 0; i < 64; ++i) ASSERT_EQ(d.stems[k][i], 0.0f);
  }
}

TEST(VocalChain, QualityFollowersSettleOnSilence) {
  VocalDsp d = vocal_dsp_new(dsp_params_default());
  const std::vector<float> z = silence(128 * 400);
  const ChainRun r = run_chain(d, z, z, z);
  EXPECT_NEAR(d.frame.crackle, 0.15f, 1e-4f);
  EXPECT_NEAR(d.frame.warmth, 95.5f, 1e-3f);
  EXPECT_NEAR(d.frame.purity, 54.0f, 1e-3f);
  EXPECT_FLOAT_EQ(r.last.warmth_blend_pct, 95.5f);
  EXPECT_FLOAT_EQ(r.last.signal_purity_db, 54.0f);
}

TEST(VocalChain, EmptyBlockWritesNothingAndReportsFloors) {
  VocalDsp d = vocal_dsp_new(dsp_params_default());
  std::span<const float> none;
  std::span<float> out;
  const DspMeters m = vocal_chain_process(d, none, none, none, out, out);
  EXPECT_EQ(m.vocal_rms_db, -100.0f);
  EXPECT_EQ(m.beat_rms_db, -100.0f);
  EXPECT_EQ(m.master_peak_db, -100.0f);
  EXPECT_EQ(m.active_beatgate_step, 0u);
  EXPECT_EQ(m.latency_ms, 0.0f);
}

TEST(VocalChain, ThousandHertzKeepsItsFrequency) {
  // 1 kHz is 21 cents above B, the raised sixth of D minor: the default
  // correction may nudge it a few cents towards B, never further.
  for (bool autotune : {false, true}) {
    DspParams p;
    p.autotune_enabled = autotune;
    VocalDsp d = vocal_dsp_new(p);
    const std::vector<float> mic = sine(1000.0, 0.1, 48000);
    const std::vector<float> z = silence(mic.size());
    const ChainRun r = run_chain(d, mic, z, z);
    const std::span<const float> tail(r.out_l.data() + 24000, 24000);
    const double c = test::cents(dominant_frequency(tail, 200.0, 5000.0), 1000.0);
    if (autotune) {
      EXPECT_LE(c, 0.5);
      EXPECT_GT(c, -21.0);
    } else {
      EXPECT_NEAR(c, 0.0, 1.0);
    }
    // The presence cuts take a few dB off a tone with no body at all.
    EXPECT_GT(rms(tail), 0.03);
  }
}

// Every stage that reacts to the level or the colour of the voice off: the voice
// path is then linear, apart from the bass stage's boom reduction, which depends
// only on the ratio of two levels of the same signal.
DspParams linear_voice_path() {
  DspParams p;
  p.gate_enabled = p.denoise_enabled = false;
  p.pre_comp_enabled = p.deesser_enabled = p.comp_enabled = false;
  p.eq_enabled = p.tc_pultronic_enabled = p.tc_rbass_enabled = false;
  p.autotune_enabled = false;  // the main shifter is then a plain delay
  return p;
}

TEST(VocalChain, LowCutAttenuates50HzLikeA76HzSecondOrderHighPass) {
  // Second-order Butterworth high-pass: |H(f)| = r / sqrt(1 + r^2) with r = (f / fc)^2.
  const double r = (50.0 / 76.0) * (50.0 / 76.0);
  const double expected_db = 20.0 * std::log10(r / std::sqrt(1.0 + r * r));
  auto voice_rms = [](bool lowcut) {
    DspParams p = linear_voice_path();
    p.lowcut_enabled = lowcut;
    VocalDsp d = vocal_dsp_new(p);
    const std::vector<float> mic = sine(50.0, 0.05, 48000);
    const std::vector<float> z = silence(mic.size());
    const ChainRun run = run_chain(d, mic, z, z);
    return rms(std::span<const float>(run.stems[0].data() + 24000, 24000));
  };
  const double measured_db = 20.0 * std::log10(voice_rms(true) / voice_rms(false));
  EXPECT_NEAR(measured_db, expected_db, 0.3);
  EXPECT_LT(measured_db, -7.5);
}

TEST(VocalChain, OutputNeverExceedsTheCeilingAtPlus12Dbfs) {
  struct Case {
    float ceiling_db, expected_ceiling;
  } cases[] = {{-0.5f, std::pow(10.0f, -0.5f / 20.0f)},
               {0.0f, std::pow(10.0f, -0.3f / 20.0f)},
               {-12.0f, std::pow(10.0f, -6.0f / 20.0f)}};
  for (const Case& c : cases) {
    DspParams p;
    p.master_limiter_ceiling_db = c.ceiling_db;
    VocalDsp d = vocal_dsp_new(p);
    const std::vector<float> mic = sine(440.0, 4.0, 24000);
    const std::vector<float> music = sine(97.0, 4.0, 24000);
    const ChainRun r = run_chain(d, mic, music, music);
    const double peak = std::fmax(test::peak_abs(r.out_l), test::peak_abs(r.out_r));
    EXPECT_LE(peak, c.expected_ceiling) << c.ceiling_db;
    EXPECT_GT(peak, 0.8 * static_cast<double>(c.expected_ceiling)) << c.ceiling_db;
    EXPECT_NEAR(r.last.master_peak_db, 20.0 * std::log10(peak), 0.5) << c.ceiling_db;
  }
}

TEST(VocalChain, StemsOfAVoiceOnlyAndAMusicOnlyInput) {
  DspParams p;
  p.tc_vitamin_enabled = false;                            // the punch stage adds to the track
  const float g2 = std::pow(10.0f, 0.24f * 3.7f / 20.0f);  // L2 gain at -4.2 dB
  {
    // With the reverb on the idle doubler would add its faint side signal.
    p.reverb_enabled = false;
    VocalDsp d = vocal_dsp_new(p);
    const std::vector<float> mic = sine(700.0, 0.05, 9600);
    const std::vector<float> z = silence(mic.size());
    const ChainRun r = run_chain(d, mic, z, z);
    EXPECT_GT(rms(r.stems[0]), 0.02);
    for (std::size_t i = 0; i < mic.size(); ++i) {
      ASSERT_EQ(r.stems[0][i], r.stems[1][i]) << i;  // mono voice on both sides
      ASSERT_EQ(r.stems[2][i], 0.0f);
      ASSERT_EQ(r.stems[3][i], 0.0f);
      ASSERT_EQ(r.stems[4][i], 0.0f);
      ASSERT_EQ(r.stems[5][i], 0.0f);
      // Quiet voice: the output is the voice stem times the L2 gain.
      ASSERT_NEAR(r.out_l[i], r.stems[0][i] * g2, 1e-6f) << i;
    }
  }
  {
    // Without a singer nothing ducks the track: the undocked stems are the track
    // stems times the L2 gain, and each side keeps its own tone the stronger (the
    // side's high-pass at 180 Hz, unmatched on the mid, leaks some of each tone
    // onto the other side).
    p.reverb_enabled = true;
    VocalDsp d = vocal_dsp_new(p);
    const std::vector<float> music_l = sine(330.0, 0.1, 9600);
    const std::vector<float> music_r = sine(550.0, 0.08, 9600);
    const std::vector<float> z = silence(music_l.size());
    const ChainRun r = run_chain(d, z, music_l, music_r);
    for (std::size_t i = 0; i < z.size(); ++i) {
      ASSERT_EQ(r.stems[0][i], 0.0f);
      ASSERT_EQ(r.stems[1][i], 0.0f);
      ASSERT_NEAR(r.stems[4][i], r.stems[2][i] * g2, 1e-6f) << i;
      ASSERT_NEAR(r.stems[5][i], r.stems[3][i] * g2, 1e-6f) << i;
    }
    const std::span<const float> left(r.stems[2].data() + 4800, 4800), right(r.stems[3].data() + 4800, 4800);
    EXPECT_GT(test::spectrum_at(left, 330.0), 3.0 * test::spectrum_at(left, 550.0));
    EXPECT_GT(test::spectrum_at(right, 550.0), 1.5 * test::spectrum_at(right, 330.0));
    // The meter reads the track as mixed, over the last block.
    double sum = 0.0;
    for (std::size_t i = z.size() - 128; i < z.size(); ++i) {
      const double l = r.stems[2][i], rr = r.stems[3][i];
      sum += 0.5 * (l * l + rr * rr);
    }
    EXPECT_NEAR(r.last.beat_rms_db, 10.0 * std::log10(sum / 128.0), 0.01);
  }
}

TEST(VocalChain, BlockLengthChangesOnlyTheBlockDesigns) {
  // The voice EQ and the air shelf are designed once per block (and the EQ's
  // adaptive bands every 16th sample of a block); everything else runs per sample.
  DspParams p;
  p.eq_enabled = p.tc_pultronic_enabled = false;
  const std::vector<float> mic = sine(523.0, 0.2, 128 * 60);
  const std::vector<float> music = sine(131.0, 0.3, mic.size());
  VocalDsp a = vocal_dsp_new(p);
  VocalDsp b = vocal_dsp_new(p);
  const ChainRun r128 = run_chain(a, mic, music, music, 128);
  const ChainRun r64 = run_chain(b, mic, music, music, 64);
  for (std::size_t i = 0; i < mic.size(); ++i) {
    ASSERT_EQ(r128.out_l[i], r64.out_l[i]) << i;
    ASSERT_EQ(r128.out_r[i], r64.out_r[i]) << i;
  }
  EXPECT_NEAR(r64.last.latency_ms, 64.0f * 1000.0f / 48000.0f, 1e-6f);
  EXPECT_NEAR(r128.last.latency_ms, 128.0f * 1000.0f / 48000.0f, 1e-6f);
}

TEST(VocalChain, LimiterWindowCarriesAcrossBlocksOfAnyLength) {
  // The limiter looks back 24 samples; blocks shorter than that, blocks that split
  // a 128-sample run, and blocks longer than a run must all see the same window.
  DspParams p;
  p.eq_enabled = p.tc_pultronic_enabled = false;
  p.master_limiter_ceiling_db = -6.0f;
  const std::vector<float> mic = sine(523.0, 2.0, 128 * 40);
  const std::vector<float> music = sine(131.0, 1.0, mic.size());
  VocalDsp whole = vocal_dsp_new(p);
  const ChainRun reference = run_chain(whole, mic, music, music, 128);
  EXPECT_LT(whole.frame.limiter_gain, 0.9f);  // the limiter is working
  for (const std::size_t block : {std::size_t{1}, std::size_t{23}, std::size_t{37}, std::size_t{300}}) {
    VocalDsp d = vocal_dsp_new(p);
    const ChainRun r = run_chain(d, mic, music, music, block);
    EXPECT_TRUE(test::same_samples(reference, r)) << block;
    // The quality followers step once a block; the limiter's state is per sample.
    EXPECT_EQ(whole.frame.limiter_ring, d.frame.limiter_ring) << block;
    EXPECT_EQ(whole.frame.limiter_index, d.frame.limiter_index) << block;
    EXPECT_EQ(whole.frame.limiter_prev_peak, d.frame.limiter_prev_peak) << block;
    EXPECT_EQ(whole.frame.limiter_gain, d.frame.limiter_gain) << block;
  }
}

TEST(VocalChain, ShortBufferBoundsTheFrameCount) {
  VocalDsp d = vocal_dsp_new(dsp_params_default());
  const std::vector<float> mic = sine(440.0, 0.3, 128);
  const std::vector<float> music_l = sine(220.0, 0.3, 128);
  const std::vector<float> music_r = sine(220.0, 0.3, 40);  // shorter than the rest
  std::vector<float> out_l(128, 7.0f), out_r(128, 7.0f);
  const DspMeters m = vocal_chain_process(d, mic, music_l, music_r, out_l, out_r);
  EXPECT_NEAR(m.latency_ms, 40.0f * 1000.0f / 48000.0f, 1e-6f);
  for (std::size_t i = 40; i < 128; ++i) {
    ASSERT_EQ(out_l[i], 7.0f);
    ASSERT_EQ(out_r[i], 7.0f);
  }
  EXPECT_NE(out_l[39], 7.0f);
}

TEST(VocalChain, PhoneMonoMakesTheChannelsEqual) {
  DspParams p;
  p.send_to_phone_mono = true;
  VocalDsp d = vocal_dsp_new(p);
  const std::vector<float> mic = sine(440.0, 0.3, 4800);
  const std::vector<float> music_l = sine(220.0, 0.3, 4800);
  const std::vector<float> music_r = sine(330.0, 0.2, 4800);
  const ChainRun r = run_chain(d, mic, music_l, music_r);
  for (std::size_t i = 0; i < mic.size(); ++i) ASSERT_EQ(r.out_l[i], r.out_r[i]) << i;
}

TEST(VocalChain, TapeStopSlowsTheOutputDown) {
  DspParams p;
  p.dj_fx_stop = true;
  p.autodj_tapestop_speed = 1.0f;
  VocalDsp d = vocal_dsp_new(p);
  const std::vector<float> mic = sine(800.0, 0.1, 48000);
  const std::vector<float> z = silence(mic.size());
  const ChainRun r = run_chain(d, mic, z, z);
  // Speed falls by 0.00008 per sample to its floor of 0.15 after about 10,600 samples.
  EXPECT_FLOAT_EQ(d.frame.tape_speed, 0.15f);
  // The shifter holds the ratio at its lower bound of 0.35; without a told pitch
  // its splices are not period-aligned, so the tone lands near, not at, 280 Hz.
  const std::span<const float> tail(r.out_l.data() + 24000, 24000);
  const double f = dominant_frequency(tail, 50.0, 1500.0);
  EXPECT_LT(f, 0.45 * 800.0);
  EXPECT_GT(f, 0.3 * 800.0);
  EXPECT_LT(test::spectrum_at(tail, 800.0), 0.1 * test::spectrum_at(tail, f));
  d.params.dj_fx_stop = false;
  run_chain(d, std::vector<float>(1280, 0.0f), std::vector<float>(1280, 0.0f),
            std::vector<float>(1280, 0.0f));
  EXPECT_FLOAT_EQ(d.frame.tape_speed, 1.0f);
}

TEST(VocalChain, BeatStepFollowsTheTempo) {
  DspParams p;
  p.bpm = 200.0f;  // a sixteenth is 3,600 samples
  VocalDsp d = vocal_dsp_new(p);
  const std::vector<float> z = silence(3600 * 5 + 64);
  const ChainRun r = run_chain(d, std::vector<float>(z.begin(), z.end() - 64), z, z);
  EXPECT_EQ(r.last.active_beatgate_step, 5u);
  EXPECT_EQ(d.block.step_length, 3600u);
}

TEST(VocalChain, KeyNameIncludesTheBeatShift) {
  struct Case {
    std::uint64_t root;
    bool minor;
    std::int32_t shift;
    const char* name;
  } cases[] = {{2, true, 0, "Dm"},   {0, false, -1, "B"}, {11, false, 1, "C"},
               {6, true, -26, "Em"}, {9, false, 0, "A"},  {1, true, 12, "C#m"}};
  for (const Case& c : cases) {
    DspParams p;
    p.root_key = c.root;
    p.scale_is_minor = c.minor;
    p.beat_semitone_shift = c.shift;
    VocalDsp d = vocal_dsp_new(p);
    std::array<float, 16> z{}, o{};
    const DspMeters m = vocal_chain_process(d, z, z, z, o, o);
    EXPECT_EQ(m.detected_key_name, std::string_view(c.name)) << c.root << " " << c.shift;
  }
}

TEST(VocalChain, BlockCallNeverAllocates) {
  VocalDsp d = vocal_dsp_new(everything_on());
  const std::vector<float> mic = sine(220.0, 0.3, 128);
  const std::vector<float> music = sine(110.0, 0.3, 128);
  std::vector<float> out_l(128), out_r(128);
  std::size_t allocations = 0;
  {
    test::AllocationCounter counter;
    for (int block = 0; block < 400; ++block) {
      d.params = clone_dsp_params(d.params);
      d.params.pk_mode_ducking = block % 2 == 0;
      d.params.mod_routing_order = static_cast<std::uint8_t>(block % 3);
      d.params.vocal_chain_active = block % 5 != 0;
      d.params.send_to_phone_mono = block % 7 == 0;
      const DspMeters m = vocal_chain_process(d, mic, music, music, out_l, out_r);
      ASSERT_EQ(m.latency_ms, 128.0f * 1000.0f / 48000.0f);
    }
    allocations = counter.count();
  }
  EXPECT_EQ(allocations, 0u);
  // The counter itself works.
  {
    test::AllocationCounter counter;
    auto* p = new std::vector<float>(10);
    test::escape(p);
    delete p;
    EXPECT_GE(counter.count(), 1u);
  }
}

// Every parameter of the delays, gate, reverbs and character effects at values no
// control would send: the output stays finite.
TEST(VocalChain, EveryEffectOnWithHostileParametersStaysFinite) {
  const std::vector<float> mic = sine(220.0, 0.3, 6000);
  const std::vector<float> music_l = sine(110.0, 0.3, mic.size());
  const std::vector<float> music_r = sine(165.0, 0.3, mic.size());
  std::vector<test::FloatField> fields;
  for (const auto& group : {std::span<const test::FloatField>(test::kReverbFields),
                            std::span<const test::FloatField>(test::kEchoFields),
                            std::span<const test::FloatField>(test::kOtherEffectFields),
                            std::span<const test::FloatField>(test::kHarmonyAndBackingFields)}) {
    fields.insert(fields.end(), group.begin(), group.end());
  }
  for (std::size_t f = 0; f < fields.size(); ++f) {
    for (const float v : test::kHostileValues) {
      DspParams p = everything_on();
      p.dj_fx_stop = false;  // keep the voice audible
      p.*fields[f] = v;
      VocalDsp d = vocal_dsp_new(p);
      const ChainRun r = run_chain(d, mic, music_l, music_r);
      for (std::size_t i = 0; i < mic.size(); ++i) {
        ASSERT_TRUE(std::isfinite(r.out_l[i]) && std::isfinite(r.out_r[i]))
            << "field " << f << " = " << v << " at " << i;
      }
      EXPECT_GT(rms(r.out_l), 0.01) << "field " << f << " = " << v;
    }
  }
}

// The harmony gains and the integer shifts at their extremes.
TEST(VocalChain, HarmonyAndShiftExtremesStayFinite) {
  const std::vector<float> mic = sine(220.0, 0.3, 9600);
  const std::vector<float> music_l = sine(110.0, 0.3, mic.size());
  const std::vector<float> music_r = sine(165.0, 0.3, mic.size());
  constexpr std::int32_t kLow = std::numeric_limits<std::int32_t>::min();
  constexpr std::int32_t kHigh = std::numeric_limits<std::int32_t>::max();
  for (const float gain : test::kHostileValues) {
    for (const std::int32_t shift : {kLow, kHigh, -25, 25}) {
      DspParams p = everything_on();
      p.dj_fx_stop = false;
      p.harmony_gains = {gain, gain, gain, gain};
      p.harmony_semitones = {shift, shift, kLow, kHigh};
      p.beat_semitone_shift = shift;
      VocalDsp d = vocal_dsp_new(p);
      const ChainRun r = run_chain(d, mic, music_l, music_r);
      for (std::size_t i = 0; i < mic.size(); ++i) {
        ASSERT_TRUE(std::isfinite(r.out_l[i]) && std::isfinite(r.out_r[i]))
            << gain << " " << shift << " at " << i;
        ASSERT_TRUE(std::isfinite(r.stems[2][i]) && std::isfinite(r.stems[4][i])) << gain << " " << shift;
      }
      EXPECT_GT(rms(r.out_l), 0.01) << gain << " " << shift;
    }
  }
}

// Every number of the parameter record set to one value, as the JSON reader takes
// it, except the keys in keep.
DspParams every_number_set_to(double value, bool switches_on, std::initializer_list<const char*> keep = {}) {
  nlohmann::json j = dsp_params_to_json(switches_on ? everything_on() : dsp_params_default());
  for (auto& [key, v] : j.items()) {
    if (std::find(keep.begin(), keep.end(), key) != keep.end()) continue;
    if (v.is_number_float()) v = value;
    if (v.is_array() && !v.empty() && v[0].is_number_float()) {
      for (auto& e : v) e = value;
    }
  }
  const auto read = dsp_params_from_json(j);
  EXPECT_TRUE(read.has_value()) << value;
  return read.value_or(dsp_params_default());
}

TEST(VocalChain, HostileParametersNeverMakeTheOutputNonFinite) {
  const std::vector<float> mic = test::sine(220.0, 0.3, 128 * 80);
  std::vector<float> music_l = test::sine(110.0, 0.4, mic.size());
  const std::vector<float> music_r = test::sine(165.0, 0.4, mic.size());
  for (std::size_t i = 0; i < mic.size(); i += 3000) music_l[i] = 0.9f;  // clicks
  struct Case {
    double value;
    std::initializer_list<const char*> keep;
  } cases[] = {
      {0.0, {}},
      {1.0e30, {}},
      {-1.0e30, {}},
      // The two levels scale the signal itself, so at the float range's end they
      // overflow it; the engine writes them from the mixer, within 0 to 2.
      {3.4e38, {"vocal_gain", "beat_volume"}},
      {-3.4e38, {"vocal_gain", "beat_volume"}},
  };
  for (const Case& c : cases) {
    for (bool switches_on : {false, true}) {
      VocalDsp d = vocal_dsp_new(every_number_set_to(c.value, switches_on, c.keep));
      const ChainRun r = run_chain(d, mic, music_l, music_r);
      std::size_t bad = 0;
      for (std::size_t i = 0; i < mic.size(); ++i) {
        bad += !std::isfinite(r.out_l[i]) || !std::isfinite(r.out_r[i]);
        for (const auto& stem : r.stems) bad += !std::isfinite(stem[i]);
      }
      EXPECT_EQ(bad, 0u) << "every number " << c.value << (switches_on ? ", every switch on" : "");
    }
  }
}

TEST(VocalChain, MegaphoneWithAndWithoutTheRadioSwitchIsOneEffect) {
  DspParams p;
  p.dj_fx_vocal = true;
  p.dj_fx_mode = "Megaphone";
  DspParams both = p;
  both.tc_lofi_radio = true;
  VocalDsp a = vocal_dsp_new(p), b = vocal_dsp_new(both);
  const std::vector<float> mic = sine(300.0, 0.3, 9600);
  const std::vector<float> music = sine(110.0, 0.2, mic.size());
  const ChainRun ra = run_chain(a, mic, music, music);
  const ChainRun rb = run_chain(b, mic, music, music);
  for (std::size_t i = 0; i < mic.size(); ++i) {
    ASSERT_EQ(ra.out_l[i], rb.out_l[i]) << i;
    ASSERT_EQ(ra.out_r[i], rb.out_r[i]) << i;
  }
  // The effect is there: the band-limit takes most of a 100 Hz voice away.
  DspParams plain;
  VocalDsp c = vocal_dsp_new(plain), e = vocal_dsp_new(both);
  const std::vector<float> low = sine(100.0, 0.3, 9600);
  EXPECT_LT(rms(run_chain(e, low, silence(low.size()), silence(low.size())).stems[0]),
            0.3 * rms(run_chain(c, low, silence(low.size()), silence(low.size())).stems[0]));
}

TEST(VocalChain, BeatGateAndDoublerRunOnlyInTheirRoutingOrders) {
  const std::vector<float> mic = sine(300.0, 0.3, 48000);
  const std::vector<float> z = silence(mic.size());
  for (const int order : {0, 1, 2, 3}) {
    DspParams off;
    off.mod_routing_order = static_cast<std::uint8_t>(order);
    off.reverb_enabled = false;  // no idle side signal
    DspParams on = off;
    on.beat_gate_enabled = true;
    on.doubler_mix = 0.5f;
    VocalDsp a = vocal_dsp_new(off), b = vocal_dsp_new(on);
    const ChainRun ra = run_chain(a, mic, z, z);
    const ChainRun rb = run_chain(b, mic, z, z);
    EXPECT_EQ(ra.out_l == rb.out_l, order >= 2) << order;
  }
}

TEST(VocalChain, NaNInputSampleStaysNaNThroughTheSoftClip) {
  DspParams p;
  p.vocal_chain_active = false;  // the input goes straight to the output stage
  VocalDsp d = vocal_dsp_new(p);
  std::array<float, 4> mic{0.0f, std::numeric_limits<float>::quiet_NaN(), 0.0f, 0.0f};
  std::array<float, 4> z{}, out_l{}, out_r{};
  vocal_chain_process(d, mic, z, z, out_l, out_r);
  EXPECT_TRUE(std::isnan(out_l[1]));
}

#ifdef MELODARA_HAVE_MXCSR
// Guards against the chain's flush-to-zero leaking into its caller: the start-up
// warm-up left it on the main thread, which every later thread inherits, so tiny
// parameter values read back as 0. The chain's own bits stay those of its mode.
TEST(VocalChain, RunsInItsFloatModeAndGivesTheCallerItsModeBack) {
  // The mode bits: everything but the sticky exception flags (bits 0 to 5).
  const auto mode = [] { return _mm_getcsr() & ~0x3fu; };
  const unsigned original = _mm_getcsr();
  const unsigned plain = original & ~kChainFloatBits & ~0x3fu;
  // The warm-up on a thread without the mode.
  _mm_setcsr(plain);
  VocalDsp warm = vocal_dsp_new(dsp_params_default());
  std::array<float, 64> silence{}, out_l{}, out_r{};
  vocal_chain_process(warm, silence, silence, silence, out_l, out_r);
  EXPECT_EQ(mode(), plain);
  const volatile float tiny = 1e-40f;
  EXPECT_NE(tiny * 1.0f, 0.0f) << "denormals are kept again after the call";

  // Denormal input, on a thread with and without the mode: the same bits.
  std::vector<float> mic = test::harmonics(220.0, 0.3, 5, 24000);
  for (std::size_t i = 0; i < mic.size(); i += 3) mic[i] = 1e-39f;
  const std::vector<float> music(mic.size(), 2e-39f);
  VocalDsp a = vocal_dsp_new(everything_on());
  VocalDsp b = vocal_dsp_new(everything_on());  // not a copy: a copy drops the stems' reserve
  const ChainRun plain_run = run_chain(a, mic, music, music);
  EXPECT_EQ(mode(), plain);
  _mm_setcsr(plain | kChainFloatBits);
  const ChainRun mode_run = run_chain(b, mic, music, music);
  EXPECT_EQ(mode(), plain | kChainFloatBits) << "a caller with the mode keeps it";
  _mm_setcsr(original);
  EXPECT_TRUE(test::same_samples(plain_run, mode_run));
  EXPECT_TRUE(a == b);
}
#endif

}  // namespace
}  // namespace melodara
