#include "dsp/pitch_shifter.h"

#include <gtest/gtest.h>

#include "signal_helpers.h"

namespace melodara {
namespace {

using test::dominant_frequency;
using test::noise;
using test::sine;

// Tap delay 460.8 reads the input 459.8 samples back, interpolated (the read
// position is a float near 8,000, so the fraction is good to about 5e-4).
void expect_delayed_copy(const std::vector<float>& in, const std::vector<float>& out, std::size_t from) {
  for (std::size_t i = from; i < in.size(); ++i) {
    const float expected = 0.8f * in[i - 460] + 0.2f * in[i - 459];
    ASSERT_NEAR(out[i], expected, 1e-3f) << "sample " << i;
  }
}

TEST(PitchShifter, GeometryFollowsTheWindow) {
  struct Case {
    std::size_t window;
    float centre;
  } cases[] = {{1536, 460.8f}, {760, 494.0f},  {960, 624.0f},  {1140, 741.0f},
               {860, 559.0f},  {2048, 614.4f}, {1024, 665.6f}, {500, 210.0f}};
  for (const Case& c : cases) {
    PitchShifter s = pitch_shifter_new(c.window);
    EXPECT_NEAR(s.centre, c.centre, 1e-3f) << c.window;
    EXPECT_EQ(s.delay_a, s.centre);
    EXPECT_EQ(s.delay_b, s.centre);
    EXPECT_EQ(s.phase, 0.0f);
    EXPECT_EQ(s.ring.size(), kShifterRingSize);
  }
}

TEST(PitchShifter, FeedingMovesTheStateExactlyAsProcessing) {
  PitchShifter heard = pitch_shifter_new(1536), fed = pitch_shifter_new(1536);
  const std::vector<float> in = noise(20000, 3);
  for (std::size_t i = 0; i < in.size(); ++i) {
    // Shifting, near unity and at unity, with and without a told pitch.
    const float ratio = i < 6000 ? 1.12f : (i < 9000 ? 1.0004f : (i < 14000 ? 0.8f : 1.0f));
    const float pitch = i % 5000 < 2500 ? 0.0f : 180.0f;
    pitch_shift_sample(heard, in[i], ratio, pitch);
    pitch_shift_feed(fed, in[i], ratio, pitch);
    ASSERT_EQ(heard, fed) << i;
  }
}

TEST(PitchShifter, UnityRatioIsTheInputDelayedByTheCentreLessOne) {
  PitchShifter s = pitch_shifter_new(1536);
  const std::vector<float> in = noise(8000, 1);
  std::vector<float> out(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) out[i] = pitch_shift_sample(s, in[i], 1.0f, 0.0f);
  expect_delayed_copy(in, out, 461);
}

TEST(PitchShifter, ReturnsToThePlainDelayAfterShifting) {
  PitchShifter s = pitch_shifter_new(1536);
  const std::vector<float> in = noise(40000, 2);
  std::vector<float> out(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    const float ratio = i < 6000 ? 1.5f : 1.0f;
    out[i] = pitch_shift_sample(s, in[i], ratio, 0.0f);
  }
  EXPECT_NEAR(s.delay_a, s.centre, 1.0f);
  EXPECT_EQ(s.delay_a, s.delay_b);
  // The last drift step leaves the taps within a sample of the centre; once
  // there they stay, so the tail is a clean delayed copy at that delay.
  const float d = s.delay_a;
  for (std::size_t i = in.size() - 2000; i < in.size(); ++i) {
    const double pos = static_cast<double>(i) + 1.0 - static_cast<double>(d);
    const double fl = std::floor(pos);
    const std::size_t k = static_cast<std::size_t>(fl);
    const double f = pos - fl;
    ASSERT_NEAR(out[i], (1.0 - f) * static_cast<double>(in[k]) + f * static_cast<double>(in[k + 1]), 1e-3)
        << i;
  }
}

TEST(PitchShifter, OctaveUpOnATold200HzToneSettlesAt400Hz) {
  PitchShifter s = pitch_shifter_new(1536);
  const std::vector<float> in = sine(200.0, 0.5, 48000);
  std::vector<float> out(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) out[i] = pitch_shift_sample(s, in[i], 2.0f, 200.0f);
  EXPECT_FLOAT_EQ(s.period, 240.0f);
  const std::span<const float> tail(out.data() + 24000, 24000);
  const double f = dominant_frequency(tail, 100.0, 1000.0);
  EXPECT_NEAR(test::cents(f, 400.0), 0.0, 3.0) << f;
  // Splices a whole period apart keep the tone clean: little is left at 200 Hz.
  EXPECT_GT(test::spectrum_at(tail, 400.0), 20.0 * test::spectrum_at(tail, 200.0));
}

TEST(PitchShifter, RatiosOutsideTheRangeActAsTheBounds) {
  const std::vector<float> in = sine(220.0, 0.5, 20000);
  struct Case {
    float given, bound;
  } cases[] = {{4.0f, 2.0f}, {100.0f, 2.0f}, {0.1f, 0.35f}, {-3.0f, 0.35f}};
  for (const Case& c : cases) {
    PitchShifter a = pitch_shifter_new(1536), b = pitch_shifter_new(1536);
    for (std::size_t i = 0; i < in.size(); ++i) {
      ASSERT_EQ(pitch_shift_sample(a, in[i], c.given, 220.0f), pitch_shift_sample(b, in[i], c.bound, 220.0f))
          << c.given << " at " << i;
    }
  }
}

TEST(PitchShifter, PeriodIsKeptForPitchesOutsideTheTrustedRange) {
  PitchShifter s = pitch_shifter_new(1536);
  pitch_shift_sample(s, 0.0f, 1.0f, 800.0f);
  EXPECT_EQ(s.period, 0.0f);
  pitch_shift_sample(s, 0.0f, 1.0f, 100.0f);
  EXPECT_FLOAT_EQ(s.period, 480.0f);
  pitch_shift_sample(s, 0.0f, 1.0f, 50.0f);
  pitch_shift_sample(s, 0.0f, 1.0f, 0.0f);
  EXPECT_FLOAT_EQ(s.period, 480.0f);
  pitch_shift_sample(s, 0.0f, 1.0f, 750.0f);
  EXPECT_FLOAT_EQ(s.period, 64.0f);
}

TEST(PitchShifter, ShiftingDownLowersTheTone) {
  PitchShifter s = pitch_shifter_new(1536);
  const std::vector<float> in = sine(400.0, 0.5, 48000);
  std::vector<float> out(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) out[i] = pitch_shift_sample(s, in[i], 0.75f, 400.0f);
  const double f = dominant_frequency(std::span<const float>(out.data() + 24000, 24000), 100.0, 1000.0);
  EXPECT_NEAR(test::cents(f, 300.0), 0.0, 5.0) << f;
}

TEST(PitchShifter, CorrectionRatiosOnLowVoicesKeepTheirLevelAndPitch) {
  // The strongest corrections (about +-58 cents) on steady tones from 80 Hz up:
  // splices a whole period apart leave neither level dips nor a pitch error, also
  // where the period is longer than a quarter of the window (below 125 Hz).
  for (double f : {80.0, 90.0, 100.0, 110.0, 125.0, 160.0, 250.0}) {
    for (double ratio : {0.967, 1.034}) {
      PitchShifter s = pitch_shifter_new(1536);
      const std::vector<float> in = sine(f, 0.3, 3 * 48000);
      std::vector<float> out(in.size());
      for (std::size_t i = 0; i < in.size(); ++i)
        out[i] = pitch_shift_sample(s, in[i], static_cast<float>(ratio), static_cast<float>(f));
      const std::span<const float> tail(out.data() + 48000, 2 * 48000);
      const double got = dominant_frequency(tail, 0.8 * f, 1.25 * f);
      EXPECT_NEAR(test::cents(got, f * ratio), 0.0, 5.0) << f << " Hz x " << ratio;
      // Level over every two periods against the tone's own.
      const std::size_t window = static_cast<std::size_t>(2.0 * 48000.0 / f);
      double lowest = 1.0;
      for (std::size_t at = 0; at + window <= tail.size(); at += window / 4)
        lowest = std::fmin(lowest, test::rms(tail.subspan(at, window)) / (0.3 / std::sqrt(2.0)));
      EXPECT_GT(20.0 * std::log10(lowest), -1.0) << f << " Hz x " << ratio;
    }
  }
}

}  // namespace
}  // namespace melodara
