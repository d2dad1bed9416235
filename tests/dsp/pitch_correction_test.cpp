#include "dsp/pitch_correction.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <iostream>
#include <numbers>
#include <random>

#include "dsp/vocal_dsp.h"
#include "signal_helpers.h"

namespace melodara {
namespace {

using test::cents;
using test::dominant_frequency;

double note(double midi, double ref = 440.0) { return ref * std::pow(2.0, (midi - 69.0) / 12.0); }

// ---- snap_to_scale ----

struct SnapCase {
  const char* what;
  std::uint64_t root;
  bool minor, chromatic;
  double in_hz, ref, expected_hz;
};

TEST(SnapToScale, TableOfCases) {
  const double c40 = std::pow(2.0, 40.0 / 1200.0);
  const SnapCase cases[] = {
      {"in key stays on its note", 2, true, false, 220.0 * std::pow(2.0, 15.0 / 1200.0), 440, 220.0},
      {"A# is in D minor", 2, true, false, 233.0, 440, note(58)},
      {"A# in D major, sung accurately, is kept", 2, false, false, note(58) * std::pow(2.0, 0.2 / 12), 440,
       note(58)},
      {"A# in D major beyond 0.22 goes to the nearer scale note", 2, false, false, note(58.3), 440, note(59)},
      {"A# in D major sung flat goes down to A", 2, false, false, note(57.7), 440, note(57)},
      {"raised seventh C# in D minor within 0.36", 2, true, false, note(61.3), 440, note(61)},
      {"raised sixth B in D minor within 0.36", 2, true, false, note(58.7), 440, note(59)},
      {"raised seventh beyond 0.36 snaps to the nearer scale note", 2, true, false, note(61.4), 440,
       note(62)},
      {"G# in D minor is out of key and snaps", 2, true, false, note(56.3), 440, note(57)},
      {"chromatic keeps the nearest note", 2, true, true, note(56.3), 440, note(56)},
      {"chromatic rounds up past the half", 0, false, true, note(60.6), 440, note(61)},
      {"C# in C major sung accurately is kept", 0, false, false, note(61.0), 440, note(61)},
      {"C# in C major sung sharp goes to D", 0, false, false, note(61.3), 440, note(62)},
      {"tie between E and F in C major takes the lower", 0, false, false, note(64.5), 440, note(64)},
      {"tie between B and C in C major takes the lower", 0, false, false, note(59.5), 440, note(59)},
      {"432 reference", 9, false, false, 216.0 * c40 / c40, 432, 216.0},
      {"432 reference, off by 40 cents", 9, false, false, 216.0 * c40, 432, 216.0},
      {"446 reference", 2, true, false, 446.0 * 1.01, 446, 446.0},
      {"40 Hz is returned as is", 2, true, false, 40.0, 440, 40.0},
      {"below 40 Hz is returned as is", 2, true, false, 27.5, 440, 27.5},
  };
  for (const SnapCase& c : cases) {
    const float got =
        snap_to_scale(c.root, c.minor, c.chromatic, static_cast<float>(c.in_hz), static_cast<float>(c.ref));
    EXPECT_NEAR(cents(got, c.expected_hz), 0.0, 0.05) << c.what << ": got " << got;
  }
}

TEST(SnapToScale, NonFiniteInputsComeBackUnchanged) {
  EXPECT_TRUE(std::isnan(snap_to_scale(2, true, false, NAN, 440.0f)));
  EXPECT_EQ(snap_to_scale(2, true, false, INFINITY, 440.0f), INFINITY);
  EXPECT_EQ(snap_to_scale(2, true, false, 300.0f, 0.0f), 300.0f);
}

// ---- detection ----

struct Tone {
  double f0;
  int harmonics;  // 1 = sine
  double vibrato_cents;
  double noise;  // standard deviation
};

std::vector<float> tone(const Tone& t, std::size_t n, unsigned seed = 9) {
  std::vector<float> x(n);
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, t.noise);
  double phase = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double time = static_cast<double>(i) / 48000.0;
    const double f =
        t.f0 * std::pow(2.0, t.vibrato_cents / 1200.0 * std::sin(2.0 * std::numbers::pi * 5.5 * time));
    phase += 2.0 * std::numbers::pi * f / 48000.0;
    double v = 0.0;
    for (int k = 1; k <= t.harmonics; ++k) v += std::sin(k * phase) / k;
    x[i] = static_cast<float>(0.2 * v + (t.noise > 0 ? g(rng) : 0.0));
  }
  return x;
}

