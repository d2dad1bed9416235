#include "engine/routing_mix.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

namespace melodara {
namespace {

constexpr std::size_t kBlock = 128;

// Constant stem values for one block; every buffer of the block holds its value.
struct StemValues {
  float out_l = 0.5f, out_r = 0.4f;
  float voice_l = 0.3f, voice_r = 0.1f;
  float accomp_l = 0.2f, accomp_r = 0.25f;
  float backing_l = 0.6f, backing_r = -0.7f;
  float mic = 0.45f;
  float cap_l = 0.35f, cap_r = -0.15f;
};

// Buffers of one block, sized like the engine's.
struct MixBench {
  std::array<float, kBlock> cap_l{}, cap_r{}, mic{}, out_l{}, out_r{};
  std::array<std::vector<float>, 6> stems;
  std::array<StereoFrame, kBlock> primary{}, backing{}, monitor{}, bus{}, rec_mix{}, rec_vocal{}, rec_dry{};

  MixBench() {
    for (auto& s : stems) s.assign(kBlock, 0.0f);
  }

  void fill(const StemValues& v) {
    cap_l.fill(v.cap_l);
    cap_r.fill(v.cap_r);
    mic.fill(v.mic);
    out_l.fill(v.out_l);
    out_r.fill(v.out_r);
    const float stem_values[6] = {v.voice_l, v.voice_r, v.accomp_l, v.accomp_r, v.backing_l, v.backing_r};
    for (std::size_t s = 0; s < 6; ++s) stems[s].assign(kBlock, stem_values[s]);
  }

  MixOutputs outputs() { return {primary, backing, monitor, bus, rec_mix, rec_vocal, rec_dry}; }

