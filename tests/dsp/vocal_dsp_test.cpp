#include "dsp/vocal_dsp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace melodara {
namespace {

// Centre frequency of a band-pass or high/low-pass section, from its poles:
// cos(w0) = -a1 / (1 + a2) for every cookbook form.
double centre_hz(const Biquad& f) {
  return std::acos(-static_cast<double>(f.a1) / (1.0 + static_cast<double>(f.a2))) * 48000.0 /
         (2.0 * std::numbers::pi);
}

TEST(VocalDspNew, DefaultCorrectionEqPassesTheSignalUnchanged) {
  const VocalDsp d = vocal_dsp_new(DspParams{});
  for (const Biquad& band : d.corr_eq) {
    EXPECT_FLOAT_EQ(band.b0, 1.0f);
    EXPECT_FLOAT_EQ(band.b1, band.a1);
    EXPECT_FLOAT_EQ(band.b2, band.a2);
    for (double f : {50.0, 1000.0, 9500.0, 20000.0}) EXPECT_NEAR(biquad_magnitude(band, f), 1.0, 1e-6);
  }
}

TEST(VocalDspNew, CorrectionShelfGainComesFromTheParameters) {
  DspParams p;
  p.mic_corr_eq_db[5] = 4.5f;
  const VocalDsp d = vocal_dsp_new(p);
  const Biquad& shelf = d.corr_eq[5];
  EXPECT_NEAR(20.0 * std::log10(biquad_magnitude(shelf, 23999.0)), 4.5, 0.1);
  EXPECT_NEAR(20.0 * std::log10(biquad_magnitude(shelf, 1.0)), 0.0, 0.01);
}

TEST(VocalDspNew, TwoEnginesFromTheSameParametersAreIdentical) {
  DspParams p;
  p.mic_corr_eq_db = {1, -2, 0.5f, 0, -1, 2};
  EXPECT_TRUE(vocal_dsp_new(p) == vocal_dsp_new(p));
  DspParams q = p;
  q.mic_corr_eq_db[0] = 0.0f;
  EXPECT_FALSE(vocal_dsp_new(p) == vocal_dsp_new(q));
}

TEST(VocalDspNew, BuffersHaveTheirLengths) {
  const VocalDsp d = vocal_dsp_new(DspParams{});
  EXPECT_EQ(d.short_line_a.size(), 1024u);
  EXPECT_EQ(d.mod_line_b.size(), 8192u);
  EXPECT_EQ(d.long_line_r.size(), 16384u);
  EXPECT_EQ(d.tempo_line_l.size(), 96000u);
  EXPECT_EQ(d.reverb_combs_l[0].size(), 1597u);
  EXPECT_EQ(d.reverb_combs_r[0].size(), 1601u);
  EXPECT_EQ(d.reverb_combs_r[7].size(), 2713u);
  EXPECT_EQ(d.reverb_allpasses_r[3].size(), 239u);
  EXPECT_EQ(d.reverb_b_combs_l[3].size(), 1597u);
  EXPECT_EQ(d.reverb_b_allpass_r.size(), 277u);
  EXPECT_EQ(d.key_tracker.decimated.size(), 800u);
  EXPECT_EQ(d.key_tracker.onsets.size(), 400u);
  EXPECT_EQ(d.lines_2048[5].size(), 2048u);
  EXPECT_EQ(d.harmony_shifters[2].window, 1140u);
  EXPECT_EQ(d.aux_shifter_r.window, 1024u);
  EXPECT_EQ(d.music_shifter.window, 2048u);
  for (const auto& stem : d.stems) EXPECT_GE(stem.capacity(), kMaxBlockFrames);
  EXPECT_EQ(d.reverb.predelay, 1152.0f);
  EXPECT_EQ(d.pitch_state.last_key, 99u);
  EXPECT_EQ(d.pitch_state.applied_ratio, 1.0f);
  EXPECT_EQ(d.denoise_gate.noise_floor, 0.00045f);
  EXPECT_EQ(d.frame.crackle, 0.2f);
  EXPECT_EQ(d.frame.warmth, 95.0f);
  EXPECT_EQ(d.frame.purity, 52.0f);
}

TEST(VocalDspNew, FixedSectionsSitOnTheirExactFrequencies) {
  const VocalDsp d = vocal_dsp_new(DspParams{});
  EXPECT_NEAR(centre_hz(d.filter_bank_b[14]), 5506.0, 0.5);
  EXPECT_NEAR(centre_hz(d.filter_bank_b[38]), 2594.0, 0.5);
  EXPECT_NEAR(centre_hz(d.filter_bank_b[39]), 2594.0, 0.5);
  EXPECT_NEAR(centre_hz(d.filter_bank_a[19]), 240.0, 0.5);
  EXPECT_NEAR(biquad_magnitude(d.filter_bank_b[14], 5506.0), 1.0, 1e-4);  // 0 dB peak
  EXPECT_NEAR(20.0 * std::log10(biquad_magnitude(d.filter_bank_b[35], 1350.0)), 5.5, 0.01);
  EXPECT_NEAR(biquad_magnitude(d.band_l, 280.0), 1.0, 1e-4);
  EXPECT_NEAR(biquad_magnitude(d.notch_a, 2500.0), 1.0, 1e-6);  // 0 dB until redesigned
}

TEST(BiquadDesign, BandPassMatchesPublishedCoefficients) {
  // The de-esser detector: constant 0 dB peak band-pass, 5,506 Hz, Q 1.35.
  const Biquad f = biquad_bandpass(5506.0, 1.35);
  EXPECT_NEAR(f.b0, 0.19641328f, 1e-6f);
  EXPECT_EQ(f.b1, 0.0f);
  EXPECT_NEAR(f.b2, -0.19641328f, 1e-6f);
  EXPECT_NEAR(f.a1, -1.2075043f, 1e-6f);
  EXPECT_NEAR(f.a2, 0.6071734f, 1e-6f);
}

TEST(BiquadDesign, SmallStatesAreFlushedToZero) {
  Biquad f = biquad_lowpass(1000.0, 0.707);
  biquad_process(f, 1.0f);
  for (int i = 0; i < 20000; ++i) biquad_process(f, 0.0f);
  EXPECT_EQ(f.z1, 0.0f);
  EXPECT_EQ(f.z2, 0.0f);
}

TEST(LiveKeyTrackerNew, GoertzelCoefficientsSpanC2ToF5) {
  const LiveKeyTracker t = live_key_tracker_new();
  EXPECT_DOUBLE_EQ(t.goertzel_coeff[33], 2.0 * std::cos(2.0 * std::numbers::pi * 440.0 / 4000.0));
  EXPECT_NEAR(t.goertzel_coeff[0], 2.0 * std::cos(2.0 * std::numbers::pi * 65.406 / 4000.0), 1e-5);
  EXPECT_EQ(t.current_key, 2u);
  EXPECT_TRUE(t.locked_minor);
  EXPECT_EQ(t.bpm, 70.0f);
}

}  // namespace
}  // namespace melodara