// Feeds the correction stage sample by sample and collects the detected pitch
// after every analysis hop.
std::vector<float> detect_hops(VocalDsp& d, const std::vector<float>& x) {
  std::vector<float> hops;
  for (float v : x) {
    pitch_correction_sample(d.pitch_state, d.main_shifter, d.params, v);
    if (d.pitch_state.hop_counter == 0) hops.push_back(d.pitch_state.detected_hz);
  }
  return hops;
}

TEST(PitchDetection, TonesAcrossTheSingingRangeReadAtTheirFundamental) {
  for (double f0 = 80.0; f0 <= 1000.0; f0 *= std::pow(2.0, 1.0 / 6.0)) {
    for (Tone t : {Tone{f0, 1, 0, 0}, Tone{f0, 6, 0, 0}, Tone{f0, 1, 0, 0.006}, Tone{f0, 6, 0, 0.006}}) {
      VocalDsp d = vocal_dsp_new(DspParams{});
      const std::vector<float> hops = detect_hops(d, tone(t, 24000));
      // Skip the first frame and the median's settling.
      for (std::size_t h = 16; h < hops.size(); ++h) {
        ASSERT_GT(hops[h], 0.0f) << t.f0 << " harmonics " << t.harmonics << " hop " << h;
        ASSERT_NEAR(cents(hops[h], t.f0), 0.0, 10.0)
            << t.f0 << " harmonics " << t.harmonics << " noise " << t.noise << " hop " << h;
      }
    }
  }
}

TEST(PitchDetection, VibratoTonesFollowTheirFundamental) {
  for (double f0 : {82.0, 130.0, 196.0, 262.0, 440.0, 659.0, 988.0}) {
    for (int harmonics : {1, 6}) {
      const Tone t{f0, harmonics, 30.0, 0.004};
      VocalDsp d = vocal_dsp_new(DspParams{});
      const std::vector<float> hops = detect_hops(d, tone(t, 48000));
      double log_sum = 0.0;
      std::size_t count = 0;
      // Whole vibrato cycles: 5.5 Hz repeats every 8,727 samples, about 91 hops.
      for (std::size_t h = 100; h < 100 + 5 * 91 / 1 && h < hops.size(); ++h) {
        ASSERT_GT(hops[h], 0.0f) << f0;
        ASSERT_NEAR(cents(hops[h], f0), 0.0, 30.0 + 10.0) << f0 << " hop " << h;
        log_sum += std::log2(static_cast<double>(hops[h]));
        ++count;
      }
      EXPECT_NEAR(cents(std::exp2(log_sum / static_cast<double>(count)), f0), 0.0, 10.0)
          << f0 << " harmonics " << harmonics;
    }
  }
}

TEST(PitchDetection, AFullPeriodIsPreferredToHalfOfIt) {
  // A weak fundamental under a strong second harmonic: the search first stops
  // on half the period; the octave check must bring it back to the fundamental.
  for (double f0 : {110.0, 150.0, 220.0, 330.0}) {
    std::vector<float> x(24000);
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double ph = 2.0 * std::numbers::pi * f0 * static_cast<double>(i) / 48000.0;
      x[i] =
          static_cast<float>(0.2 * (0.05 * std::sin(ph) + std::sin(2 * ph + 0.4) + 0.3 * std::sin(3 * ph)));
    }
    VocalDsp d = vocal_dsp_new(DspParams{});
    const std::vector<float> hops = detect_hops(d, x);
    EXPECT_NEAR(cents(hops.back(), f0), 0.0, 10.0) << f0;
  }
}