  MixMeterSums mix(RoutingMixState& state, const MixControls& controls) {
    return routing_mix_block(state, controls, routing_mix_inputs(cap_l, cap_r, mic, out_l, out_r, stems),
                             outputs());
  }
};

// Runs enough silent preparation and constant mixing blocks for every smoothed
// gain to sit on its target (5,120 frames: residual below 1e-8).
void settle(RoutingMixState& state, const MixControls& controls, MixBench& bench) {
  std::array<StereoFrame, kBlock> silence{};
  std::array<float, kBlock> l{}, r{}, y{};
  for (int b = 0; b < 40; ++b) {
    routing_mix_prepare_mic(state, controls, silence, l, r, y);
    bench.mix(state, controls);
  }
}

// Float one-poles stall about 1e-5 short of their target (the step drops below
// half an ulp), so settled values are compared to that.
constexpr float kSettled = 2e-5f;

void expect_frame(const StereoFrame& got, float l, float r, const std::string& what) {
  EXPECT_NEAR(got.left, l, kSettled) << what << " left";
  EXPECT_NEAR(got.right, r, kSettled) << what << " right";
}

float sc_reference(double x) {  // the clip curve in double, for expected values
  const double a = std::fabs(x);
  if (a <= 0.95) return static_cast<float>(x);
  const double h = a - 0.95;
  return static_cast<float>(std::copysign(0.95 + h / (h + 0.035) * 0.035, x));
}

TEST(RoutingSoftClip, CurveValues) {
  struct Case {
    float in;
    float want;
  };
  const Case cases[] = {
      {0.0f, 0.0f},
      {0.5f, 0.5f},
      {-0.95f, -0.95f},
      {0.95f, 0.95f},
      {0.96f, sc_reference(0.96)},
      {2.0f, static_cast<float>(0.95 + 1.05 / 1.085 * 0.035)},
      {-2.0f, -static_cast<float>(0.95 + 1.05 / 1.085 * 0.035)},
      {1e6f, sc_reference(1e6)},
      {std::numeric_limits<float>::infinity(), 0.985f},
      {-std::numeric_limits<float>::infinity(), -0.985f},
  };
  for (const Case& c : cases) EXPECT_NEAR(routing_soft_clip(c.in), c.want, 1e-6f) << c.in;
  EXPECT_NEAR(routing_soft_clip(2.0f), 0.98387f, 1e-5f);
  EXPECT_LE(routing_soft_clip(1e30f), 0.985f);  // float rounding reaches the limit itself
  EXPECT_TRUE(std::isnan(routing_soft_clip(std::numeric_limits<float>::quiet_NaN())));
}

// The four modes' rows with the gains settled: master 1.2, mic gain 1.35,
// monitor gain 0.8, for the monitor off, on, and on with a webcam input.
TEST(RoutingMix, ModeRowsWithKnownStems) {
  enum Monitor { Off, On, OnWebcam };
  struct Row {
    RoutingMode mode;
    Monitor monitor;
    StereoFrame primary, monitor_frame, bus;
  };
  const float raw_clipped = sc_reference(0.54 * 0.8 + 0.72 * 0.8);
  const Row rows[] = {
      {RoutingMode::Program, Off, {0.6f, 0.48f}, {0.48f, -0.56f}, {0.6f, 0.48f}},
      {RoutingMode::Program, On, {0.6f, 0.48f}, {0.4f, 0.32f}, {0.6f, 0.48f}},
      {RoutingMode::Program, OnWebcam, {0.6f, 0.48f}, {0.3328f, 0.2576f}, {0.6f, 0.48f}},
      {RoutingMode::Vocal, Off, {0.30456f, 0.12744f}, {0.4416f, -0.5152f}, {0.6f, 0.48f}},
      {RoutingMode::Vocal, On, {0.30456f, 0.12744f}, {0.368f, 0.2944f}, {0.6f, 0.48f}},
      {RoutingMode::Vocal, OnWebcam, {0.30456f, 0.12744f}, {0.32f, 0.2416f}, {0.6f, 0.48f}},
      {RoutingMode::RawMic, Off, {0.54f, 0.54f}, {0.576f, -0.672f}, {0.54f, 0.54f}},
      {RoutingMode::RawMic, On, {0.54f, 0.54f}, {raw_clipped, -0.24f}, {0.54f, 0.54f}},
      {RoutingMode::RawMic, OnWebcam, {0.54f, 0.54f}, {0.88704f, -0.36096f}, {0.54f, 0.54f}},
      {RoutingMode::DawVocal, Off, {0.567f, -0.243f}, {0.0f, 0.0f}, {0.36f, 0.12f}},
      {RoutingMode::DawVocal, On, {0.567f, -0.243f}, {0.4536f, -0.1944f}, {0.36f, 0.12f}},
      {RoutingMode::DawVocal, OnWebcam, {0.567f, -0.243f}, {0.326592f, -0.139968f}, {0.36f, 0.12f}},
  };
  int index = 0;
  for (const Row& row : rows) {
    const std::string what = "row " + std::to_string(index++);
    RoutingMixState state;
    routing_mix_open(state, row.monitor == OnWebcam);
    MixControls controls;
    controls.mode = row.mode;
    controls.master_gain = 1.2f;
    controls.mic_gain = 1.35f;
    controls.monitor_gain = 0.8f;
    controls.monitor_enabled = row.monitor != Off;
    MixBench bench;
    bench.fill(StemValues{});
    settle(state, controls, bench);
    const MixMeterSums sums = bench.mix(state, controls);
    ASSERT_EQ(sums.frames, kBlock);
    for (std::size_t i : {std::size_t{0}, kBlock - 1}) {
      expect_frame(bench.primary[i], row.primary.left, row.primary.right, what + " primary");
      expect_frame(bench.monitor[i], row.monitor_frame.left, row.monitor_frame.right, what + " monitor");
      expect_frame(bench.bus[i], row.bus.left, row.bus.right, what + " bus");
      // Backing and recorder feeds are the same in every mode.
      expect_frame(bench.backing[i], 0.72f, -0.84f, what + " backing");
      expect_frame(bench.rec_mix[i], 0.6f, 0.48f, what + " rec mix");
      expect_frame(bench.rec_vocal[i], 0.36f, 0.12f, what + " rec vocal");
      expect_frame(bench.rec_dry[i], 0.54f, 0.54f, what + " rec dry mic");
    }
  }
}

TEST(RoutingMix, MuteSilencesOnlyThePrimaryFeed) {
  for (RoutingMode mode :
       {RoutingMode::Program, RoutingMode::Vocal, RoutingMode::RawMic, RoutingMode::DawVocal}) {
    MixControls controls;
    controls.mode = mode;
    controls.monitor_enabled = true;
    MixBench live, silent;
    live.fill(StemValues{});
    silent.fill(StemValues{});
    RoutingMixState a, b;
    routing_mix_open(a, false);
    routing_mix_open(b, false);
    settle(a, controls, live);
    settle(b, controls, silent);
    MixControls muted = controls;
    muted.muted = true;
    const MixMeterSums live_sums = live.mix(a, controls);
    const MixMeterSums muted_sums = silent.mix(b, muted);
    for (std::size_t i = 0; i < kBlock; ++i) {
      EXPECT_EQ(silent.primary[i], (StereoFrame{0.0f, 0.0f}));
      EXPECT_NE(live.primary[i], (StereoFrame{0.0f, 0.0f}));
      EXPECT_EQ(silent.backing[i], live.backing[i]);
      EXPECT_EQ(silent.monitor[i], live.monitor[i]);
      EXPECT_EQ(silent.bus[i], live.bus[i]);
      EXPECT_EQ(silent.rec_mix[i], live.rec_mix[i]);
      EXPECT_EQ(silent.rec_vocal[i], live.rec_vocal[i]);
      EXPECT_EQ(silent.rec_dry[i], live.rec_dry[i]);
    }
    EXPECT_EQ(muted_sums.primary_sum_sq, 0.0f);
    EXPECT_EQ(muted_sums.primary_peak, 0.0f);
    EXPECT_GT(live_sums.primary_peak, 0.0f);
    EXPECT_EQ(muted_sums.backing_sum_sq, live_sums.backing_sum_sq);
    EXPECT_EQ(muted_sums.monitor_sum_sq, live_sums.monitor_sum_sq);
    if (mode == RoutingMode::RawMic) {
      // The dry microphone stays on the bus while the publish mute is set.
      EXPECT_NEAR(silent.bus[0].left, 0.45f, 1e-6f);
      EXPECT_NEAR(silent.bus[0].right, 0.45f, 1e-6f);
    }
  }
}

// "daw-vocal": the primary feed is the capture times mic gain and master only,
// and the monitor carries no backing track.
TEST(RoutingMix, DawVocalCarriesTheCaptureAndNoBackingTrack) {
  MixControls controls;
  controls.mode = RoutingMode::DawVocal;
  controls.monitor_enabled = true;
  controls.mic_gain = 1.5f;
  controls.master_gain = 0.5f;
  RoutingMixState state;
  routing_mix_open(state, false);
  MixBench bench;
  StemValues base;
  bench.fill(base);
  settle(state, controls, bench);
  RoutingMixState again = state;

  // Fill the capture with a ramp so every frame differs.
  for (std::size_t i = 0; i < kBlock; ++i) {
    bench.cap_l[i] = -0.9f + 0.014f * static_cast<float>(i);
    bench.cap_r[i] = 0.8f - 0.011f * static_cast<float>(i);
  }
  bench.mix(state, controls);
  const auto primary = bench.primary;
  const auto monitor = bench.monitor;
  for (std::size_t i = 0; i < kBlock; ++i) {
    EXPECT_NEAR(primary[i].left, bench.cap_l[i] * 0.75f, kSettled);
    EXPECT_NEAR(primary[i].right, bench.cap_r[i] * 0.75f, kSettled);
    EXPECT_NEAR(monitor[i].left, primary[i].left, kSettled);  // monitor gain 1, no backing
  }

  // Change everything the chain produced: the primary and the monitor stay.
  StemValues other = base;
  other.out_l = other.out_r = -0.2f;
  other.voice_l = other.voice_r = 0.05f;
  other.accomp_l = other.accomp_r = 0.9f;
  other.backing_l = other.backing_r = 0.9f;
  other.mic = -0.3f;
  const auto cap_l = bench.cap_l;
  const auto cap_r = bench.cap_r;
  bench.fill(other);
  bench.cap_l = cap_l;
  bench.cap_r = cap_r;
  bench.mix(again, controls);
  EXPECT_EQ(bench.primary, primary);
  EXPECT_EQ(bench.monitor, monitor);
  expect_frame(bench.bus[5], 0.025f, 0.025f, "bus is the voice times master");
}

TEST(RoutingMix, WebcamMonitorKeepsTheVoiceBelowTheTrack) {
  for (RoutingMode mode : {RoutingMode::Program, RoutingMode::Vocal}) {
    MixControls controls;
    controls.mode = mode;
    controls.monitor_enabled = true;
    controls.monitor_gain = 1.5f;
    RoutingMixState state;
    routing_mix_open(state, true);
    MixBench bench;
    StemValues voice_only{};
    voice_only.voice_l = 0.4f;
    voice_only.voice_r = -0.2f;
    voice_only.accomp_l = voice_only.accomp_r = 0.0f;
    bench.fill(voice_only);
    settle(state, controls, bench);
    bench.mix(state, controls);
    expect_frame(bench.monitor[0], 0.4f * 0.72f * 1.5f, -0.2f * 0.72f * 1.5f, "voice");

    StemValues track_only{};
    track_only.voice_l = track_only.voice_r = 0.0f;
    track_only.accomp_l = 0.3f;
    track_only.accomp_r = 0.1f;
    bench.fill(track_only);
    bench.mix(state, controls);
    const float f = mode == RoutingMode::Vocal ? 0.92f : 1.0f;
    expect_frame(bench.monitor[0], 0.3f * f * 1.5f, 0.1f * f * 1.5f, "track");
  }
}

// Fills one capture block with a left and a right sine of the given peaks.
std::array<StereoFrame, kBlock> tones(float peak_l, float peak_r, std::size_t& phase) {
  std::array<StereoFrame, kBlock> block{};
  for (auto& f : block) {
    const float s =
        static_cast<float>(std::sin(2.0 * std::numbers::pi * 750.0 / 48000.0 * static_cast<double>(phase++)));
    f = {peak_l * s, peak_r * s};
  }
  return block;
}

TEST(RoutingMicPreparation, DominantChannelIsFollowed) {
  struct Case {
    float peak_l, peak_r;
    float start_target_l;  // weights and target settled here before the case
    float want_target_l;
  };
  const Case cases[] = {
      {0.5f, 0.1f, 0.5f, 1.0f},    // left more than four times the right
      {0.1f, 0.5f, 0.5f, 0.0f},    // right dominates
      {0.4f, 0.1f, 1.0f, 0.5f},    // exactly four times: both channels
      {0.003f, 0.0f, 1.0f, 1.0f},  // too quiet to decide: the choice stays
      {0.0f, 0.003f, 0.0f, 0.0f},
  };
  for (const Case& c : cases) {
    RoutingMixState state;
    state.weight_left = state.target_left = c.start_target_l;
    state.weight_right = state.target_right = 1.0f - c.start_target_l;
    routing_mix_open(state, false);
    MixControls controls;
    std::array<float, kBlock> l{}, r{}, y{};
    std::size_t phase = 0;
    // 400 samples: one time constant of the weights.
    for (int b = 0; b < 3; ++b) {
      const auto block = tones(c.peak_l, c.peak_r, phase);
      routing_mix_prepare_mic(state, controls, block, l, r, y);
    }
    const auto block = tones(c.peak_l, c.peak_r, phase);
    routing_mix_prepare_mic(state, controls, std::span(block).first(16), l, r, y);
    const float moved = 1.0f - std::pow(1.0f - 0.0025f, 400.0f);  // ~ 1 - 1/e
    const float want = c.start_target_l + (c.want_target_l - c.start_target_l) * moved;
    EXPECT_NEAR(state.weight_left, want, 1e-4f) << c.peak_l << " / " << c.peak_r;
    EXPECT_NEAR(state.weight_right, 1.0f - want, 1e-4f) << c.peak_l << " / " << c.peak_r;
  }
  EXPECT_NEAR(1.0f - std::pow(1.0f - 0.0025f, 400.0f), 1.0f - std::exp(-1.0f), 1e-3f);
}

TEST(RoutingMicPreparation, SingleChannelMicReachesTheChainFromThatChannelOnly) {
  // A mic on the left input and a buzz on the unused right input, a fifth of its level.
  RoutingMixState with_buzz, clean;
  routing_mix_open(with_buzz, false);
  routing_mix_open(clean, false);
  MixControls controls;
  std::array<float, kBlock> l{}, r{}, y_buzz{}, y_clean{};
  std::size_t phase = 0;
  for (int b = 0; b < 60; ++b) {
    const auto mic_only = tones(0.5f, 0.0f, phase);
    auto buzzed = mic_only;
    for (std::size_t i = 0; i < kBlock; ++i) buzzed[i].right = (i % 2 ? 0.1f : -0.1f);
    routing_mix_prepare_mic(with_buzz, controls, buzzed, l, r, y_buzz);
    routing_mix_prepare_mic(clean, controls, mic_only, l, r, y_clean);
  }
  float peak = 0.0f;
  for (std::size_t i = 0; i < kBlock; ++i) {
    EXPECT_NEAR(y_buzz[i], y_clean[i], 1e-5f) << i;
    peak = std::max(peak, std::fabs(y_clean[i]));
  }
  EXPECT_NEAR(peak, 0.5f, 0.01f);  // the left channel at full level, not halved
}

// "raw-mic": a microphone on one input of a stereo interface is published
// mono on both channels of the primary feed, at its own level.
TEST(RoutingMix, RawMicFromOneInputChannelFillsBothPrimaryChannels) {
  for (int carrying = 0; carrying < 2; ++carrying) {
    RoutingMixState state;
    routing_mix_open(state, false);
    MixControls controls;
    controls.mode = RoutingMode::RawMic;
    MixBench bench;
    bench.fill(StemValues{});
    std::size_t phase = 0;
    float peak = 0.0f;
    for (int b = 0; b < 60; ++b) {
      const auto block = carrying == 0 ? tones(0.5f, 0.0f, phase) : tones(0.0f, 0.5f, phase);
      routing_mix_prepare_mic(state, controls, block, bench.cap_l, bench.cap_r, bench.mic);
      bench.mix(state, controls);
      if (b < 50) continue;
      for (std::size_t i = 0; i < kBlock; ++i) {
        ASSERT_EQ(bench.primary[i].left, bench.primary[i].right) << carrying << " frame " << i;
        ASSERT_EQ(bench.primary[i].left, routing_soft_clip(bench.mic[i] * state.master));
        peak = std::max(peak, std::fabs(bench.primary[i].left));
      }
    }
    EXPECT_NEAR(peak, 0.5f, 0.01f) << carrying;  // not halved by the silent channel
    EXPECT_EQ(state.target_left, carrying == 0 ? 1.0f : 0.0f);
  }
}

// With every gain at 2 and full-scale signals everywhere, no sample that leaves
// the mix reaches the soft clip's bound, in any mode and monitor setting.
TEST(RoutingMix, GainsAtTwoNeverPassTheClipBound) {
  enum Monitor { Off, On, OnWebcam };
  float worst = 0.0f;
  for (RoutingMode mode :
       {RoutingMode::Program, RoutingMode::Vocal, RoutingMode::RawMic, RoutingMode::DawVocal})
    for (Monitor monitor : {Off, On, OnWebcam}) {
      RoutingMixState state;
      routing_mix_open(state, monitor == OnWebcam);
      MixControls controls;
      controls.mode = mode;
      controls.mic_gain = controls.music_gain = controls.master_gain = controls.monitor_gain = 2.0f;
      controls.monitor_enabled = monitor != Off;
      MixBench bench;
      std::size_t phase = 0;
      for (int b = 0; b < 60; ++b) {
        // Full-scale capture; chain outputs and stems at full scale, in phase
        // so that the sums add up.
        const auto capture = tones(1.0f, 1.0f, phase);
        routing_mix_prepare_mic(state, controls, capture, bench.cap_l, bench.cap_r, bench.mic);
        for (std::size_t i = 0; i < kBlock; ++i) {
          const float x = capture[i].left;
          bench.out_l[i] = bench.out_r[i] = x;
          for (auto& stem : bench.stems) stem[i] = x;
        }
        bench.mix(state, controls);
        for (const auto* feed : {&bench.primary, &bench.backing, &bench.monitor, &bench.bus, &bench.rec_mix,
                                 &bench.rec_vocal, &bench.rec_dry})
          for (const StereoFrame& f : *feed) {
            worst = std::max({worst, std::fabs(f.left), std::fabs(f.right)});
            ASSERT_LT(std::fabs(f.left), 0.985f);
            ASSERT_LT(std::fabs(f.right), 0.985f);
          }
      }
    }
  EXPECT_GT(worst, 0.98f);  // the signals did drive the clip
}

TEST(RoutingMicPreparation, NonFiniteCaptureReadsAsSilence) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  RoutingMixState state;
  routing_mix_open(state, false);
  MixControls controls;
  std::array<float, kBlock> l{}, r{}, y{};
  std::size_t phase = 0;
  auto block = tones(0.0f, 0.2f, phase);
  for (std::size_t i = 0; i < kBlock; ++i) block[i].left = (i % 3 == 0) ? nan : (i % 3 == 1 ? inf : -inf);
  block[7].right = nan;
  const ChainGains gains = routing_mix_prepare_mic(state, controls, block, l, r, y);
  for (std::size_t i = 0; i < kBlock; ++i) {
    EXPECT_EQ(l[i], 0.0f) << i;
    EXPECT_TRUE(std::isfinite(y[i])) << i;
  }
  EXPECT_EQ(r[7], 0.0f);
  EXPECT_EQ(r[8], block[8].right);
  EXPECT_EQ(state.target_left, 0.0f);  // the garbage channel did not win
  EXPECT_TRUE(std::isfinite(state.dc_y_prev));
  EXPECT_TRUE(std::isfinite(gains.vocal_gain));

