#include "dsp/vocal_dsp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <set>

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

// Each stage's view reaches the entries of the construction's tables that the
// stage runs, and the views together reach every entry once (bank A's 8 and 9 are
// built but run by no stage).
TEST(VocalDspViews, EachStageReachesItsOwnTableEntries) {
  VocalDsp d = vocal_dsp_new(DspParams{});
  const auto a = [&d](std::size_t k) { return &d.filter_bank_a[k]; };
  const auto b = [&d](std::size_t k) { return &d.filter_bank_b[k]; };
  const ToneSections tone = tone_sections(d);
  const VoiceEqSections& eq = tone.eq;
  const PunchSections punch = punch_sections(d);
  const RadioSections radio = radio_sections(d);
  const SendFilters sends = send_filters(d);
  const EchoLines echo = echo_lines(d);
  const ReverbEqSections reverb = reverb_lines(d).eq;
  const BackingSections track = backing_lines(d).sections;
  const struct {
    const Biquad* view;
    const Biquad* entry;
    const char* what;
  } cases[] = {
      {&low_cut_section(d), b(0), "low-cut"},
      {&eq.body, b(1), "body"},
      {&eq.tail_low_mid, b(2), "tail 480"},
      {&eq.tail_mid, b(3), "tail 1450"},
      {&tone.tube_air.air_shelf, b(4), "air shelf"},
      {&tone.tube_air.air_lowpass, b(5), "air low-pass"},
      {&tone.tube_air.air_band, b(6), "air band"},
      {&radio.band, b(7), "radio band"},
      {&track.mid_lowpass, b(8), "remover mid"},
      {&track.low_band, b(9), "shift low band"},
      {&track.high_band_left, b(10), "shift high band L"},
      {&track.high_band_right, b(11), "shift high band R"},
      {&track.side_highpass, b(12), "side high-pass"},
      {&track.synth_highpass, b(13), "synth high-pass"},
      {&deesser_detector(d), b(14), "de-esser"},
      {&eq.formants[0], b(15), "formant 335"},
      {&eq.formants[4], b(19), "formant 555"},
      {&eq.colour[0], b(20), "colour 195"},
      {&eq.colour[2], b(22), "colour 3600"},
      {&eq.mud_band, b(23), "mud band"},
      {&eq.presence_low_band, b(24), "presence 1450"},
      {&eq.presence_high_band, b(25), "presence 2650"},
      {&eq.cut_low, b(26), "cut 1450"},
      {&eq.cut_high, b(27), "cut 2650"},
      {&tone.bass.band, b(28), "bass band"},
      {&tone.bass.smooth, b(29), "bass smooth"},
      {&tone.tube_air.tube[0], b(30), "tube 188"},
      {&tone.tube_air.tube[2], b(32), "tube shelf"},
      {&radio.highpass, b(33), "radio high-pass"},
      {&radio.lowpass, b(34), "radio low-pass"},
      {&radio.peak, b(35), "radio peak"},
      {&punch.voice_low, b(36), "punch voice"},
      {&punch.track_low, b(37), "punch track"},
      {&punch.side_high_left, b(38), "punch side L"},
      {&punch.side_high_right, b(39), "punch side R"},
      {&track.pocket_low, b(40), "pocket 230"},
      {&track.pocket_high, b(41), "pocket 1650"},
      {&sends.left.lowpass, a(0), "send low-pass L"},
      {&sends.right.lowpass, a(1), "send low-pass R"},
      {&sends.left.cut_530, a(2), "send cut 530 L"},
      {&sends.right.cut_530, a(3), "send cut 530 R"},
      {&sends.left.cut_660, a(4), "send cut 660 L"},
      {&sends.right.cut_660, a(5), "send cut 660 R"},
      {&sends.left.cut_2500, a(6), "send cut 2500 L"},
      {&sends.right.cut_2500, a(7), "send cut 2500 R"},
      {&reverb.main_side, a(10), "reverb side"},
      {&reverb.bank_side, a(11), "reverb bank side"},
      {&reverb.main_mid, a(12), "reverb mid"},
      {&reverb.bank_mid, a(13), "reverb bank mid"},
      {&echo.mid_highpass, a(14), "echo mid"},
      {&sends.left.highpass, a(15), "send high-pass L"},
      {&sends.right.highpass, a(16), "send high-pass R"},
      {&reverb.output_left, a(17), "reverb output L"},
      {&reverb.output_right, a(18), "reverb output R"},
      {&echo.feedback.highpass_left, a(19), "echo high-pass L"},
      {&echo.feedback.highpass_right, a(20), "echo high-pass R"},
      {&echo.feedback.lowpass_left, a(21), "echo low-pass L"},
      {&echo.feedback.lowpass_right, a(22), "echo low-pass R"},
      {&tone.echo.highpass_left, a(19), "tone's echo high-pass L"},
      {&tone.echo.lowpass_right, a(22), "tone's echo low-pass R"},
      {&eq.notch_a, &d.notch_a, "notch a"},
      {&eq.notch_b, &d.notch_b, "notch b"},
  };
  std::set<const Biquad*> reached;
  for (const auto& c : cases) {
    EXPECT_EQ(c.view, c.entry) << c.what;
    reached.insert(c.view);
  }
  for (std::size_t k = 0; k < 5; ++k) reached.insert(&eq.formants[k]);
  for (std::size_t k = 0; k < 3; ++k) reached.insert(&eq.colour[k]), reached.insert(&tone.tube_air.tube[k]);
  EXPECT_EQ(&eq.formants[1], b(16));
  EXPECT_EQ(&tone.tube_air.tube[1], b(31));
  for (std::size_t k = 0; k < d.filter_bank_b.size(); ++k) EXPECT_TRUE(reached.contains(b(k))) << "B " << k;
  for (std::size_t k = 0; k < d.filter_bank_a.size(); ++k) {
    EXPECT_EQ(reached.contains(a(k)), k != 8 && k != 9) << "A " << k;
  }
  EXPECT_EQ(&tone.notch_freqs, &d.notch_freqs);
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
