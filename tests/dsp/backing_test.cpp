#include "dsp/backing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <limits>
#include <vector>

#include "chain_helpers.h"
#include "signal_helpers.h"

namespace melodara {
namespace {

using test::cents;
using test::ChainRun;
using test::dominant_frequency;
using test::run_chain;
using test::same_bits;
using test::silence;
using test::sine;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A centred track (the same on both sides) under a silent microphone.
ChainRun run_track(const DspParams& p, const std::vector<float>& track) {
  VocalDsp d = vocal_dsp_new(p);
  return run_chain(d, silence(track.size()), track, track);
}

double level_db(double ratio) { return 20.0 * std::log10(ratio); }

TEST(Backing, BlockConstants) {
  struct Case {
    const char* what;
    bool remover;
    float cancel;
    bool imager;
    float width_pct;
    bool mono;
    float remover_amount, width;
  } cases[] = {
      {"defaults", false, 0.0f, true, 102.0f, false, 0.0f, 1.02f},
      {"remover at 0 uses 0.96", true, 0.0f, true, 102.0f, false, 0.96f, 1.02f},
      {"remover at 0.1 is raised", true, 0.1f, true, 102.0f, false, 0.15f, 1.02f},
      {"remover at 2", true, 2.0f, true, 102.0f, false, 1.0f, 1.02f},
      {"width 200", false, 0.0f, true, 200.0f, false, 0.0f, 1.08f},
      {"width 10", false, 0.0f, true, 10.0f, false, 0.0f, 0.65f},
      {"imager off", false, 0.0f, false, 200.0f, false, 0.0f, 0.98f},
      {"phone mono", false, 0.0f, true, 102.0f, true, 0.0f, 1.02f},
  };
  for (const Case& c : cases) {
    DspParams p;
    p.vocal_remover_karaoke = c.remover;
    p.vocal_cancel_pct = c.cancel;
    p.imager_enabled = c.imager;
    p.stereo_width_pct = c.width_pct;
    p.send_to_phone_mono = c.mono;
    const BackingBlock b = backing_prepare(p, 0.002f, 1.0f);
    EXPECT_FLOAT_EQ(b.remover, c.remover_amount) << c.what;
    EXPECT_FLOAT_EQ(b.side_gain, (0.96f + 0.14f * c.remover_amount) * c.width) << c.what;
    EXPECT_FLOAT_EQ(b.synth_gain, c.mono ? 0.0f : 0.24f * std::max(c.width, 0.75f)) << c.what;
  }
}

TEST(Backing, KeyShiftActivationAndBandGains) {
  struct Case {
    std::int32_t shift;
    float fine, mix;
    bool active;
    float low_db, high_db;
  } cases[] = {
      {0, 0.5f, 1.0f, false, 0.0f, 0.0f},  // |rho - 1| = 0.00029
      {0, 0.9f, 1.0f, true, 0.0f, 0.0f},   // 0.00052; |s| <= 0.01 keeps the bands flat
      {2, 0.0f, 0.01f, false, 2.3f, 0.12f},
      {1, 0.0f, 1.0f, true, 2.1f, 0.04f},
      {-1, 0.0f, 1.0f, true, -1.58f, 0.86f},
      {2, 0.0f, 1.0f, true, 2.3f, 0.12f},
      {12, 0.0f, 1.0f, true, 4.3f, 0.92f},
      // Beyond the shifters' range the shift and its band gains stay at the bound.
      {36, 0.0f, 1.0f, true, 4.3f, 0.92f},
      {std::numeric_limits<std::int32_t>::max(), 0.0f, 1.0f, true, 4.3f, 0.92f},
      {0, 1e30f, 1.0f, true, 4.3f, 0.92f},
      {-40, 0.0f, 1.0f, true, -1.5f - 0.4f * 0.4f * (18.174185f - 0.5f),
       0.8f + 0.3f * 0.4f * (18.174185f - 0.5f)},
      // A fine shift that is not a number is none.
      {0, kNaN, 1.0f, false, 0.0f, 0.0f},
      {0, kInf, 1.0f, false, 0.0f, 0.0f},
      {2, -kInf, 1.0f, true, 2.3f, 0.12f},
      {2, 0.0f, kNaN, false, 2.3f, 0.12f},
  };
  for (const Case& c : cases) {
    DspParams p;
    p.beat_semitone_shift = c.shift;
    p.beat_fine_cents = c.fine;
    p.autopitch_mix = c.mix;
    const BackingBlock b = backing_prepare(p, 0.002f, 1.0f);
    EXPECT_EQ(b.shift, c.active) << c.shift << " " << c.fine;
    EXPECT_NEAR(level_db(b.low_gain), c.low_db, 0.01) << c.shift << " " << c.fine;
    EXPECT_NEAR(level_db(b.high_gain), c.high_db, 0.01) << c.shift << " " << c.fine;
    EXPECT_TRUE(b.ratio >= 0.35f && b.ratio <= 2.0f) << c.shift << " " << c.fine;
  }
}

// The shifters splice at a fixed length (no pitch is told), so the shifted track
// carries the splice rate as a level ripple; the line itself lands on the note.
TEST(Backing, KeyShiftMovesA440HzTrackUpTwoSemitones) {
  const std::vector<float> track = sine(440.0, 0.2, 48000 * 3);
  DspParams p;
  p.beat_semitone_shift = 2;
  const ChainRun r = run_track(p, track);
  const std::span<const float> tail(r.stems[2].data() + 48000 * 3 / 2, 48000 * 3 / 2);
  const double f = dominant_frequency(tail, 300.0, 700.0);
  const double below = level_db(test::spectrum_at(tail, f) / test::spectrum_at(tail, 440.0));
  EXPECT_NEAR(cents(f, 493.88), 0.0, 25.0);
  EXPECT_GE(below, 15.0);
  // Level ripple: the rms of 5 ms windows.
  double lo = 1e9, hi = 0.0;
  for (std::size_t at = 0; at + 240 <= tail.size(); at += 240) {
    const double w = test::rms(tail.subspan(at, 240));
    lo = std::min(lo, w);
    hi = std::max(hi, w);
  }
  const double ripple = level_db(hi / lo);
  std::cout << "[ measured ] +2 semitones: line " << f << " Hz (" << cents(f, 493.88) << " cents), 440 Hz "
            << below << " dB below, ripple " << ripple << " dB\n";
  RecordProperty("line_hz", std::to_string(f));
  RecordProperty("ripple_db", std::to_string(ripple));
  EXPECT_LT(ripple, 12.0);

  p.autopitch_mix = 0.0f;  // the mix takes the shift away
  const ChainRun dry = run_track(p, track);
  const std::span<const float> dry_tail(dry.stems[2].data() + 48000, 48000);
  EXPECT_NEAR(cents(dominant_frequency(dry_tail, 300.0, 700.0), 440.0), 0.0, 5.0);
}

TEST(Backing, RemoverTakesACentredToneAway) {
  const std::vector<float> track = sine(1000.0, 0.2, 48000 * 2);
  DspParams p;
  p.vocal_remover_karaoke = true;  // vocal_cancel_pct 0: 0.96
  const ChainRun on = run_track(p, track);
  p.vocal_remover_karaoke = false;
  const ChainRun off = run_track(p, track);
  const auto tail = [](const ChainRun& r, std::size_t k) {
    return std::span<const float>(r.stems[k]).subspan(48000);
  };
  for (const std::size_t k : {2u, 3u}) {
    EXPECT_GE(level_db(test::spectrum_at(tail(off, k), 1000.0) / test::spectrum_at(tail(on, k), 1000.0)),
              20.0)
        << k;
  }
}

TEST(Backing, DuckingLowersTheTrackWhileTheSingerSings) {
  struct Case {
    const char* what;
    bool pk, ducker;
    float amount_db, gain;
  } cases[] = {
      {"karaoke", true, false, 1.2f, 0.28f},
      {"karaoke over the ducker", true, true, 10.0f, 0.28f},
      {"ducker", false, true, 1.2f, std::pow(10.0f, -0.42f / 20.0f)},
      {"ducker at most 1.2 dB", false, true, 10.0f, std::pow(10.0f, -1.2f / 20.0f)},
      {"ducker, negative amount", false, true, -3.0f, 1.0f},
      {"none", false, false, 1.2f, 1.0f},
  };
  const std::vector<float> mic = test::join({silence(4800), test::harmonics(220.0, 0.1, 6, 48000)});
  const std::vector<float> track = sine(330.0, 0.2, mic.size());
  const float g2 = std::pow(10.0f, 0.24f * 3.7f / 20.0f);
  for (const Case& c : cases) {
    DspParams p;
    p.pk_mode_ducking = c.pk;
    p.ducker_enabled = c.ducker;
    p.duck_amount_db = c.amount_db;
    p.tc_vitamin_enabled = false;  // the punch stage adds to the track pairs
    VocalDsp d = vocal_dsp_new(p);
    const ChainRun r = run_chain(d, mic, track, track);
    std::size_t checked = 0;
    // Before the singer nothing ducks; once singing, the track as mixed is the
    // undocked track times the gain.
    for (std::size_t i = 0; i < mic.size(); ++i) {
      if (std::fabs(r.stems[4][i]) < 0.02f || (i > 3000 && i < 9600)) continue;
      const float ratio = r.stems[2][i] * g2 / r.stems[4][i];
      ASSERT_NEAR(ratio, i < 4800 ? 1.0f : c.gain, 1e-4f) << c.what << " at " << i;
      ++checked;
    }
    EXPECT_GT(checked, 20000u) << c.what;
  }
}

TEST(Backing, ReverbActiveGainSettlesInSilenceAndStaysOffOnPause) {
  const std::vector<float> z = silence(48000);
  {
    VocalDsp d = vocal_dsp_new(DspParams{});
    const ChainRun r = run_chain(d, z, z, z);
    // Vr = 0.65 / 0.58, V = Vr x 0.58 = 0.65; no singer and no track: D = B = 1.
    EXPECT_NEAR(r.last.reverb_active_gain, 0.65f, 0.005f);
  }
  DspParams p;
  p.auto_mute_reverb_on_pause = true;
  {
    VocalDsp d = vocal_dsp_new(p);
    const ChainRun r = run_chain(d, z, z, z);
    for (const DspMeters& m : r.meters) ASSERT_LT(m.reverb_active_gain, 0.001f);
  }
  {
    // A playing track lifts the flag.
    VocalDsp d = vocal_dsp_new(p);
    const std::vector<float> track = sine(330.0, 0.2, z.size());
    const ChainRun r = run_chain(d, z, track, track);
    EXPECT_GT(r.last.reverb_active_gain, 0.6f);
  }
}

TEST(Backing, PhoneMonoMakesACentredTrackExactlyMono) {
  const std::vector<float> track = sine(330.0, 0.2, 9600);
  DspParams p;
  p.tc_vitamin_enabled = false;
  const ChainRun wide = run_track(p, track);
  EXPECT_NE(wide.stems[2], wide.stems[3]);  // the synthesised side widens it
  p.send_to_phone_mono = true;
  const ChainRun mono = run_track(p, track);
  EXPECT_EQ(mono.stems[2], mono.stems[3]);
}

// A shift beyond the shifters' range acts as the bound; a fine shift that is not
// a number, as none. Before, a large shift lifted the bass by 9 dB and more, and
// an infinite one left the whole output NaN for good.
TEST(Backing, OutOfRangeShiftsActAsTheirBound) {
  const std::vector<float> track = sine(220.0, 0.2, 9600);
  const std::vector<float> mic = sine(300.0, 0.05, track.size());
  struct Case {
    std::int32_t shift;
    float fine;
    std::int32_t same_shift;
  } cases[] = {{36, 0.0f, 12},   {std::numeric_limits<std::int32_t>::max(), 0.0f, 12},
               {-40, 0.0f, -19}, {std::numeric_limits<std::int32_t>::min(), 0.0f, -19},
               {0, 3e38f, 12},   {3, kInf, 3},
               {3, kNaN, 3},     {3, -kInf, 3}};
  for (const Case& c : cases) {
    DspParams a, b;
    a.beat_semitone_shift = c.shift;
    a.beat_fine_cents = c.fine;
    b.beat_semitone_shift = c.same_shift;
    VocalDsp da = vocal_dsp_new(a), db = vocal_dsp_new(b);
    const ChainRun ra = run_chain(da, mic, track, track);
    const ChainRun rb = run_chain(db, mic, track, track);
    for (const float v : ra.out_l) ASSERT_TRUE(std::isfinite(v)) << c.shift << " " << c.fine;
    EXPECT_EQ(ra.stems[2], rb.stems[2]) << c.shift << " " << c.fine;
    EXPECT_EQ(ra.stems[4], rb.stems[4]) << c.shift << " " << c.fine;
  }
}

// The chain runs stage 24 over runs of up to kBackingRun samples, stage by stage;
// it must give what the one-sample form gives, sample by sample, and leave every
// memory as that does. The track has loud, quiet and silent stretches (each of
// the leveller's and the bass manager's branches) and a NaN and an infinity; the
// singer crosses the gate level and the ducking level.
TEST(Backing, RunMatchesTheOneSampleForm) {
  const std::size_t n = 48000;
  std::vector<float> left = test::join({sine(60.0, 0.6, n / 4), sine(330.0, 0.05, n / 4), silence(n / 8),
                                        sine(95.0, 0.3, n / 8), sine(2000.0, 0.9, n / 4)});
  std::vector<float> right = test::join({sine(70.0, 0.5, n / 4), sine(440.0, 0.07, n / 4), silence(n / 8),
                                         sine(180.0, 0.02, n / 8), sine(1500.0, 0.8, n / 4)});
  const std::vector<float> hiss = test::noise(n, 7);
  for (std::size_t i = 0; i < n; ++i) {
    left[i] += 0.02f * hiss[i];
    right[i] -= 0.03f * hiss[(i + 100) % n];
  }
  left[n / 3] = kNaN;
  right[n / 2] = kInf;
  std::vector<SingerInputs> singer(n);
  for (std::size_t i = 0; i < n; ++i) {
    singer[i].level = 0.012f * static_cast<float>(1.0 + std::sin(static_cast<double>(i) * 0.0011));
  }

  std::vector<DspParams> cases(5);
  cases[1].vocal_remover_karaoke = true;
  cases[1].beat_semitone_shift = 2;
  cases[2].pk_mode_ducking = true;
  cases[2].send_to_phone_mono = true;
  cases[2].beat_semitone_shift = -3;
  cases[2].autopitch_mix = 0.5f;
  cases[3].ducker_enabled = true;
  cases[3].vocal_cancel_pct = 0.5f;
  cases[3].vocal_remover_karaoke = true;
  cases[3].stereo_width_pct = 200.0f;
  cases[4].beat_fine_cents = 0.9f;  // a shift just large enough to switch the shifters on
  const std::size_t lengths[] = {kBackingRun, 1, 37, kBackingRun, 90, 2};

  for (std::size_t c = 0; c < cases.size(); ++c) {
    const DspParams& p = cases[c];
    VocalDsp by_sample = vocal_dsp_new(p);
    VocalDsp by_run = vocal_dsp_new(p);
    const BackingBlock block = backing_prepare(p, 0.004f, 1.5f);
    const BackingLines sample_lines = backing_lines(by_sample);
    const BackingLines run_lines = backing_lines(by_run);
    std::vector<BackingOut> out(kBackingRun);
    std::vector<float> track_level(kBackingRun);
    std::size_t at = 0;
    for (std::size_t r = 0; at < n; ++r) {
      const std::size_t len = std::min(lengths[r % std::size(lengths)], n - at);
      backing_run(by_run.backing, run_lines, block,
                  {std::span(left).subspan(at, len), std::span(right).subspan(at, len),
                   std::span(singer).subspan(at, len), out, track_level},
                  by_run.run.backing_scratch);
      for (std::size_t j = 0; j < len; ++j, ++at) {
        const BackingOut o =
            backing_sample(by_sample.backing, sample_lines, block, {left[at], right[at]}, singer[at].level);
        ASSERT_TRUE(same_bits(o.track.left, out[j].track.left) &&
                    same_bits(o.track.right, out[j].track.right) && same_bits(o.level, out[j].level) &&
                    same_bits(o.mid, out[j].mid) && same_bits(o.side, out[j].side) &&
                    same_bits(by_sample.backing.track_level, track_level[j]))
            << "case " << c << " sample " << at;
      }
      ASSERT_EQ(by_sample.backing, by_run.backing) << "case " << c << " after sample " << at;
    }
    EXPECT_EQ(by_sample.filter_bank_b, by_run.filter_bank_b) << c;
    EXPECT_EQ(by_sample.short_line_a, by_run.short_line_a) << c;
    EXPECT_EQ(by_sample.music_shifter, by_run.music_shifter) << c;
    EXPECT_EQ(by_sample.music_shifter_l, by_run.music_shifter_l) << c;
    EXPECT_EQ(by_sample.music_shifter_r, by_run.music_shifter_r) << c;
  }
}

}  // namespace
}  // namespace melodara