  // The mix of daw-vocal reads the cleaned capture: its primary stays finite.
  MixBench bench;
  bench.fill(StemValues{});
  bench.cap_l = l;
  bench.cap_r = r;
  controls.mode = RoutingMode::DawVocal;
  bench.mix(state, controls);
  for (const StereoFrame& f : bench.primary) EXPECT_TRUE(std::isfinite(f.left) && std::isfinite(f.right));
}

TEST(RoutingMicPreparation, ClosedInputGivesSilenceAndNoChainGain) {
  for (int closed = 0; closed < 2; ++closed) {
    RoutingMixState state;
    routing_mix_open(state, false);
    MixControls controls;
    controls.running = closed == 1;      // case 0: not running
    controls.input_muted = closed == 1;  // case 1: input muted
    std::array<float, kBlock> l{}, r{}, y{};
    std::size_t phase = 0;
    const auto block = tones(0.5f, 0.5f, phase);
    const ChainGains gains = routing_mix_prepare_mic(state, controls, block, l, r, y);
    EXPECT_EQ(gains.vocal_gain, 0.0f);
    EXPECT_EQ(gains.beat_volume, 0.78f);
    for (float s : y) EXPECT_EQ(s, 0.0f);
    EXPECT_LT(state.mic_gain, 1.0f);  // heading for 0
  }
}

TEST(RoutingSmoothing, MicGainSettlesInAbout1150Samples) {
  RoutingMixState state;
  routing_mix_open(state, false);
  MixControls controls;  // mic gain 1.35, from 1.0
  std::array<StereoFrame, kBlock> silence{};
  std::array<float, kBlock> l{}, r{}, y{};
  ChainGains gains;
  for (int b = 0; b < 8; ++b) gains = routing_mix_prepare_mic(state, controls, silence, l, r, y);
  EXPECT_GT(1.35f - gains.vocal_gain, 0.01f * 0.35f);  // 1,024 samples: not yet
  gains = routing_mix_prepare_mic(state, controls, silence, l, r, y);
  EXPECT_LT(1.35f - gains.vocal_gain, 0.01f * 0.35f);  // 1,152: within 1%
  EXPECT_GT(gains.vocal_gain, 1.0f);

  // A closed input heads for 0 but the chain gain never falls below 0.01 while open.
  controls.mic_gain = 0.0f;
  for (int b = 0; b < 100; ++b) gains = routing_mix_prepare_mic(state, controls, silence, l, r, y);
  EXPECT_EQ(gains.vocal_gain, 0.01f);
}

TEST(RoutingSmoothing, MasterStepSettlesWithinOnePercentInAbout1150Frames) {
  RoutingMixState state;
  routing_mix_open(state, false);
  MixControls controls;
  MixBench bench;
  StemValues v{};
  v.out_l = v.out_r = 0.1f;
  bench.fill(v);
  settle(state, controls, bench);  // master 1.0
  EXPECT_NEAR(bench.bus[0].left, 0.1f, kSettled);
  controls.master_gain = 2.0f;
  std::size_t settled_at = 0;
  float first = 0.0f;
  for (std::size_t b = 0; b < 12 && settled_at == 0; ++b) {
    bench.mix(state, controls);
    if (b == 0) first = bench.bus[0].left;
    for (std::size_t i = 0; i < kBlock; ++i)
      if (std::fabs(bench.bus[i].left - 0.2f) <= 0.01f * 0.1f) {
        settled_at = b * kBlock + i + 1;
        break;
      }
  }
  EXPECT_GT(first, 0.1f);  // a ramp, not a jump
  EXPECT_LT(first, 0.1005f);
  EXPECT_GE(settled_at, 1140u);
  EXPECT_LE(settled_at, 1160u);
}

TEST(RoutingSmoothing, MonitorOffRampsTheVoiceOut) {
  RoutingMixState state;
  routing_mix_open(state, false);
  MixControls controls;
  controls.mode = RoutingMode::RawMic;
  controls.monitor_enabled = true;
  MixBench bench;
  StemValues v{};
  v.backing_l = v.backing_r = 0.0f;
  v.mic = 0.5f;
  bench.fill(v);
  settle(state, controls, bench);
  EXPECT_NEAR(bench.monitor[0].left, 0.5f, kSettled);
  controls.monitor_enabled = false;
  bench.mix(state, controls);
  EXPECT_NEAR(bench.monitor[0].left, 0.5f * 0.996f, kSettled);
  EXPECT_NEAR(bench.monitor[kBlock - 1].left, 0.5f * std::pow(0.996f, 128.0f), 1e-5f);
}

// Quiet tone (gated level below every threshold) and loud tone into a webcam
// and an ordinary input.
TEST(RoutingWebcamGate, SinksInSilenceAndOpensOnSpeech) {
  RoutingMixState cam, plain;
  routing_mix_open(cam, true);
  routing_mix_open(plain, false);
  MixControls controls;
  std::array<float, kBlock> l{}, r{}, y_cam{}, y_plain{};
  std::size_t phase = 0;
  for (int b = 0; b < 20; ++b) {
    const auto loud = tones(0.1f, 0.1f, phase);
    routing_mix_prepare_mic(cam, controls, loud, l, r, y_cam);
    routing_mix_prepare_mic(plain, controls, loud, l, r, y_plain);
  }
  EXPECT_NEAR(cam.gate, 1.0f, 1e-4f);
  EXPECT_NEAR(plain.gate, 1.0f, 1e-4f);

  // A quiet tone: the gate sinks towards 0.58 with a time constant of about
  // 5,000 samples (measured after the first blocks, where the DC blocker's
  // transient from the loud tone still holds the gate open).
  auto quiet_blocks = [&](int count) {
    for (int b = 0; b < count; ++b) {
      const auto quiet = tones(0.001f, 0.001f, phase);
      routing_mix_prepare_mic(cam, controls, quiet, l, r, y_cam);
      routing_mix_prepare_mic(plain, controls, quiet, l, r, y_plain);
    }
  };
  quiet_blocks(10);
  const float before = cam.gate - 0.58f;
  EXPECT_GT(before, 0.3f);
  quiet_blocks(39);  // 4,992 samples
  const float after = cam.gate - 0.58f;
  EXPECT_NEAR(after / before, std::pow(1.0f - 0.0002f, 4992.0f), 2e-3f);
  EXPECT_NEAR(after / before, 1.0f / std::numbers::e_v<float>, 2e-3f);
  EXPECT_NEAR(plain.gate, 1.0f, 1e-4f);  // an ordinary input is never gated
  // The quiet microphone reaches the chain at the gate's level.
  std::size_t at = 0;
  for (std::size_t i = 0; i < kBlock; ++i)
    if (std::fabs(y_plain[i]) > std::fabs(y_plain[at])) at = i;
  const float gate_at = 0.58f + after / std::pow(1.0f - 0.0002f, static_cast<float>(kBlock - 1 - at));
  EXPECT_NEAR(y_cam[at] / y_plain[at], gate_at, 1e-3f);

  // Long silence settles on the floor.
  std::array<StereoFrame, kBlock> silence{};
  for (int b = 0; b < 400; ++b) routing_mix_prepare_mic(cam, controls, silence, l, r, y_cam);
  EXPECT_NEAR(cam.gate, 0.58f, 1e-3f);

  // Speech opens it within about 12 samples (one time constant of 0.085).
  const auto loud = tones(0.1f, 0.1f, phase);
  routing_mix_prepare_mic(cam, controls, std::span(loud).first(12), l, r, y_cam);
  const float up = 1.0f - 0.42f * std::pow(1.0f - 0.085f, 12.0f);
  EXPECT_NEAR(cam.gate, up, 2e-3f);
  EXPECT_GT(cam.gate, 0.58f + 0.42f * 0.6f);
}

TEST(RoutingWebcamGate, HoldKeepsAnOpenGateOpenOnModerateLevels) {
  RoutingMixState cam;
  routing_mix_open(cam, true);
  MixControls controls;
  std::array<float, kBlock> l{}, r{}, y{};
  std::size_t phase = 0;
  for (int b = 0; b < 20; ++b) routing_mix_prepare_mic(cam, controls, tones(0.1f, 0.1f, phase), l, r, y);
  // Gained RMS about 0.0029: below the open threshold, above the hold threshold.
  for (int b = 0; b < 100; ++b) routing_mix_prepare_mic(cam, controls, tones(0.003f, 0.003f, phase), l, r, y);
  EXPECT_NEAR(cam.gate, 1.0f, 1e-4f);

  // Reopening on an ordinary input lifts the floor: the gate opens fully again.
  for (int b = 0; b < 100; ++b) routing_mix_prepare_mic(cam, controls, tones(0.001f, 0.001f, phase), l, r, y);
  EXPECT_LT(cam.gate, 0.9f);
  routing_mix_open(cam, false);
  for (int b = 0; b < 2; ++b) routing_mix_prepare_mic(cam, controls, tones(0.0f, 0.0f, phase), l, r, y);
  EXPECT_NEAR(cam.gate, 1.0f, 1e-4f);
}

TEST(RoutingMeters, SumsOfTheFeeds) {
  RoutingMixState state;
  routing_mix_open(state, false);
  MixControls controls;
  controls.monitor_enabled = true;
  MixBench bench;
  bench.fill(StemValues{});
  settle(state, controls, bench);
  // A sine of peak 0.5 (RMS 0.3536) on the chain's output, left and right.
  for (std::size_t i = 0; i < kBlock; ++i) {
    const float s =
        0.5f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 4.0 * static_cast<double>(i) / kBlock));
    bench.out_l[i] = s;
    bench.out_r[i] = -s;
  }
  MixMeterSums sums = bench.mix(state, controls);
  EXPECT_NEAR(std::sqrt(sums.primary_sum_sq / static_cast<float>(sums.frames)), 0.5f / std::sqrt(2.0f),
              1e-4f);
  EXPECT_NEAR(sums.primary_peak, 0.5f, 1e-3f);
  // Monitor L and R cancel in the mono sum; the peak sees each channel.
  EXPECT_NEAR(sums.monitor_sum_sq, 0.0f, 1e-9f);
  EXPECT_NEAR(sums.monitor_peak, 0.5f, 1e-3f);
  EXPECT_NEAR(sums.backing_peak, 0.7f, 1e-6f);
  EXPECT_NEAR(std::sqrt(sums.backing_sum_sq / static_cast<float>(sums.frames)),
              std::sqrt((0.36f + 0.49f) / 2.0f), 1e-5f);

  // A constant monitor has no second difference, also across the block edge.
  bench.fill(StemValues{});
  bench.mix(state, controls);
  sums = bench.mix(state, controls);
  EXPECT_EQ(sums.monitor_diff_sum_sq, 0.0f);
  EXPECT_NEAR(sums.monitor_sum_sq / static_cast<float>(sums.frames), 0.45f * 0.45f, 1e-6f);
  // A step at the block edge shows up in the first two frames of the next block.
  StemValues louder{};
  louder.out_l = louder.out_r = 0.6f;
  bench.fill(louder);
  sums = bench.mix(state, controls);
  EXPECT_NEAR(sums.monitor_diff_sum_sq, 2.0f * 0.15f * 0.15f, 1e-4f);
}

}  // namespace
}  // namespace melodara
