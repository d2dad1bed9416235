// Voice calibration's analysis and completion on the record alone: the
// classification of blocks, the running median, the completion rules, the
// derived preset and texts, the band filters, and no allocation once started.
#include "dsp/voice_calibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "alloc_counter.h"

namespace melodara {
namespace {

// The RMS giving a block level of `db` dBFS.
float rms_of(float db) { return std::pow(10.0f, db / 20.0f); }

VoiceCalBlock voiced(float pitch_hz, float db = -20.0f) {
  return VoiceCalBlock{rms_of(db), pitch_hz, {0.1f, 0.2f, 0.3f, 0.2f, 0.1f, 0.01f}};
}
VoiceCalBlock silent() { return VoiceCalBlock{0.0f, 0.0f, {}}; }

VoiceCalStatus started(float wanted_sec = 15.0f) {
  return voice_cal_started(wanted_sec, dsp_params_default(), voice_cal_default_state());
}

// Blocks until completion; the number of blocks it took, or none within `limit`.
std::optional<int> run_until_complete(VoiceCalStatus& s, const VoiceCalBlock& block, int limit = 5000) {
  for (int i = 1; i <= limit; ++i)
    if (voice_cal_analyze(s, block)) return i;
  return std::nullopt;
}

TEST(VoiceCalibration, WantedSecondsAreKeptWithinTheRange) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::pair<float, float> cases[] = {{15.0f, 1.8f}, {1.0f, 1.5f}, {1.6f, 1.6f}, {nan, 1.8f},
                                           {inf, 1.8f},   {-inf, 1.5f}, {0.0f, 1.5f}};
  for (const auto& [wanted, target] : cases) {
    EXPECT_EQ(voice_cal_target_seconds(wanted), target) << wanted;
    EXPECT_EQ(started(wanted).target_voice_sec, target) << wanted;
  }
}

TEST(VoiceCalibration, StartSavesTheSwitchesOnceAndQuietsTheChain) {
  DspParams p = dsp_params_default();
  p.reverb_enabled = true;
  p.delay_enabled = true;
  p.autotune_enabled = true;
  p.ngan_giong_vibrato = true;
  p.chong_be_harmony = true;
  p.tc_mute_all_sends = false;
  p.mic_input_trim_db = 2.5f;
  p.mic_corr_eq_db = {1.0f, -1.0f, 0.5f, -0.5f, 0.25f, 1.5f};
  const DspParams before = p;

  VoiceCalStatus first = voice_cal_started(1.7f, p, voice_cal_default_state());
  voice_cal_quiet_params(p);
  EXPECT_TRUE(first.active);
  EXPECT_FALSE(p.reverb_enabled || p.delay_enabled || p.autotune_enabled || p.ngan_giong_vibrato ||
               p.chong_be_harmony);
  EXPECT_TRUE(p.tc_mute_all_sends);
  EXPECT_EQ(p.mic_input_trim_db, 0.0f);
  EXPECT_EQ(p.mic_corr_eq_db, (DspF32x6{}));

  // A second start during the run must not save the switched-off values.
  VoiceCalStatus second = voice_cal_started(1.7f, p, first);
  DspParams restored = p;
  voice_cal_restore_params(second, restored);
  EXPECT_EQ(restored, before);

  // After a finished run the current values are the singer's again.
  second.active = false;
  p.reverb_enabled = false;
  const VoiceCalStatus third = voice_cal_started(1.7f, p, second);
  EXPECT_FALSE(third.saved_reverb_enabled);
}

TEST(VoiceCalibration, BlocksAreClassifiedByPitchAndLevel) {
  struct Case {
    const char* name;
    VoiceCalBlock block;
    bool voiced;
    std::size_t pitch_samples;
    std::uint32_t noise_frames;
  } cases[] = {
      {"clear pitch above the gate", voiced(200.0f, -50.0f), true, 1, 0},
      {"60 Hz at -30 dBFS: voiced by level, no pitch sample", voiced(60.0f, -30.0f), true, 0, 0},
      {"pitch below the gate and quiet", voiced(200.0f, -60.0f), false, 0, 1},
      {"no pitch, between -48 and -47 dBFS", voiced(0.0f, -47.5f), false, 0, 0},
      {"pitch of 450 Hz is not sampled", voiced(450.0f, -20.0f), true, 0, 0},
      {"silence", silent(), false, 0, 1},
  };
  for (const Case& c : cases) {
    VoiceCalStatus s = started();
    EXPECT_FALSE(voice_cal_analyze(s, c.block)) << c.name;
    EXPECT_EQ(s.speaking_now, c.voiced) << c.name;
    EXPECT_EQ(s.voice_frames, c.voiced ? 1u : 0u) << c.name;
    EXPECT_EQ(s.pitch_samples.size(), c.pitch_samples) << c.name;
    EXPECT_EQ(s.noise_frames, c.noise_frames) << c.name;
    EXPECT_FLOAT_EQ(s.total_elapsed_sec, 128.0f / 48000.0f) << c.name;
    EXPECT_FLOAT_EQ(s.accumulated_voice_sec, c.voiced ? 0.0038666667f : 0.0f) << c.name;
  }
}

TEST(VoiceCalibration, FirstBlocksSetTheRunningMeans) {
  VoiceCalStatus s = started();
  voice_cal_analyze(s, voiced(180.0f, -20.0f));
  EXPECT_NEAR(s.avg_speech_rms_db, -20.0f, 1e-4f);
  EXPECT_NEAR(s.peak_speech_db, -20.0f, 1e-4f);
  voice_cal_analyze(s, voiced(180.0f, -30.0f));
  EXPECT_NEAR(s.avg_speech_rms_db, -25.0f, 1e-4f);
  EXPECT_NEAR(s.peak_speech_db, -20.0f, 1e-4f);

  // Band shares follow the accumulated energies; sibilance from the two top bands.
  float sum = 0.0f;
  for (const float v : s.band_pct) sum += v;
  EXPECT_NEAR(sum, 100.0f, 1e-3f);
  EXPECT_NEAR(s.band_pct[2], 100.0f * 0.6f / 1.82f, 1e-3f);
  EXPECT_NEAR(s.sibilance_ratio, (0.35f * 0.2f + 0.02f) / 1.82f, 1e-5f);

  VoiceCalStatus q = started();
  voice_cal_analyze(q, VoiceCalBlock{rms_of(-70.0f), 0.0f, {}});
  EXPECT_NEAR(q.avg_noise_floor_db, -70.0f, 1e-2f);
  EXPECT_EQ(q.voice_gate_thresh_db, -56.0f);
  voice_cal_analyze(q, VoiceCalBlock{rms_of(-50.0f), 0.0f, {}});
  EXPECT_NEAR(q.avg_noise_floor_db, -60.0f, 1e-2f);
  EXPECT_NEAR(q.voice_gate_thresh_db, -56.0f, 1e-2f);
  voice_cal_analyze(q, VoiceCalBlock{rms_of(-49.0f), 0.0f, {}});
  EXPECT_NEAR(q.avg_noise_floor_db, -56.33f, 1e-2f);  // w = 1/3
  EXPECT_NEAR(q.voice_gate_thresh_db, -52.33f, 1e-2f);
}

TEST(VoiceCalibration, RunningMedianOfThePitchSamples) {
  VoiceCalStatus s = started();
  const float pitches[] = {200.0f, 100.0f, 90.0f, 80.0f, 300.0f};
  // Element min(n - 1, n / 2) of the sorted samples after each block.
  const float medians[] = {200.0f, 200.0f, 100.0f, 100.0f, 100.0f};
  const float expected_after_4[] = {80.0f, 90.0f, 100.0f, 200.0f};
  for (std::size_t i = 0; i < std::size(pitches); ++i) {
    voice_cal_analyze(s, voiced(pitches[i]));
    EXPECT_EQ(s.avg_f0_hz, medians[i]) << i;
    if (i == 3) {
      EXPECT_EQ(s.pitch_samples,
                std::vector<float>(std::begin(expected_after_4), std::end(expected_after_4)));
    }
  }
  EXPECT_EQ(s.min_f0_hz, 80.0f);
  EXPECT_EQ(s.max_f0_hz, 300.0f);
}

TEST(VoiceCalibration, CompletionRules) {
  // Eight or more pitch samples: 1.35 s of voice is enough (350 voiced blocks).
  VoiceCalStatus pitched = started(1.8f);
  EXPECT_EQ(run_until_complete(pitched, voiced(200.0f)), 350);

  // Without a usable pitch the full target is needed (1.5 s: 388 blocks).
  VoiceCalStatus unpitched = started(1.5f);
  EXPECT_EQ(run_until_complete(unpitched, voiced(60.0f, -30.0f)), 388);

  // Silence alone never completes.
  VoiceCalStatus quiet = started();
  EXPECT_EQ(run_until_complete(quiet, silent(), 20000), std::nullopt);
  EXPECT_EQ(quiet.noise_frames, 20000u);
  EXPECT_GT(quiet.total_elapsed_sec, 50.0f);

  // A quiet block ends a run with 0.6 s of voice once 2.8 s have passed.
  VoiceCalStatus mixed = started();
  for (int i = 0; i < 156; ++i) EXPECT_FALSE(voice_cal_analyze(mixed, voiced(60.0f, -30.0f)));
  EXPECT_GE(mixed.accumulated_voice_sec, 0.6f);
  const std::optional<int> quiet_blocks = run_until_complete(mixed, silent());
  ASSERT_TRUE(quiet_blocks);
  EXPECT_GE(mixed.total_elapsed_sec, 2.8f);
  EXPECT_NEAR(156 + *quiet_blocks, 1050, 1);  // 2.8 s of blocks
}

// A completion with nothing analysed: L = 135 Hz, H = 175 Hz, the default
// levels and flat 16.6 % bands.
TEST(VoiceCalibration, CompletionWithoutVoiceGivesTheDerivedProfile) {
  DspParams p = dsp_params_default();
  p.reverb_enabled = false;
  p.delay_enabled = true;
  p.ngan_giong_vibrato = true;
  VoiceCalStatus s = voice_cal_started(15.0f, p, voice_cal_default_state());
  voice_cal_quiet_params(p);
  voice_cal_complete(s, p);

  EXPECT_FALSE(s.active);
  EXPECT_TRUE(s.completed);
  EXPECT_FALSE(s.speaking_now);
  EXPECT_EQ(s.accumulated_voice_sec, 1.8f);
  EXPECT_EQ(s.avg_f0_hz, 0.0f);

  // Switches as before the start; the delay is switched off by the preset.
  EXPECT_FALSE(p.reverb_enabled);
  EXPECT_TRUE(p.autotune_enabled);
  EXPECT_TRUE(p.ngan_giong_vibrato);
  EXPECT_FALSE(p.chong_be_harmony);
  EXPECT_FALSE(p.tc_mute_all_sends);
  EXPECT_FALSE(p.delay_enabled);

  EXPECT_EQ(p.denoise_gate_db, -44.0f);
  EXPECT_EQ(p.tc_ns1_amount, 0.28f);
  EXPECT_EQ(p.mic_input_trim_db, 6.8f);
  EXPECT_EQ(p.vocal_gain, 1.0f);
  const float eq[] = {-0.95830f, 0.41416f, 0.0f, 0.0f, -1.21192f, -1.5f};
  for (std::size_t k = 0; k < 6; ++k) EXPECT_NEAR(p.mic_corr_eq_db[k], eq[k], 1e-4f) << k;
  EXPECT_TRUE(p.mic_calibration_active && p.tc_rbass_enabled && p.tc_pultronic_enabled);
  EXPECT_EQ(p.tc_rbass_freq_hz, 112.0f);
  EXPECT_NEAR(p.tc_rbass_intensity, 0.257f, 1e-6f);
  EXPECT_EQ(p.lowcut_freq_hz, 82.0f);
  EXPECT_NEAR(p.eq_low_db, -0.138f, 1e-6f);
  EXPECT_EQ(p.eq_mid_db, 0.0f);
  EXPECT_EQ(p.eq_high_db, -0.2f);
  EXPECT_EQ(p.deesser_amount, 0.65f);
  EXPECT_NEAR(p.air_gain_db, 1.726f, 1e-6f);
  EXPECT_NEAR(p.tc_formant_scale, 0.92758620f, 1e-6f);
  EXPECT_NEAR(p.tc_vang_ngan_level, 0.46f, 1e-7f);
  EXPECT_EQ(p.tc_voice_profile, 2);

  const DspParams d = dsp_params_default();
  EXPECT_EQ(p.tc_pultronic_drive, 0.26f);
  EXPECT_EQ(p.tc_vang_dai_level, 0.56f);
  EXPECT_EQ(p.reverb_damping, 0.28f);
  EXPECT_EQ(p.reverb_predelay_ms, 22.0f);
  EXPECT_EQ(p.reverb_room_size, 0.66f);
  EXPECT_EQ(p.reverb_low_gain_db, -2.0f);
  EXPECT_EQ(p.reverb_mid_gain_db, 0.0f);
  EXPECT_EQ(p.reverb_high_gain_db, 0.5f);
  EXPECT_EQ(p.beat_volume, 0.78f);
  EXPECT_EQ(p.duck_amount_db, 1.4f);
  EXPECT_EQ(p.stereo_width_pct, 102.0f);
  EXPECT_FALSE(p.delay_ping_pong);
  EXPECT_EQ(p.tc_delay_level, 0.0f);
  EXPECT_EQ(p.delay_mix, 0.0f);
  EXPECT_EQ(p.delay_feedback, 0.1f);
  EXPECT_EQ(p.reverb_volume, d.reverb_volume);  // untouched

  EXPECT_EQ(s.detected_gender, "Giọng Nam Trung / Cao (135 Hz)");
  EXPECT_EQ(s.detected_timbre, "nền trầm ấm cân bằng, độ sáng mượt ấm áp");
  EXPECT_EQ(s.recommended_profile, "My Vocal");
  EXPECT_EQ(s.recommendation_summary,
            "Đã tối ưu [⭐ Hồ Sơ Giọng Của Tôi (My Vocal)] (Giong Nam): F0 135Hz | Trim +6.8dB | "
            "LowCut 82Hz | DeEsser 65% | EQ 6 dải [-1.0, +0.4, +0.0, +0.0, -1.2, -1.5] dB "
            "(nền trầm ấm cân bằng, độ sáng mượt ấm áp)");
}

// Runs a started record over `blocks` voiced blocks of pitch `hz`, then completes it.
std::pair<VoiceCalStatus, DspParams> completed_at(float hz, int blocks = 20) {
  DspParams p = dsp_params_default();
  VoiceCalStatus s = voice_cal_started(15.0f, p, voice_cal_default_state());
  for (int i = 0; i < blocks; ++i) voice_cal_analyze(s, voiced(hz));
  voice_cal_complete(s, p);
  return {s, p};
}

TEST(VoiceCalibration, VoiceTypeByLowPitch) {
  struct Case {
    float hz;
    std::uint8_t profile;
    const char* gender;
    const char* short_label;
  } cases[] = {
      {100.0f, 3, "Giọng Nam Ấm / Trầm (100 Hz)", "(Giong Nam)"},
      {131.5f, 3, "Giọng Nam Ấm / Trầm (132 Hz)", "(Giong Nam)"},
      {132.0f, 2, "Giọng Nam Trung / Cao (132 Hz)", "(Giong Nam)"},
      {174.9f, 2, "Giọng Nam Trung / Cao (175 Hz)", "(Giong Nam)"},
      {175.0f, 1, "Giọng Trung Ấm (Alto/Tenor) (175 Hz)", "(Giong Nu)"},
      {214.5f, 1, "Giọng Trung Ấm (Alto/Tenor) (214 Hz)", "(Giong Nu)"},  // a half rounds to even
      {215.0f, 0, "Giọng Nữ Sáng (215 Hz)", "(Giong Nu)"},
      {400.0f, 0, "Giọng Nữ Sáng (400 Hz)", "(Giong Nu)"},
  };
  for (const Case& c : cases) {
    const auto [s, p] = completed_at(c.hz);
    EXPECT_EQ(s.avg_f0_hz, c.hz);
    EXPECT_EQ(p.tc_voice_profile, c.profile) << c.hz;
    EXPECT_EQ(s.detected_gender, c.gender) << c.hz;
    EXPECT_NE(s.recommendation_summary.find(c.short_label), std::string::npos) << c.hz;
  }
}

TEST(VoiceCalibration, LowAndHighPitchFromThePercentiles) {
  DspParams p = dsp_params_default();
  VoiceCalStatus s = voice_cal_started(15.0f, p, voice_cal_default_state());
  // Ten samples 110, 120, ..., 200: L = element 2 (130), H = element 5 (160).
  for (int i = 9; i >= 0; --i) voice_cal_analyze(s, voiced(110.0f + 10.0f * float(i)));
  voice_cal_complete(s, p);
  EXPECT_EQ(s.avg_f0_hz, 130.0f);
  EXPECT_NEAR(p.tc_formant_scale, 0.86f + 0.0009655172f * 55.0f, 1e-6f);
  EXPECT_NEAR(p.tc_rbass_freq_hz, 112.0f, 1e-6f);  // 0.65 x 130 = 84.5, raised to 112

  // No samples but a running median above 65 Hz: L is that median.
  VoiceCalStatus m = voice_cal_started(15.0f, p, voice_cal_default_state());
  m.avg_f0_hz = 190.0f;
  voice_cal_complete(m, p);
  EXPECT_EQ(m.avg_f0_hz, 190.0f);
  EXPECT_EQ(p.tc_voice_profile, 1);
  EXPECT_NEAR(p.tc_formant_scale, 0.86f + 0.0009655172f * 85.0f, 1e-6f);  // H = max(165, 190)
}

TEST(VoiceCalibration, TimbrePhrasesFollowTheSpectrum) {
  DspParams p = dsp_params_default();
  VoiceCalStatus s = voice_cal_started(15.0f, p, voice_cal_default_state());
  // Against the high-voice reference: too much 300 Hz, boxy 650 Hz, harsh upper mids.
  s.band_pct = {8.5f, 22.0f, 30.0f, 22.0f, 10.0f, 1.65f};
  s.avg_f0_hz = 220.0f;
  voice_cal_complete(s, p);
  EXPECT_EQ(s.detected_timbre,
            "phòng dư cộng hưởng trầm 280-300Hz (đã khử ồm & giảm dội vang ngắn), "
            "cộng hưởng mũi/hộp 650Hz (đã gọt mượt), "
            "trung-cao 1.6-3.2kHz hơi gắt (đã đệm êm Soothe chống chói)");

  VoiceCalStatus thin = voice_cal_started(15.0f, p, voice_cal_default_state());
  thin.band_pct = {5.0f, 18.0f, 26.5f, 19.0f, 10.0f, 1.65f};
  thin.avg_f0_hz = 220.0f;
  voice_cal_complete(thin, p);
  EXPECT_EQ(thin.detected_timbre, "hơi thiếu lực ngực (đã bù ấm tự nhiên), độ sáng mượt ấm áp");
  EXPECT_NEAR(p.eq_low_db, 0.06f * 3.5f, 1e-6f);
}

TEST(VoiceCalibration, BandsSeparateTheSpectrum) {
  VoiceCalBands bands = voice_cal_bands_new();
  auto strongest = [&](double hz) {
    std::vector<float> block(128);
    std::size_t best = 0;
    for (int b = 0; b < 40; ++b) {
      for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = float(0.1 * std::sin(2.0 * std::numbers::pi * hz * double(b * 128 + int(i)) / 48000.0));
      voice_cal_measure_bands(bands, true, block);
    }
    for (std::size_t k = 1; k < kVoiceCalBands; ++k)
      if (bands.energy[k] > bands.energy[best]) best = k;
    return best;
  };
  EXPECT_EQ(strongest(110.0), 0u);
  EXPECT_EQ(strongest(300.0), 1u);
  EXPECT_EQ(strongest(650.0), 2u);
  EXPECT_EQ(strongest(1600.0), 3u);
  EXPECT_EQ(strongest(3200.0), 4u);
  EXPECT_EQ(strongest(10000.0), 5u);

  // At rest the filters keep their state and report nothing.
  const VoiceCalBands before = bands;
  const std::vector<float> loud(128, 0.5f);
  voice_cal_measure_bands(bands, false, loud);
  EXPECT_EQ(bands.filters, before.filters);
  EXPECT_EQ(bands.energy, (std::array<float, 6>{}));
}

TEST(VoiceCalibration, AnalysisAndCompletionDoNotAllocate) {
  DspParams p = dsp_params_default();
  VoiceCalStatus s = voice_cal_started(1.8f, p, voice_cal_default_state());
  VoiceCalBands bands = voice_cal_bands_new();
  const std::vector<float> mic(128, 0.01f);
  bool done = false;
  test::ThreadAllocationCounter counter;
  for (int i = 0; i < 2000 && !done; ++i) {
    voice_cal_measure_bands(bands, true, mic);
    // Pitches from 71 to 449 Hz in a scrambled order grow the sorted list.
    done = voice_cal_analyze(s, VoiceCalBlock{0.1f, 71.0f + float((i * 37) % 379), bands.energy});
  }
  voice_cal_complete(s, p);
  EXPECT_TRUE(done);
  EXPECT_EQ(counter.count(), 0u);
  EXPECT_EQ(s.pitch_samples.size(), 350u);
}

}  // namespace
}  // namespace melodara