TEST(PitchDetection, SilenceAndNoiseReadNoPitch) {
  VocalDsp d = vocal_dsp_new(DspParams{});
  for (float h : detect_hops(d, std::vector<float>(24000, 0.0f))) ASSERT_EQ(h, 0.0f);
  std::mt19937 rng(5);
  std::normal_distribution<float> g(0.0f, 0.1f);
  std::vector<float> noise(48000);
  for (float& v : noise) v = g(rng);
  VocalDsp e = vocal_dsp_new(DspParams{});
  const std::vector<float> hops = detect_hops(e, noise);
  std::size_t voiced = 0;
  for (float h : hops) voiced += h > 0.0f;
  EXPECT_EQ(voiced, 0u) << "of " << hops.size();
  // Too quiet to analyse.
  VocalDsp quiet = vocal_dsp_new(DspParams{});
  std::vector<float> soft = tone({220.0, 1, 0, 0}, 24000);
  for (float& v : soft) v *= 0.005f;  // rms about 0.0007 after the input filter
  for (float h : detect_hops(quiet, soft)) ASSERT_EQ(h, 0.0f);
}

// The gate reads the root mean square of the older half with its squares summed in
// order; frames scaled to within a few float steps of the gate must fall on the
// side that sum puts them, whatever shortcut the detector takes far from it.
TEST(PitchDetection, TheLoudnessGateFollowsTheInOrderSumRightAtItsThreshold) {
  const std::vector<float> x = tone({220.0, 3, 0, 0}, kPitchFrame);
  const auto in_order_rms = [](const std::vector<float>& f) {
    float energy = 0.0f;
    for (std::size_t j = 0; j < 512; ++j) energy += f[j] * f[j];
    return std::sqrt(energy / 512.0f);
  };
  const float at_gate = 0.0018f / in_order_rms(x);
  std::size_t below = 0, above = 0;
  for (int step = -40; step <= 40; ++step) {
    std::vector<float> f = x;
    const float gain = at_gate * (1.0f + static_cast<float>(step) * 1e-7f);
    for (float& v : f) v *= gain;
    const bool quiet = in_order_rms(f) < 0.0018f;
    (quiet ? below : above) += 1;
    EXPECT_EQ(analyse_pitch_frame(f).voiced, !quiet) << "step " << step;
  }
  EXPECT_GT(below, 0u);
  EXPECT_GT(above, 0u);
}

TEST(PitchDetection, ANoteIsHeldForEightSilentHopsAfterALongEnoughRun) {
  struct Case {
    std::size_t tone_samples;
    bool held;
  } cases[] = {{24000, true}, {1500, false}};
  for (const Case& c : cases) {
    VocalDsp d = vocal_dsp_new(DspParams{});
    std::vector<float> x = tone({220.0, 6, 0, 0}, c.tone_samples);
    x.resize(c.tone_samples + 9600, 0.0f);
    bool voiced_once = false;
    std::uint64_t run_before = 0, run_at_gap = 0;
    float last_voiced_hz = 0.0f;
    std::size_t held_hops = 0;
    for (float v : x) {
      run_before = d.pitch_state.voiced_run;
      pitch_correction_sample(d.pitch_state, d.main_shifter, d.params, v);
      const PitchState& ps = d.pitch_state;
      if (ps.hop_counter != 0) continue;
      if (ps.unvoiced_hops == 0 && ps.detected_hz > 0.0f) {
        voiced_once = true;
        last_voiced_hz = ps.detected_hz;
      } else if (voiced_once && ps.unvoiced_hops == 1) {
        run_at_gap = run_before;
      }
      if (voiced_once && ps.unvoiced_hops > 0 && ps.detected_hz > 0.0f) {
        ++held_hops;
        EXPECT_EQ(ps.detected_hz, last_voiced_hz);  // the last note, unchanged
      }
    }
    ASSERT_TRUE(voiced_once);
    EXPECT_EQ(d.pitch_state.detected_hz, 0.0f);
    EXPECT_EQ(d.pitch_state.held_note, 0.0f);
    if (c.held) {
      EXPECT_GE(run_at_gap, 1441u);
      EXPECT_EQ(held_hops, 8u);
    } else {
      ASSERT_LT(run_at_gap, 1441u) << "the short tone must end before the hold applies";
      EXPECT_EQ(held_hops, 0u);
    }
  }
}

