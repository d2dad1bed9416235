// Capture and playback callbacks: conversion, channel rules, resampling,
// fill steering and 16-bit edges.
#include "engine/device_callbacks.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include <cmath>
#include <limits>
#include <numbers>

namespace melodara {
namespace {

// A ring whose holder failed, as a failing callback would leave it.
void poison(FrameRing& ring) {
  try {
    auto g = ring.lock();
    throw std::runtime_error("holder failed");
  } catch (const std::runtime_error&) {}
}

struct Capture {
  std::shared_ptr<FrameRing> ring;
  std::shared_ptr<CallbackCounter> counter = std::make_shared<CallbackCounter>(0);
  CaptureCallbackState state;
  Capture(std::uint32_t rate, std::size_t channels, std::size_t fill = kCaptureTargetFill)
      : ring(std::make_shared<FrameRing>(fill)), state(make_capture_state(ring, counter, rate, channels)) {}
  std::vector<StereoFrame> drain_after(std::size_t skip) {
    auto g = ring->lock();
    std::vector<StereoFrame> out;
    for (std::size_t i = skip; i < g->size(); ++i) out.push_back(g->at(i));
    return out;
  }
};

struct Playback {
  std::shared_ptr<FrameRing> ring;
  std::shared_ptr<CallbackCounter> counter = std::make_shared<CallbackCounter>(0);
  PlaybackCallbackState state;
  Playback(std::uint32_t rate, std::size_t channels, std::size_t fill = 0)
      : ring(std::make_shared<FrameRing>(fill)), state(make_playback_state(ring, counter, rate, channels)) {}
};

TEST(CaptureCallback, EmptyBufferAppendsNothingButCounts) {
  Capture c(44100, 2);
  c.state.position = 0.25;
  input_callback_f32(c.state, {});
  const float one[] = {0.5f};  // shorter than one frame
  input_callback_f32(c.state, one);
  EXPECT_EQ(c.ring->lock()->size(), kCaptureTargetFill);
  EXPECT_DOUBLE_EQ(c.state.position, 0.25);
  EXPECT_EQ(c.counter->load(), 2u);
}

TEST(CaptureCallback, At48kHzAndTargetFillFramesPassUnchanged) {
  Capture c(48000, 2);
  std::vector<float> buf(1024);
  for (std::size_t i = 0; i < buf.size(); ++i) buf[i] = float(i) / 1024.0f;
  input_callback_f32(c.state, buf);
  const auto got = c.drain_after(kCaptureTargetFill);
  ASSERT_EQ(got.size(), 512u);
  for (std::size_t f = 0; f < 512; ++f) {
    EXPECT_EQ(got[f].left, buf[2 * f]);
    EXPECT_EQ(got[f].right, buf[2 * f + 1]);
  }
  EXPECT_DOUBLE_EQ(c.state.position, 0.0);
}

TEST(CaptureCallback, MonoAndSixteenBitConversion) {
  Capture c(48000, 1);
  const std::int16_t buf[] = {-32768, 16384, 1, 32767};
  input_callback_i16(c.state, buf);
  const auto got = c.drain_after(kCaptureTargetFill);
  ASSERT_EQ(got.size(), 4u);
  const float want[] = {-1.0f, 0.5f, 1.0f / 32768.0f, 32767.0f / 32768.0f};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(got[i].left, want[i]);
    EXPECT_EQ(got[i].right, want[i]);
  }
}

// Four- and three-channel buffers: which channels become left and right.
struct PairCase {
  const char* what;
  std::size_t channels;
  std::vector<float> peaks_per_channel;  // one frame's values
  std::size_t start_pair;
  std::size_t want_pair;
};

TEST(CaptureCallback, LoudestPairRule) {
  const PairCase cases[] = {
      {"quiet pair 0, 0.01 on pair 1: switch", 4, {0, 0, 0.01f, 0.01f}, 0, 1},
      {"exactly 0.004 does not switch", 4, {0, 0, 0.004f, 0}, 0, 0},
      {"back to 0 needs more than 2.5 times", 4, {0.15625f, 0, 0.0625f, 0}, 1, 1},
      {"back to 0 above 2.5 times", 4, {0.15626f, 0, 0.0625f, 0}, 1, 0},
      {"equal peaks keep the lower pair", 4, {0.3f, 0, 0, 0.3f}, 0, 0},
      {"equal peaks from pair 1 scan to pair 0 but it is not 2.5x", 4, {0.3f, 0, 0.3f, 0}, 1, 1},
      {"NaN is ignored", 4, {std::numeric_limits<float>::quiet_NaN(), 0, 0.01f, 0}, 0, 1},
      {"three channels: the last pair is channel 3 twice", 3, {0, 0, 0.5f}, 0, 1},
      {"all silent keeps the pair", 4, {0, 0, 0, 0}, 1, 1},
  };
  for (const auto& pc : cases) {
    Capture c(48000, pc.channels);
    c.state.pair_index = pc.start_pair;
    std::vector<float> buf;
    for (int f = 0; f < 8; ++f)
      buf.insert(buf.end(), pc.peaks_per_channel.begin(), pc.peaks_per_channel.end());
    input_callback_f32(c.state, buf);
    EXPECT_EQ(c.state.pair_index, pc.want_pair) << pc.what;
    const auto got = c.drain_after(kCaptureTargetFill);
    ASSERT_EQ(got.size(), 8u) << pc.what;
    const std::size_t l = std::min(2 * pc.want_pair, pc.channels - 1);
    const std::size_t r = std::min(l + 1, pc.channels - 1);
    const float want_l = pc.peaks_per_channel[l], want_r = pc.peaks_per_channel[r];
    if (!std::isnan(want_l)) {
      EXPECT_EQ(got[0].left, want_l) << pc.what;
    }
    EXPECT_EQ(got[0].right, want_r) << pc.what;
  }
}

TEST(CaptureCallback, FullRingLosesItsOldestFramePerAppendedFrame) {
  Capture c(48000, 1, 0);
  {
    auto g = c.ring->lock();
    for (int i = 0; i < 4096; ++i) g->push_back({float(i), float(i)});
  }
  // The fill is far above target, so the step is 1.002: 100 frames append 100.
  std::vector<float> buf(100, -1.0f);
  input_callback_f32(c.state, buf);
  auto g = c.ring->lock();
  EXPECT_EQ(g->size(), 4096u);
  EXPECT_EQ(g->at(0).left, 100.0f);
  EXPECT_EQ(g->at(4095).left, -1.0f);
}

TEST(CaptureCallback, PoisonedRingDropsFramesAndKeepsPosition) {
  Capture c(44100, 2);
  c.state.position = 0.5;
  poison(*c.ring);
  std::vector<float> buf(64, 0.25f);
  input_callback_f32(c.state, buf);
  EXPECT_EQ(c.counter->load(), 1u);
  EXPECT_DOUBLE_EQ(c.state.position, 0.5);
  EXPECT_EQ(c.ring->lock()->size(), kCaptureTargetFill);
}

// Frequency of a sampled tone from its upward zero crossings.
double measured_frequency(const std::vector<float>& x, double rate) {
  std::vector<double> crossings;
  for (std::size_t i = 1; i < x.size(); ++i)
    if (x[i - 1] < 0.0f && x[i] >= 0.0f)
      crossings.push_back(static_cast<double>(i - 1) + static_cast<double>(x[i - 1] / (x[i - 1] - x[i])));
  if (crossings.size() < 2) return 0.0;
  return double(crossings.size() - 1) * rate / (crossings.back() - crossings.front());
}

TEST(CaptureCallback, ResamplingKeepsATonesFrequency) {
  for (std::uint32_t rate : {44100u, 96000u}) {
    Capture c(rate, 1);
    std::vector<float> out;
    const std::size_t block = rate / 100;
    std::uint64_t n = 0;
    for (int cb = 0; cb < 100; ++cb) {  // one second
      std::vector<float> buf(block);
      for (float& s : buf) s = float(0.5 * std::sin(2.0 * std::numbers::pi * 1000.0 * double(n++) / rate));
      input_callback_f32(c.state, buf);
      // The engine keeps the ring at its target.
      auto g = c.ring->lock();
      StereoFrame f;
      while (g->size() > kCaptureTargetFill && g->pop_front(f)) out.push_back(f.left);
    }
    EXPECT_NEAR(static_cast<double>(out.size()), 48000.0, 60.0) << rate;
    EXPECT_NEAR(measured_frequency(out, 48000.0), 1000.0, 1.0) << rate;
  }
}

TEST(PlaybackCallback, StepFollowsTheRingFill) {
  struct Case {
    std::size_t fill;
    double want_step;
  } cases[] = {{1792, 1.0},   {0, 0.998},    {1795, 1.0 + 3.0 / 1792.0},
               {1796, 1.002}, {4000, 1.002}, {1000, 0.998}};
  for (const auto& tc : cases) {
    Playback p(48000, 2, tc.fill);
    float buf[2];
    output_callback_f32(p.state, buf);
    const double step = p.state.position + (tc.want_step >= 1.0 ? 1.0 : 0.0);
    EXPECT_NEAR(step, tc.want_step, 1e-12) << tc.fill;
  }
  Playback slow(44100, 2, 1792);
  EXPECT_DOUBLE_EQ(slow.state.base_step, 48000.0 / 44100.0);
  Playback tiny(4000, 2, 1792);
  EXPECT_DOUBLE_EQ(tiny.state.base_step, 6.0);
}

TEST(PlaybackCallback, DryRingDecaysFromTheLastFrame) {
  Playback p(48000, 1, 0);
  {
    auto g = p.ring->lock();
    g->push_back({1.0f, 1.0f});
  }
  p.state.position = 0.999;  // with the dry ring's step of 0.998 every frame takes one step
  std::vector<float> out(6);
  output_callback_f32(p.state, out);
  // Frame 0 takes the last real frame; then each frame decays it once more.
  EXPECT_FLOAT_EQ(p.state.current.left, std::pow(0.996f, 5.0f));
  EXPECT_FLOAT_EQ(p.state.previous.left, std::pow(0.996f, 4.0f));
  for (std::size_t n = 1; n < out.size(); ++n) {
    EXPECT_LE(out[n], std::pow(0.996f, float(n - 1))) << n;
    EXPECT_GE(out[n], std::pow(0.996f, float(n))) << n;
  }
}

TEST(PlaybackCallback, ChannelLayouts) {
  struct Case {
    bool bus;
    std::size_t channels;
    std::size_t samples;
    std::vector<float> want;
  } cases[] = {
      {false, 4, 4, {0.25f, -0.5f, 0.25f, -0.5f}},
      {true, 4, 4, {0.25f, -0.5f, 0.0f, 0.0f}},
      {false, 3, 3, {0.25f, -0.5f, 0.25f}},
      {false, 1, 1, {0.25f}},
      {true, 1, 1, {0.25f}},
      {false, 2, 3, {0.25f, -0.5f, 0.25f}},  // a shorter last chunk is written as far as it goes
  };
  for (const auto& tc : cases) {
    Playback p(48000, tc.channels, 0);
    p.state.current = {0.25f, -0.5f};  // as if it had been playing this frame
    {
      auto g = p.ring->lock();
      for (int i = 0; i < 1792; ++i) g->push_back({0.25f, -0.5f});
    }
    std::vector<float> buf(tc.samples, 9.0f);
    if (tc.bus)
      bus_output_callback_f32(p.state, buf);
    else
      output_callback_f32(p.state, buf);
    EXPECT_EQ(buf, tc.want) << (tc.bus ? "bus " : "monitor ") << tc.channels;
  }
}

TEST(PlaybackCallback, PoisonedRingLeavesSilence) {
  Playback p(48000, 2, 1792);
  poison(*p.ring);
  std::int16_t buf[4] = {};
  output_callback_i16(p.state, buf);
  bus_output_callback_i16(p.state, buf);
  EXPECT_EQ(p.counter->load(), 2u);
  for (auto s : buf) EXPECT_EQ(s, 0);
}

TEST(PlaybackCallback, SixteenBitConversionEdges) {
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    float in;
    std::int16_t out;
  } cases[] = {{1.5f, 32767},
               {1.0f, 32767},
               {-1.0f, -32767},
               {-7.0f, -32767},
               {0.5f, 16383},
               {-0.5f, -16383},
               {0.0f, 0},
               {1e-6f, 0},
               {inf, 0},
               {-inf, 0},
               {std::numeric_limits<float>::quiet_NaN(), 0}};
  for (const auto& tc : cases) EXPECT_EQ(playback_sample_i16(tc.in), tc.out) << tc.in;

  Playback p(48000, 2, 0);
  {
    auto g = p.ring->lock();
    g->push_back({std::numeric_limits<float>::quiet_NaN(), 0.5f});
    g->fill_to(1792);
  }
  p.state.position = 0.0;
  std::int16_t buf[4] = {};
  output_callback_i16(p.state, buf);
  // The NaN left sample spreads through the interpolation; it is written as 0.
  EXPECT_EQ(buf[2], 0);
  EXPECT_EQ(buf[3], 16383);
}

}  // namespace
}  // namespace melodara
