#include "dsp/tone_colour.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <random>

#include "chain_helpers.h"
#include "signal_helpers.h"

namespace melodara {
namespace {

using test::harmonics;
using test::join;
using test::silence;
using test::sine;

// Centre frequency of a peaking, band-pass, high-pass or low-pass cookbook section.
double centre_hz(const Biquad& f) {
  return std::acos(-double(f.a1) / (1.0 + double(f.a2))) * 48000.0 / (2.0 * std::numbers::pi);
}

double gain_db(const Biquad& f, double hz) { return 20.0 * std::log10(biquad_magnitude(f, hz)); }

TEST(ToneBands, DefaultDesignAfterOneBlock) {
  // Defaults, a voice with neither high nor low factor (no pitch yet), no
  // vibrato, warmth 0 and no air compensation in silence.
  VocalDsp d = vocal_dsp_new(DspParams{});
  test::run_voice(d, silence(128));
  struct Peak {
    std::size_t entry;
    double hz, db;
  } peaks[] = {{1, 197.4, 0.95},     {15, 314.9, -1.25},  {16, 625.1, -3.25},  {17, 1522.8, -1.75},
               {18, 2397.0, -2.75},  {19, 521.7, -1.675}, {20, 183.3, 0.4955}, {21, 437.1, -1.35},
               {22, 3600.0, 0.3318}, {2, 451.2, -2.25},   {3, 1450.0, -0.65}};
  for (const Peak& p : peaks) {
    const Biquad& f = d.filter_bank_b[p.entry];
    EXPECT_NEAR(centre_hz(f), p.hz, 0.05) << "entry " << p.entry;
    EXPECT_NEAR(gain_db(f, p.hz), p.db, 0.001) << "entry " << p.entry;
  }
  EXPECT_NEAR(gain_db(d.filter_bank_b[4], 23999.0), 1.95, 0.01);  // air shelf
  EXPECT_NEAR(gain_db(d.filter_bank_b[4], 1000.0), 0.0, 0.05);
  EXPECT_NEAR(centre_hz(d.filter_bank_b[28]), 0.94 * 122.0, 0.05);  // 88 Hz is below the floor
  EXPECT_NEAR(centre_hz(d.filter_bank_b[14]), 5506.0, 0.5);
  EXPECT_NEAR(d.filter_bank_b[14].b0, 0.19641328f, 1e-7f);  // the de-esser's Q 1.35 design
  // The echo filters.
  EXPECT_NEAR(centre_hz(d.filter_bank_a[19]), 240.0, 0.05);
  EXPECT_NEAR(centre_hz(d.filter_bank_a[20]), 240.0, 0.05);
  EXPECT_NEAR(centre_hz(d.filter_bank_a[21]), 5200.0, 0.05);
  EXPECT_NEAR(centre_hz(d.filter_bank_a[22]), 5200.0, 0.05);
}

TEST(ToneBands, EchoLowPassTakesTheLowerCutoffOrSweeps) {
  struct Case {
    float lp_hz, cutoff_hz;
    bool sweep;
    double expected_hz;
  } cases[] = {{5200.0f, 16000.0f, false, 5200.0},
               {9000.0f, 16000.0f, false, 6200.0},
               {5200.0f, 3000.0f, false, 3000.0},
               {5200.0f, 100.0f, false, 400.0},
               {5200.0f, 16000.0f, true, 2200.0}};  // the wobble phase starts at 0
  for (const Case& c : cases) {
    DspParams p;
    p.delay_lp_hz = c.lp_hz;
    p.autodj_filter_cutoff_hz = c.cutoff_hz;
    p.dj_fx_vocal = c.sweep;
    VocalDsp d = vocal_dsp_new(p);
    test::run_voice(d, silence(128));
    EXPECT_NEAR(centre_hz(d.filter_bank_a[21]), c.expected_hz, 0.05) << c.lp_hz << " " << c.cutoff_hz;
  }
}

// The howl detector's state after each block of a signal.
struct HowlTrace {
  std::vector<std::uint32_t> count;
  std::vector<float> depth_a, depth_b, freq_a, freq_b;
};

HowlTrace trace_howl(VocalDsp& d, const std::vector<float>& mic, std::size_t block = 128) {
  HowlTrace t;
  const std::vector<float> z(block, 0.0f);
  std::vector<float> out_l(block), out_r(block);
  for (std::size_t at = 0; at + block <= mic.size(); at += block) {
    vocal_chain_process(d, std::span(mic).subspan(at, block), z, z, out_l, out_r);
    t.count.push_back(d.tone.howl_count);
    t.depth_a.push_back(d.tone.notch_gain_a);
    t.depth_b.push_back(d.tone.notch_gain_b);
    t.freq_a.push_back(d.notch_freqs[0]);
    t.freq_b.push_back(d.notch_freqs[1]);
  }
  return t;
}

TEST(HowlNotches, ASteadyToneIsNotchedBlockByBlockAndReleasedAfterQuiet) {
  // 3 kHz at 0.1: eight periods a block, so every block reads the same estimate
  // (2,834.6 or 3,023.6 Hz by its phase). The first block only sets the estimate,
  // the next three count up, and from the fourth the notches move and deepen.
  VocalDsp d = vocal_dsp_new(DspParams{});
  const HowlTrace t = trace_howl(d, sine(3000.0, 0.1, 128 * 60));
  EXPECT_EQ(t.count[0], 0u);
  EXPECT_EQ(t.count[1], 1u);
  EXPECT_EQ(t.count[2], 2u);
  EXPECT_EQ(t.depth_a[2], 0.0f);
  EXPECT_EQ(t.freq_a[2], 2500.0f);
  EXPECT_EQ(t.count[3], 3u);
  EXPECT_NEAR(t.depth_a[3], -2.8f, 1e-5f);
  EXPECT_NEAR(t.depth_b[3], -1.5f, 1e-5f);
  const float estimate = (t.freq_a[3] - 0.7f * 2500.0f) / 0.3f;
  EXPECT_TRUE(std::fabs(estimate - 2834.6f) < 0.5f || std::fabs(estimate - 3023.6f) < 0.5f) << estimate;
  EXPECT_FLOAT_EQ(t.freq_b[3], 2.0f * t.freq_a[3]);
  EXPECT_NEAR(t.depth_a[4], -5.6f, 1e-5f);
  EXPECT_EQ(t.depth_a[59], -15.0f);
  EXPECT_EQ(t.depth_b[59], -8.0f);
  EXPECT_EQ(t.count[59], 40u);
  EXPECT_NEAR(t.freq_a[59], estimate, 1.0f);
  EXPECT_NEAR(gain_db(d.notch_a, estimate), -15.0, 0.1);
  EXPECT_NEAR(gain_db(d.notch_b, 2.0 * double{estimate}), -8.0, 0.1);

  // Quiet: 39 blocks at full depth, the 40th starts the decay by 0.92 a block, and
  // after 69 decays the notches leave the path.
  const HowlTrace q = trace_howl(d, silence(128 * 120));
  for (std::size_t b = 0; b < 39; ++b) ASSERT_EQ(q.depth_a[b], -15.0f) << b;
  EXPECT_EQ(q.count[39], 0u);
  EXPECT_NEAR(q.depth_a[39], -15.0f * 0.92f, 1e-4f);
  EXPECT_LT(q.depth_a[106], -0.05f);
  EXPECT_GE(q.depth_a[107], -0.05f);
}

TEST(HowlNotches, TheNotchTakesTheToneOutOfTheVoice) {
  // The same tone in blocks of 31 frames, too short for the detector, and of 128:
  // with the EQ and the tube stage off nothing else depends on the block, so the
  // difference is the notch, about 13 dB at 3 kHz (the notch sits on the block
  // estimate, 3,023.6 Hz, with Q 14).
  DspParams p;
  p.eq_enabled = p.tc_pultronic_enabled = false;
  const std::vector<float> mic = sine(3000.0, 0.1, 128 * 31 * 2);
  auto voice_db = [&](std::size_t block) {
    VocalDsp d = vocal_dsp_new(p);
    const std::vector<float> z(mic.size(), 0.0f);
    const test::ChainRun r = test::run_chain(d, mic, z, z, block);
    return 20.0 * std::log10(test::rms(std::span<const float>(r.stems[0]).subspan(128 * 50)));
  };
  EXPECT_LT(voice_db(128) - voice_db(31), -10.0);
}

TEST(HowlNotches, OnlyASteadyToneInTheHowlRangeCounts) {
  std::mt19937 rng(11);
  std::normal_distribution<float> g(0.0f, 0.1f);
  std::vector<float> noise(128 * 40);
  for (float& v : noise) v = g(rng);
  // A tone that changes its frequency every block, between 2,000 and 2,600 Hz.
  std::vector<float> warble(128 * 40);
  double phase = 0.0;
  for (std::size_t i = 0; i < warble.size(); ++i) {
    phase += 2.0 * std::numbers::pi * ((i / 128) % 2 == 0 ? 2000.0 : 2600.0) / 48000.0;
    warble[i] = static_cast<float>(0.1 * std::sin(phase));
  }
  struct Case {
    const char* what;
    std::vector<float> mic;
    std::size_t block;
  } cases[] = {
      {"500 Hz, below the range", sine(500.0, 0.1, 128 * 40), 128},
      {"9 kHz, above the range", sine(9000.0, 0.1, 128 * 40), 128},
      {"noise", noise, 128},
      {"a tone whose estimate moves", warble, 128},
      {"blocks shorter than 32 frames", sine(3000.0, 0.1, 31 * 160), 31},
      {"too quiet", sine(3000.0, 0.004, 128 * 40), 128},
  };
  for (const Case& c : cases) {
    VocalDsp d = vocal_dsp_new(DspParams{});
    const HowlTrace t = trace_howl(d, c.mic, c.block);
    for (std::size_t b = 0; b < t.count.size(); ++b) {
      ASSERT_EQ(t.count[b], 0u) << c.what << ", block " << b;
      ASSERT_EQ(t.depth_a[b], 0.0f) << c.what;
    }
  }
}

TEST(AirCompensation, TheShelfIsCutFullyAtThreeAndAHalfTimesTheThreshold) {
  // air_sensitivity 0.65: threshold T = 0.0595. The cut grows as (ma - T) / 2.5 T
  // and is held to air_max_comp_db within 0.5..2 dB.
  const float threshold = (1.2f - 0.5f * 0.65f) * 0.068f;
  struct Case {
    float air_level, max_db;
    double cut_db;
  } cases[] = {{0.5f * threshold, 4.5f, 0.0},  {threshold, 4.5f, 0.0},         {2.5f * threshold, 4.5f, -1.2},
               {3.5f * threshold, 4.5f, -2.0}, {6.0f * threshold, 4.5f, -2.0}, {3.5f * threshold, 1.0f, -1.0},
               {3.5f * threshold, 0.1f, -0.5}};
  for (const Case& c : cases) {
    DspParams p;
    p.air_max_comp_db = c.max_db;
    ToneState s;
    s.air_level = c.air_level;
    VocalDsp d = vocal_dsp_new(p);
    tone_prepare(s, tone_sections(d), p, ToneInputs{});
    EXPECT_NEAR(gain_db(d.filter_bank_b[4], 23999.0), 1.95 + c.cut_db, 0.01) << c.air_level / threshold;
  }
}

TEST(ToneBands, APresenceHeavyVoiceIsCutAndADarkOneIsNot) {
  VocalDsp bright = vocal_dsp_new(DspParams{});
  test::run_voice(bright, sine(2650.0, 0.1, 48000));
  EXPECT_LT(bright.tone.cut_high, -6.0f);
  VocalDsp dark = vocal_dsp_new(DspParams{});
  test::run_voice(dark, harmonics(147.0, 0.1, 3, 48000));
  EXPECT_EQ(dark.tone.cut_low, 0.0f);
  EXPECT_EQ(dark.tone.cut_high, 0.0f);
}

TEST(ToneBands, SwitchesAndClampsSoundTheSameOnFreshEngines) {
  const std::vector<float> mic =
      join({harmonics(262.0, 0.2, 8, 12000), sine(7000.0, 0.2, 6000), harmonics(110.0, 0.3, 8, 12000)});
  auto run = [&mic](const std::function<void(DspParams&)>& edit) {
    DspParams p;
    edit(p);
    VocalDsp d = vocal_dsp_new(p);
    return test::run_voice(d, mic);
  };
  using Edit = std::function<void(DspParams&)>;
  struct Pair {
    const char* what;
    Edit a, b;
  } pairs[] = {
      {"the colour stage needs the EQ", [](DspParams& p) { p.eq_enabled = false; },
       [](DspParams& p) {
         p.eq_enabled = false;
         p.tc_mannym_enabled = false;
       }},
      {"the air shelf needs the tube stage", [](DspParams& p) { p.tc_pultronic_enabled = false; },
       [](DspParams& p) {
         p.tc_pultronic_enabled = false;
         p.air_gain_db = -12.0f;
         p.eq_high_db = 12.0f;
         p.air_compensator_enabled = false;
       }},
      {"the EQ's settings need the EQ", [](DspParams& p) { p.eq_enabled = false; },
       [](DspParams& p) {
         p.eq_enabled = false;
         p.eq_low_db = 9.0f;
         p.eq_mid_db = -9.0f;
         p.tc_q8_515hz_db = 3.0f;
       }},
      {"the bass lift needs its switch", [](DspParams& p) { p.tc_rbass_intensity = 0.005f; },
       [](DspParams& p) {
         p.tc_rbass_intensity = 0.005f;
         p.tc_rbass_enabled = false;
       }},
      {"the bass band's floor of 122 Hz", [](DspParams& p) { p.tc_rbass_freq_hz = 122.0f; },
       [](DspParams& p) { p.tc_rbass_freq_hz = 40.0f; }},
      {"a body gain beyond 2.4 dB", [](DspParams& p) { p.eq_low_db = 10.0f; },
       [](DspParams& p) { p.eq_low_db = 30.0f; }},
      {"an air compensation beyond 2 dB", [](DspParams& p) { p.air_max_comp_db = 2.0f; },
       [](DspParams& p) { p.air_max_comp_db = 40.0f; }},
      {"a drive beyond 1", [](DspParams& p) { p.tc_pultronic_drive = 1.0f; },
       [](DspParams& p) { p.tc_pultronic_drive = 3.0f; }},
  };
  for (const Pair& c : pairs) EXPECT_TRUE(test::same_samples(run(c.a), run(c.b))) << c.what;
  // And the settings do act when their stage runs.
  EXPECT_FALSE(test::same_samples(run([](DspParams&) {}), run([](DspParams& p) { p.eq_mid_db = -9.0f; })));
  EXPECT_FALSE(test::same_samples(run([](DspParams&) {}), run([](DspParams& p) { p.air_gain_db = -12.0f; })));
}

}  // namespace
}  // namespace melodara