TEST(PitchDetection, TonesBelowTheLagRangeReadAsUnvoiced) {
  // The longest lag searched is 320 at 24 kHz (75 Hz): a lower tone has its
  // minimum beyond the range and must not read as the range's end.
  for (double f0 : {55.0, 62.0, 70.0, 73.0}) {
    for (int harmonics : {1, 6}) {
      VocalDsp d = vocal_dsp_new(DspParams{});
      const std::vector<float> hops = detect_hops(d, tone({f0, harmonics, 0, 0}, 24000));
      for (std::size_t h = 16; h < hops.size(); ++h) ASSERT_EQ(hops[h], 0.0f) << f0 << " hop " << h;
    }
  }
  VocalDsp d = vocal_dsp_new(DspParams{});
  const std::vector<float> hops = detect_hops(d, tone({78.0, 6, 0, 0}, 24000));
  EXPECT_NEAR(cents(hops.back(), 78.0), 0.0, 10.0);
}

struct BuildCase {
  const char* name;
  DetectorBuild build;
  bool available;
};

TEST(PitchDetection, EveryBuildOfTheDetectorGivesTheSameEstimateToTheBit) {
  if (!detector_avx_available()) GTEST_SKIP() << "no AVX on this processor, so no build but SSE";
  const BuildCase builds[] = {{"avx", DetectorBuild::avx, detector_avx_available()},
                              {"avx512", DetectorBuild::avx512, detector_avx512_available()}};
  for (const BuildCase& b : builds) {
    SCOPED_TRACE(b.name);
    if (!b.available) {
      std::cout << "[  SKIPPED ] no " << b.name << " on this processor\n";
      continue;
    }
    // Tones across the range, with harmonics, vibrato and noise: the refined period
    // depends on every difference sum and on their total, so any change in the
    // order of the additions shows in the estimate's low bits.
    std::size_t voiced = 0;
    for (double f0 : {70.0, 98.0, 147.0, 220.0, 331.0, 497.0, 745.0, 990.0}) {
      for (const Tone& t : {Tone{f0, 1, 0, 0}, Tone{f0, 6, 25.0, 0.01}, Tone{f0, 3, 0, 0.05}}) {
        const std::vector<float> x = tone(t, 4 * kPitchFrame);
        for (std::size_t at = 0; at + kPitchFrame <= x.size(); at += 233) {
          const std::span<const float> frame(x.data() + at, kPitchFrame);
          const PitchEstimate sse = analyse_pitch_frame(frame, DetectorBuild::sse);
          const PitchEstimate other = analyse_pitch_frame(frame, b.build);
          ASSERT_EQ(sse.voiced, other.voiced) << f0 << " at " << at;
          ASSERT_EQ(std::bit_cast<std::uint32_t>(sse.hz), std::bit_cast<std::uint32_t>(other.hz))
              << f0 << " at " << at;
          if (sse.voiced) ++voiced;
        }
      }
    }
    EXPECT_GT(voiced, 100u);  // the refinement ran, not only the loudness check
  }
}

TEST(PitchDetection, FrameFunctionNeedsAFullFrame) {
  std::vector<float> short_frame(kPitchFrame - 1, 0.5f);
  EXPECT_FALSE(analyse_pitch_frame(short_frame).voiced);
}

