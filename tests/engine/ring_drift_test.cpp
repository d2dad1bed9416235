// Both rings settle at their targets when the devices' clocks drift against
// the engine's: a microphone and an output on the simulated hardware, the
// engine's 128-frame blocks stepped by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "engine/device_callbacks.h"
#include "platform/sim/sim_hardware.h"

namespace melodara {
namespace {

struct Fill {
  double mean = 0;
  std::size_t min = SIZE_MAX, max = 0;
};

struct DriftRun {
  Fill capture, monitor;
  std::vector<float> sink;
};

DriftRun run_with_drift(double input_ppm, double output_ppm, std::uint32_t input_rate) {
  sim::DeviceSpec mic;
  mic.name = "Mic";
  mic.input_channels = 1;
  mic.sample_rate = input_rate;
  mic.buffer_frames = 512;
  mic.drift_ppm = input_ppm;
  mic.source.kind = sim::SignalSource::Kind::sine;
  mic.source.frequency = 1000.0;
  mic.source.level = 0.5;
  sim::DeviceSpec out;
  out.name = "Out";
  out.output_channels = 2;
  out.buffer_frames = 512;
  out.drift_ppm = output_ppm;
  sim::Config cfg;
  cfg.devices = {mic, out};
  auto hw = sim::Hardware::create(cfg, sim::Clocking::manual);
  auto host = hw->platform().audio;
  const DeviceId mic_id = *hw->find("Mic"), out_id = *hw->find("Out");

  auto capture_ring = std::make_shared<FrameRing>(kCaptureTargetFill);
  auto monitor_ring = std::make_shared<FrameRing>(kPlaybackTargetFill);
  auto capture = make_capture_state(capture_ring, std::make_shared<CallbackCounter>(0), input_rate, 1);
  auto playback = make_playback_state(monitor_ring, std::make_shared<CallbackCounter>(0), 48000, 2);
  auto in = host->build_input_stream(
      mic_id, *host->default_input_config(mic_id),
      InputCallbackF32([&](std::span<const float> b) { input_callback_f32(capture, b); }), {});
  auto outs = host->build_output_stream(
      out_id, *host->default_output_config(out_id),
      OutputCallbackF32([&](std::span<float> b) { output_callback_f32(playback, b); }), {});
  EXPECT_TRUE(in && outs);
  EXPECT_TRUE((*in)->play() && (*outs)->play());

  DriftRun r;
  const int blocks = 375 * 30;  // thirty seconds
  int counted = 0;
  for (int b = 0; b < blocks; ++b) {
    hw->advance(128);
    StereoFrame block[128];
    std::size_t cap_fill, mon_fill;
    {
      auto g = capture_ring->lock();
      for (auto& f : block)
        if (!g->pop_front(f)) f = {};
      cap_fill = g->size();
    }
    {
      auto g = monitor_ring->lock();
      for (const auto& f : block) g->push_back_capped(f);
      mon_fill = g->size();
    }
    if (b >= blocks / 2) {  // settled
      ++counted;
      r.capture.mean += double(cap_fill);
      r.capture.min = std::min(r.capture.min, cap_fill);
      r.capture.max = std::max(r.capture.max, cap_fill);
      r.monitor.mean += double(mon_fill);
      r.monitor.min = std::min(r.monitor.min, mon_fill);
      r.monitor.max = std::max(r.monitor.max, mon_fill);
    }
  }
  r.capture.mean /= counted;
  r.monitor.mean /= counted;
  in->reset();
  outs->reset();
  r.sink = hw->sink(out_id);
  return r;
}

TEST(RingDrift, BothRingsSettleAtTheirTargets) {
  for (double ppm : {200.0, -200.0}) {
    const DriftRun r = run_with_drift(ppm, -ppm, 48000);
    // The capture ring swings by one device buffer around its mean.
    EXPECT_NEAR(r.capture.mean, 1536.0, 300.0) << ppm;
    EXPECT_GT(r.capture.min, 512u) << ppm;
    EXPECT_LT(r.capture.max, 2600u) << ppm;
    EXPECT_NEAR(r.monitor.mean, 1792.0, 300.0) << ppm;
    EXPECT_GT(r.monitor.min, 600u) << ppm;
    EXPECT_LT(r.monitor.max, 2900u) << ppm;
  }
}

TEST(RingDrift, ToneSurvivesTheWholePathFromA44kHzMicrophone) {
  const DriftRun r = run_with_drift(150.0, -100.0, 44100);
  // The last ten seconds of the output's left channel.
  std::vector<float> left;
  for (std::size_t i = r.sink.size() - 2 * 480000; i < r.sink.size(); i += 2) left.push_back(r.sink[i]);
  std::vector<double> crossings;
  float peak = 0.0f;
  for (std::size_t i = 1; i < left.size(); ++i) {
    peak = std::max(peak, std::fabs(left[i]));
    if (left[i - 1] < 0.0f && left[i] >= 0.0f)
      crossings.push_back(static_cast<double>(i - 1) +
                          static_cast<double>(left[i - 1] / (left[i - 1] - left[i])));
  }
  ASSERT_GT(crossings.size(), 1000u);
  const double freq = double(crossings.size() - 1) * 48000.0 / (crossings.back() - crossings.front());
  // The tone's pitch moves only by the two clocks' drift (250 ppm).
  EXPECT_NEAR(freq, 1000.25, 0.5);
  EXPECT_NEAR(peak, 0.5f, 0.01f);
  // No dropout: every period keeps its length and its level. (The fill
  // steering wobbles the pitch by up to 0.4 %, and a buffer edge holds the
  // last input frame for one output frame; both move a crossing by well
  // under a sample, while a lost or decayed block moves it by many.)
  for (std::size_t i = 1; i < crossings.size(); ++i) {
    ASSERT_NEAR(crossings[i] - crossings[i - 1], 48.0, 1.0) << i;
    const auto from = static_cast<std::size_t>(crossings[i - 1]) + 1;
    const auto to = static_cast<std::size_t>(crossings[i]);
    float period_peak = 0.0f;
    for (std::size_t k = from; k <= to; ++k) period_peak = std::max(period_peak, std::fabs(left[k]));
    ASSERT_GT(period_peak, 0.48f) << i;
  }
}

}  // namespace
}  // namespace melodara
