// The engine thread end to end on the simulated hardware, on a manual clock:
// the engine's sleeps move the devices' time, so seconds run in milliseconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "engine/engine_thread.h"
#include "engine_test_support.h"

namespace melodara {
namespace {

using test::input_device;
using test::output_device;
using test::rms;

constexpr std::size_t kSecond = 48000;

sim::Config studio(double output_drift_ppm = 0.0) {
  sim::Config cfg;
  auto spk = output_device("MacBook Pro Speakers");
  spk.drift_ppm = output_drift_ppm;
  cfg.devices = {input_device("MacBook Pro Microphone", 1, test::sine(1000, 0.1)), spk,
                 output_device("External Headphones"), output_device("Melodara_Virtual_Bus_48kHz"),
                 input_device("Melodara_Virtual_Mic_48kHz", 2)};
  cfg.default_input = "MacBook Pro Microphone";
  cfg.default_output = "MacBook Pro Speakers";
  return cfg;
}

std::vector<float> sink_of(test::SimEngine& s, const char* name) { return s.hw->sink(*s.hw->find(name)); }

// Amplitude of the 1 kHz tone that the default chain makes of the simulated
// microphone, computed offline with the engine's gains.
float reference_amplitude() {
  VocalDsp dsp = vocal_dsp_new(dsp_params_default());
  std::array<float, 128> mic{}, silence{}, out_l{}, out_r{};
  std::vector<float> out;
  float x_prev = 0.0f, y_prev = 0.0f;
  for (std::size_t b = 0; b < 375 * 2; ++b) {
    for (std::size_t i = 0; i < 128; ++i) {
      const float x = float(0.1 * std::sin(2.0 * M_PI * 1000.0 * double(b * 128 + i) / 48000.0));
      mic[i] = x - x_prev + 0.9975f * y_prev;
      x_prev = x;
      y_prev = mic[i];
    }
    dsp.params.vocal_gain = 1.0f;
    vocal_chain_process(dsp, mic, silence, silence, out_l, out_r);
    for (std::size_t i = 0; i < 128; ++i) {
      out.push_back(out_l[i]);
      out.push_back(out_r[i]);
    }
  }
  return rms(out, out.size() - kSecond, out.size());
}

// Rising zero crossings of the left channel per second.
double crossings_per_second(const std::vector<float>& stereo, std::size_t first_frame, std::size_t frames) {
  std::size_t n = 0;
  for (std::size_t f = first_frame + 1; f < first_frame + frames; ++f)
    n += stereo[2 * (f - 1)] < 0.0f && stereo[2 * f] >= 0.0f;
  return double(n) * 48000.0 / double(frames);
}

TEST(EngineSim, ToneReachesMonitorAndBusAtTheChainsLevel) {
  auto s = test::make_sim_engine(studio(), "MacBook Pro Microphone", "MacBook Pro Speakers");
  engine_open_streams(*s.engine);
  EXPECT_TRUE(s.status().capture_stream && s.status().monitor_stream);
  ASSERT_TRUE(s.status().bus_output);
  EXPECT_EQ(*s.bus_name, "Melodara_Virtual_Bus_48kHz");
  s.run_for(2.0);

  const float want = reference_amplitude();
  ASSERT_GT(want, 0.01f);
  for (const char* dev : {"MacBook Pro Speakers", "Melodara_Virtual_Bus_48kHz"}) {
    const auto out = sink_of(s, dev);
    ASSERT_GT(out.size(), 2 * kSecond) << dev;
    // Level of the chain within 1 dB, at the tone's pitch (the playback
    // resampler may move it by its 0.2 % at most).
    const float got = rms(out, out.size() - kSecond, out.size());
    EXPECT_NEAR(20.0f * std::log10(got / want), 0.0f, 1.0f) << dev;
    EXPECT_NEAR(crossings_per_second(out, out.size() / 2 - kSecond, kSecond), 1000.0, 3.0) << dev;
  }
  auto g = s.state->lock();
  EXPECT_GT(g->primaryUplinkRmsDb, -40.0f);
  EXPECT_GT(g->monitorRmsDb, -40.0f);
  EXPECT_FLOAT_EQ(g->telemetry.latency_ms, 2.95f);
}

TEST(EngineSim, Produces48000FramesASecondAlsoWithOutputDrift) {
  for (double drift : {0.0, 500.0}) {
    auto s = test::make_sim_engine(studio(drift), "MacBook Pro Microphone", "MacBook Pro Speakers");
    engine_open_streams(*s.engine);
    s.run_for(1.0);  // settle
    const std::uint64_t blocks = s.run_for(20.0);
    EXPECT_NEAR(double(blocks * 128) / 20.0, 48000.0, 48000.0 * 0.002) << drift;
    // No dropout on the monitor: every 10 ms of the last second carries the tone.
    const auto out = sink_of(s, "MacBook Pro Speakers");
    for (std::size_t w = out.size() / 2 - kSecond; w + 480 <= out.size() / 2; w += 480)
      ASSERT_GT(rms(out, 2 * w, 2 * (w + 480)), 0.01f) << drift << " at frame " << w;
  }
}

TEST(EngineSim, ReconfiguredOutputReopensAtOnceWithoutTheRecoveryWait) {
  auto s = test::make_sim_engine(studio(), "MacBook Pro Microphone", "MacBook Pro Speakers");
  engine_open_streams(*s.engine);
  s.run_for(0.5);
  {
    auto g = s.state->lock();
    g->outputDeviceId = "External Headphones";
    ++g->deviceRevision;
  }
  EXPECT_EQ(engine_run_block(*s.engine), BlockOutcome::device_change);
  const std::int64_t t0 = s.clock->now_ns;
  engine_restart(*s.engine, BlockOutcome::device_change);
  engine_open_streams(*s.engine);
  EXPECT_LT(s.clock->now_ns - t0, 100'000'000);  // only the 55 ms of the start
  EXPECT_EQ(s.status().output_name, "External Headphones");
  s.run_for(1.0);
  const auto out = sink_of(s, "External Headphones");
  EXPECT_GT(rms(out, out.size() - kSecond / 2, out.size()), 0.01f);
}

TEST(EngineSim, StalledUsbOutputIsResetAndReopenedAfter900ms) {
  sim::Config cfg = studio();
  auto usb = output_device("Scarlett 2i2 USB");
  usb.transport = sim::Transport::usb;
  usb.usb_name = "Scarlett 2i2";
  cfg.devices.push_back(usb);
  cfg.usb_registry = {"USB2.0 Hub", "Default", "Flash Disk"};
  auto s = test::make_sim_engine(cfg, "MacBook Pro Microphone", "Scarlett 2i2 USB");
  engine_open_streams(*s.engine);
  s.run_for(0.5);
  s.hw->set_stalled(*s.hw->find("Scarlett 2i2 USB"), true);

  BlockOutcome outcome = BlockOutcome::next;
  for (int i = 0; i < 375 * 6 && outcome == BlockOutcome::next; ++i) {
    outcome = s.step();
    if (outcome == BlockOutcome::next) engine_pace(*s.engine);
  }
  ASSERT_EQ(outcome, BlockOutcome::stalled_streams);
  const std::int64_t t0 = s.clock->now_ns;
  engine_restart(*s.engine, outcome);
  EXPECT_EQ(s.hw->usb_resets("Scarlett 2i2"), 1u);
  EXPECT_EQ(s.hw->usb_resets("Flash Disk") + s.hw->usb_resets("Default") + s.hw->usb_resets("USB2.0 Hub"),
            0u);
  EXPECT_GE(s.clock->now_ns - t0, 900'000'000);
  engine_open_streams(*s.engine);
  s.run_for(1.0);
  const auto out = sink_of(s, "Scarlett 2i2 USB");
  EXPECT_GT(rms(out, out.size() - kSecond / 2, out.size()), 0.01f);
}

TEST(EngineSim, RemovedOutputComesBackOnTheNextDevice) {
  sim::Config cfg = studio();
  cfg.devices.push_back(output_device("Focusrite Interface"));
  auto s = test::make_sim_engine(cfg, "MacBook Pro Microphone", "Focusrite Interface");
  engine_open_streams(*s.engine);
  s.run_for(0.5);
  s.hw->remove_device(*s.hw->find("Focusrite Interface"));
  // The system picks a new default when its default goes away (the simulation
  // leaves that to us).
  (void)s.hw->platform().system->set_default_output_device(*s.hw->find("MacBook Pro Speakers"));
  s.hw->clear_sink(*s.hw->find("MacBook Pro Speakers"));
  s.run_for(5.0);
  EXPECT_EQ(s.status().opens, 2u);
  EXPECT_EQ(s.status().output_name, "MacBook Pro Speakers");
  const auto out = sink_of(s, "MacBook Pro Speakers");
  EXPECT_GT(rms(out, out.size() - kSecond / 2, out.size()), 0.01f);
}

TEST(EngineSim, StreamsOpenOnceAnEnumerationStallIsOver) {
  auto s = test::make_sim_engine(studio(), "MacBook Pro Microphone", "MacBook Pro Speakers");
  *s.stalled = true;
  engine_open_streams(*s.engine);
  EXPECT_FALSE(s.status().capture_stream || s.status().monitor_stream);
  s.run_for(1.5);
  EXPECT_EQ(s.status().opens, 1u);  // still stalled: no reopen
  *s.stalled = false;
  s.run_for(1.5);
  EXPECT_EQ(s.status().opens, 2u);
  EXPECT_TRUE(s.status().capture_stream && s.status().monitor_stream);
}

TEST(EngineSim, CaptureWithoutMonitorPacesOnTheClock) {
  sim::Config cfg;
  cfg.devices = {input_device("MacBook Pro Microphone", 1, test::sine(1000, 0.1))};
  auto s = test::make_sim_engine(cfg, "MacBook Pro Microphone", "");
  engine_open_streams(*s.engine);
  ASSERT_TRUE(s.status().capture_stream);
  ASSERT_FALSE(s.status().monitor_stream);
  EXPECT_EQ(s.run_for(4.0), 1500u);  // exactly 375 a second: no steering by an unread ring
  EXPECT_EQ(s.status().monitor_ring->lock()->size(), 1792u);
}

TEST(EngineSim, StateLockHeldForASecondDoesNotStopTheMonitor) {
  auto s = test::make_sim_engine(studio(), "MacBook Pro Microphone", "MacBook Pro Speakers");
  auto track = std::make_shared<std::vector<float>>(2 * 10 * kSecond, 0.25f);
  {
    auto g = s.state->lock();
    g->player.samples = track;
    g->player.playing = true;
  }
  engine_open_streams(*s.engine);
  s.run_for(0.5);
  const std::uint64_t before = s.state->lock()->player.position;

  std::atomic<int> phase{0};
  std::thread holder([&] {
    auto g = s.state->lock();
    phase = 1;
    while (phase != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (phase != 1) std::this_thread::yield();
  s.hw->clear_sink(*s.hw->find("MacBook Pro Speakers"));
  const std::uint64_t held_blocks = s.run_for(1.0);
  EXPECT_GT(s.status().pending_advance, 0u);
  phase = 2;
  holder.join();

  const auto out = sink_of(s, "MacBook Pro Speakers");
  ASSERT_GE(out.size(), 2 * (kSecond - 4800));
  for (std::size_t w = 0; w + 480 <= out.size() / 2; w += 480)
    ASSERT_GT(rms(out, 2 * w, 2 * (w + 480)), 0.01f) << "silent at frame " << w;
  // The next copy adds the whole advance played meanwhile.
  s.run_blocks(1);
  EXPECT_EQ(s.state->lock()->player.position, before + (held_blocks + 1) * 128);
}

TEST(EngineSim, OpenStoresResolvedIdsAndTheCameraMicrophoneFlags) {
  struct Case {
    const char* output;
    std::optional<bool> choice;
    bool risk, monitor;
  } cases[] = {{"MacBook Pro Speakers", std::nullopt, true, false},
               {"AirPods Pro", std::nullopt, false, true},
               {"MacBook Pro Speakers", true, true, true}};  // the host's choice stands
  for (const auto& c : cases) {
    sim::Config cfg;
    cfg.devices = {input_device("Logitech C920 Webcam", 2), output_device("MacBook Pro Speakers"),
                   output_device("AirPods Pro")};
    auto s = test::make_sim_engine(cfg, "default", c.output);
    {
      auto g = s.state->lock();
      g->monitorChoice = c.choice;
      if (c.choice) g->monitorEnabled = *c.choice;
    }
    engine_open_streams(*s.engine);
    auto g = s.state->lock();
    EXPECT_EQ(g->inputDeviceId, "Logitech C920 Webcam");
    EXPECT_EQ(g->outputDeviceId, c.output);
    EXPECT_EQ(g->acousticFeedbackRisk, c.risk) << c.output;
    EXPECT_TRUE(g->antiHowlActive);
    EXPECT_EQ(g->monitorEnabled, c.monitor) << c.output;
    EXPECT_TRUE(s.status().webcam_input);
    EXPECT_FLOAT_EQ(s.status().gate_floor, 0.58f);
  }
}

TEST(EngineSim, PoisonedStateRunsOnTheLastCopies) {
  auto s = test::make_sim_engine(studio(), "MacBook Pro Microphone", "MacBook Pro Speakers");
  engine_open_streams(*s.engine);
  s.run_for(0.3);
  try {
    auto g = s.state->lock();
    throw std::runtime_error("handler failed");
  } catch (const std::runtime_error&) {}
  ASSERT_TRUE(s.state->is_poisoned());
  engine_restart(*s.engine, BlockOutcome::device_change);
  engine_open_streams(*s.engine);  // the blocking lock is released at once
  s.hw->clear_sink(*s.hw->find("MacBook Pro Speakers"));
  s.run_for(1.0);
  const auto out = sink_of(s, "MacBook Pro Speakers");
  EXPECT_GT(rms(out, out.size() / 2, out.size()), 0.01f);
}

TEST(EngineSim, RawMicFromOneInputChannelReachesBothPrimaryChannels) {
  sim::Config cfg;
  auto right_only = test::sine(1000, 0.2);
  right_only.channels = {1};
  cfg.devices = {input_device("Scarlett 2i2 USB", 2, right_only), output_device("MacBook Pro Speakers")};
  auto s = test::make_sim_engine(cfg, "Scarlett 2i2 USB", "MacBook Pro Speakers");
  s.state->lock()->routingMode = "raw-mic";
  engine_open_streams(*s.engine);
  s.run_for(0.5);
  const BlockSignals& e = s.signals();
  EXPECT_EQ(s.status().mode, RoutingMode::RawMic);
  float peak = 0.0f;
  for (int b = 0; b < 40; ++b) {
    s.run_blocks(1);
    for (std::size_t i = 0; i < kEngineBlock; ++i) {
      ASSERT_EQ(e.primary[i].left, e.primary[i].right) << "block " << b << " frame " << i;
      ASSERT_EQ(e.bus[i].left, e.primary[i].left);
      peak = std::max(peak, std::fabs(e.primary[i].left));
    }
  }
  EXPECT_NEAR(peak, 0.2f, 0.01f);  // the right channel at its own level, not halved
}

TEST(EngineSim, GainsAtTwoWithFullScaleInputStayUnderTheClipBound) {
  sim::Config cfg = studio();
  cfg.devices[0] = input_device("MacBook Pro Microphone", 2, test::sine(1000, 1.0));
  auto s = test::make_sim_engine(cfg, "MacBook Pro Microphone", "MacBook Pro Speakers");
  auto track = std::make_shared<std::vector<float>>(2 * 20 * kSecond);
  for (std::size_t i = 0; i < track->size(); ++i)
    (*track)[i] = (i / 2 / 24) % 2 ? 1.0f : -1.0f;  // 1 kHz square
  {
    auto g = s.state->lock();
    g->micGain = g->musicGain = g->masterGain = g->monitorGain = 2.0f;
    g->dsp.params.vocal_gain = g->dsp.params.beat_volume = 2.0f;
    g->player.samples = track;
    g->player.playing = true;
  }
  engine_open_streams(*s.engine);
  const BlockSignals& e = s.signals();
  float worst = 0.0f;
  for (const char* mode : {"program", "vocal", "raw-mic", "daw-vocal"})
    for (bool monitor : {true, false}) {
      {
        auto g = s.state->lock();
        g->routingMode = mode;
        g->monitorEnabled = monitor;
      }
      for (int b = 0; b < 75; ++b) {
        s.run_blocks(1);
        for (const auto* feed :
             {&e.primary, &e.backing, &e.monitor, &e.bus, &e.rec_mix, &e.rec_vocal, &e.rec_dry_mic})
          for (const StereoFrame& f : *feed) {
            worst = std::max({worst, std::fabs(f.left), std::fabs(f.right)});
            ASSERT_LT(std::fabs(f.left), 0.985f) << mode << " monitor " << monitor;
            ASSERT_LT(std::fabs(f.right), 0.985f) << mode << " monitor " << monitor;
          }
      }
    }
  EXPECT_GT(worst, 0.95f);  // the clip was driven
  for (const char* dev : {"MacBook Pro Speakers", "Melodara_Virtual_Bus_48kHz"}) {
    const auto out = sink_of(s, dev);
    ASSERT_FALSE(out.empty()) << dev;
    for (float x : out) ASSERT_LT(std::fabs(x), 0.985f) << dev;
  }
}

TEST(EngineSim, PlayingTrackAdvancesAtRateAndStopsAtItsEnd) {
  sim::Config cfg;
  auto s = test::make_sim_engine(cfg, "", "");
  const std::uint64_t frames = kSecond + 100;  // does not end on a block boundary
  {
    auto g = s.state->lock();
    g->player.samples = std::make_shared<std::vector<float>>(2 * frames, 0.1f);
    g->player.playing = true;
  }
  engine_open_streams(*s.engine);
  s.run_blocks(375 / 2);
  EXPECT_EQ(s.state->lock()->player.position, 187u * 128);
  s.run_for(1.0);
  auto g = s.state->lock();
  EXPECT_FALSE(g->player.playing);
  EXPECT_EQ(g->player.position, frames);
}

}  // namespace
}  // namespace melodara