// ---- correction end to end ----

struct ChainResult {
  double out_hz;
  float detected_hz, corrected_hz;
};

ChainResult sing(DspParams p, double hz, std::size_t seconds = 2) {
  VocalDsp d = vocal_dsp_new(p);
  const std::size_t n = 48000 * seconds;
  const std::vector<float> mic = test::sine(hz, 0.2, n);
  const std::vector<float> z(n, 0.0f);
  std::vector<float> out(n), out_r(n);
  DspMeters m;
  for (std::size_t at = 0; at + 128 <= n; at += 128) {
    m = vocal_chain_process(d, std::span(mic).subspan(at, 128), std::span(z).subspan(at, 128),
                            std::span(z).subspan(at, 128), std::span(out).subspan(at, 128),
                            std::span(out_r).subspan(at, 128));
  }
  const std::span<const float> tail(out.data() + n - 24000, 24000);
  return {dominant_frequency(tail, hz * 0.8, hz * 1.25), m.detected_vocal_hz, m.corrected_vocal_hz};
}

TEST(PitchCorrection, ASharpToneIsPulledTowardsItsNoteByTheRetuneSpeed) {
  const double sharp = 220.0 * std::pow(2.0, 40.0 / 1200.0);  // A, 40 cents sharp, in D minor
  double previous = 41.0;
  for (float speed : {0.0f, 0.52f, 1.0f}) {
    DspParams p;
    p.retune_speed = speed;
    const ChainResult r = sing(p, sharp);
    EXPECT_NEAR(cents(r.detected_hz, sharp), 0.0, 3.0);
    EXPECT_NEAR(r.corrected_hz, 220.0f, 0.01f);
    const double left = cents(r.out_hz, 220.0);
    EXPECT_LT(left, previous - 3.0) << "speed " << speed;  // faster retune corrects more
    EXPECT_GT(left, 5.0) << "speed " << speed;             // a natural amount is left
    previous = left;
  }
  EXPECT_LT(previous, 25.0);
}

TEST(PitchCorrection, ASharpOnsetIsHeldOnItsOwnNote) {
  // A3 sung 47 cents sharp, after silence of several lengths: the nearest note is
  // A3, and the correction must pull down towards it, never lock onto A#3 above.
  // A quiet note that starts just after an analysis hop used to be read from a
  // frame that still held the silence, 50 cents sharp.
  const double sharp = 220.0 * std::pow(2.0, 47.0 / 1200.0);
  for (std::size_t silence : {0u, 9u, 100u, 500u, 1157u}) {
    VocalDsp d = vocal_dsp_new(DspParams{});
    std::vector<float> mic(silence, 0.0f);
    const std::vector<float> note = test::sine(sharp, 0.02, 96000);
    mic.insert(mic.end(), note.begin(), note.end());
    mic.resize((mic.size() / 128 + 1) * 128, 0.0f);
    std::vector<float> z(128, 0.0f), o(mic.size()), o2(128);
    float highest_target = 0.0f;
    for (std::size_t at = 0; at + 128 <= mic.size(); at += 128) {
      const DspMeters m =
          vocal_chain_process(d, std::span(mic).subspan(at, 128), z, z, std::span(o).subspan(at, 128), o2);
      highest_target = std::fmax(highest_target, m.corrected_vocal_hz);
    }
    EXPECT_NEAR(highest_target, 220.0f, 0.01f) << "after " << silence << " silent samples";
    const std::span<const float> tail(o.data() + silence + 72000, 24000);
    EXPECT_LT(cents(dominant_frequency(tail, 180.0, 280.0), sharp), -5.0) << "after " << silence;
  }
}

TEST(PitchCorrection, WithAutotuneOffTheTonePassesUnchanged) {
  DspParams p;
  p.autotune_enabled = false;
  const double sharp = 220.0 * std::pow(2.0, 40.0 / 1200.0);
  const ChainResult r = sing(p, sharp);
  EXPECT_NEAR(cents(r.out_hz, sharp), 0.0, 1.0);
}

TEST(PitchCorrection, AChangeOfKeyMovesTheTarget) {
  const double sharp = 220.0 * std::pow(2.0, 40.0 / 1200.0);
  DspParams d_minor;
  const ChainResult down = sing(d_minor, sharp);
  EXPECT_NEAR(down.corrected_hz, 220.0f, 0.01f);
  EXPECT_LT(cents(down.out_hz, sharp), -5.0);

  DspParams c_sharp_major;  // A is out of key: the nearest scale note is A#
  c_sharp_major.root_key = 1;
  c_sharp_major.scale_is_minor = false;
  const ChainResult up = sing(c_sharp_major, sharp);
  EXPECT_NEAR(cents(up.corrected_hz, 220.0 * std::pow(2.0, 1.0 / 12.0)), 0.0, 0.1);
  EXPECT_GT(cents(up.out_hz, sharp), 5.0);

  // The beat's key shift moves the key the corrector follows.
  DspParams shifted;
  shifted.beat_semitone_shift = -1;  // C# minor: A is in key
  const ChainResult same = sing(shifted, sharp);
  EXPECT_NEAR(same.corrected_hz, 220.0f, 0.01f);
}

TEST(PitchCorrection, KeyChangeOnTheRunResetsTheHeldNote) {
  const double sharp = 220.0 * std::pow(2.0, 40.0 / 1200.0);
  VocalDsp d = vocal_dsp_new(DspParams{});
  const std::vector<float> mic = test::sine(sharp, 0.2, 96000);
  std::vector<float> z(128, 0.0f), o(128), o2(128);
  DspMeters m;
  for (std::size_t at = 0; at + 128 <= mic.size(); at += 128) {
    if (at == 48000) {
      EXPECT_NEAR(m.corrected_vocal_hz, 220.0f, 0.01f);
      d.params.root_key = 1;  // C# major: A is out of key, A# the nearest
      d.params.scale_is_minor = false;
    }
    m = vocal_chain_process(d, std::span(mic).subspan(at, 128), z, z, o, o2);
  }
  EXPECT_NEAR(m.corrected_vocal_hz, 233.08f, 0.05f);
}

TEST(PitchCorrection, ReferenceFollows432ModeAndFineCents) {
  DspParams p;
  p.pitch_432hz_mode = true;
  const ChainResult r = sing(p, 216.0 * std::pow(2.0, 30.0 / 1200.0), 1);
  EXPECT_NEAR(r.corrected_hz, 216.0f, 0.01f);
  DspParams q;
  q.beat_fine_cents = 80.0f;  // held to +50
  const ChainResult s = sing(q, 220.0, 1);
  EXPECT_NEAR(cents(s.corrected_hz, 220.0), 50.0, 0.1);
}

TEST(PitchCorrection, VoiceEffectModesScaleTheRatio) {
  DspParams p;
  p.autotune_enabled = false;
  p.dj_fx_vocal = true;
  p.reverb_enabled = false;
  p.dj_fx_mode = "03 - Chipmunk";
  VocalDsp d = vocal_dsp_new(p);
  const std::vector<float> mic = test::sine(200.0, 0.2, 48000);
  std::vector<float> z(128, 0.0f), o(48000), o2(128);
  for (std::size_t at = 0; at + 128 <= mic.size(); at += 128)
    vocal_chain_process(d, std::span(mic).subspan(at, 128), z, z, std::span(o).subspan(at, 128), o2);
  EXPECT_NEAR(
      cents(dominant_frequency(std::span<const float>(o.data() + 24000, 24000), 100.0, 1000.0), 400.0), 0.0,
      5.0);
}

}  // namespace
}  // namespace melodara
