// Resolving the engine's device ids and opening its streams.
#include "engine/engine_streams.h"

#include <gtest/gtest.h>

#include "engine/device_callbacks.h"
#include "engine_test_support.h"

namespace melodara {
namespace {

using test::input_device;
using test::output_device;

std::size_t fill(FrameRing& ring) { return ring.lock()->size(); }

std::shared_ptr<sim::Hardware> studio(std::vector<sim::DeviceSpec> extra = {}) {
  sim::Config cfg;
  cfg.devices = {input_device("Built-in Microphone"),
                 input_device("My default mic thing"),
                 input_device("USB Audio CODEC", 2),
                 input_device("USB", 2),
                 input_device("Melodara_Virtual_Mic_48kHz", 2),
                 input_device(""),
                 output_device("MacBook Pro Speakers"),
                 output_device("External Headphones"),
                 output_device("Melodara_Virtual_Bus_48kHz")};
  for (auto& d : extra) cfg.devices.push_back(d);
  cfg.default_input = "Built-in Microphone";
  cfg.default_output = "MacBook Pro Speakers";
  return sim::Hardware::create(cfg, sim::Clocking::manual);
}

std::string name_or_none(const std::optional<ResolvedDevice>& d) {
  return d ? (d->loopback ? "loopback:" : "") + d->name : "<none>";
}

TEST(EngineStreams, ResolvesIdsByNameContainmentAndDefault) {
  auto hw = studio();
  auto system = hw->platform().system;
  struct Case {
    const char* input;
    const char* output;
    const char* want_in;
    const char* want_out;
  } cases[] = {
      {"default", "default", "Built-in Microphone", "MacBook Pro Speakers"},  // no containment for "default"
      {"", "", "Built-in Microphone", "MacBook Pro Speakers"},
      {"usb audio codec", "external headphones", "USB Audio CODEC", "External Headphones"},
      // Containment either way; an earlier containment match beats a later exact one.
      {"USB", "Headphones", "USB Audio CODEC", "External Headphones"},
      {"Built-in Microphone (2)", "MacBook Pro Speakers 2", "Built-in Microphone", "MacBook Pro Speakers"},
      // The service's own devices are never chosen.
      {"Melodara_Virtual_Mic_48kHz", "Melodara_Virtual_Bus_48kHz", "Built-in Microphone",
       "MacBook Pro Speakers"},
      // A device with an empty name matches nothing (it is contained in every id).
      {"Scarlett 2i2", "Nowhere", "Built-in Microphone", "MacBook Pro Speakers"},
      // Capture of an output device.
      {"loopback:MacBook Pro Speakers", "External Headphones", "loopback:MacBook Pro Speakers",
       "External Headphones"},
      {"loopback:macbook pro speakers", "MacBook Pro Speakers", "<none>", "MacBook Pro Speakers"},
      // "default" resolves to the same device: still the monitor output, never captured.
      {"loopback:MacBook Pro Speakers", "default", "<none>", "MacBook Pro Speakers"},
      {"loopback:No Such Output", "default", "<none>", "MacBook Pro Speakers"},  // no fallback
      {"loopback:Melodara_Virtual_Bus_48kHz", "default", "<none>", "MacBook Pro Speakers"},
  };
  for (const auto& c : cases) {
    const ResolvedDevices r = resolve_engine_devices(*system, c.input, c.output);
    EXPECT_EQ(name_or_none(r.input), c.want_in) << c.input;
    EXPECT_EQ(name_or_none(r.output), c.want_out) << c.output;
  }
}

TEST(EngineStreams, LiteralDefaultNameAndOwnSystemDefault) {
  sim::Config cfg;
  cfg.devices = {input_device("Melodara_Virtual_Mic_48kHz", 2), input_device("Default"),
                 input_device("Webcam Mic"), output_device("Speakers")};
  cfg.default_input = "Melodara_Virtual_Mic_48kHz";
  auto hw = sim::Hardware::create(cfg, sim::Clocking::manual);
  auto system = hw->platform().system;
  EXPECT_EQ(name_or_none(resolve_engine_devices(*system, "default", "").input), "Default");
  // Our own microphone as the system default: the first other input instead.
  EXPECT_EQ(name_or_none(resolve_engine_devices(*system, "Nothing", "").input), "Default");
}

TEST(EngineStreams, StalledEnumerationTouchesNoDevice) {
  auto hw = studio();
  int reads = 0, sleeps = 0;
  hw->set_enumeration_hook([&] { ++reads; });
  EngineStreams s = open_engine_streams(hw->platform(), true, "default", "default",
                                        [&](std::chrono::nanoseconds) { ++sleeps; });
  EXPECT_EQ(reads, 0);
  EXPECT_EQ(sleeps, 0);
  EXPECT_FALSE(s.capture_stream);
  EXPECT_FALSE(s.monitor_stream);
  EXPECT_EQ(fill(*s.capture_ring), 1024u);
  EXPECT_EQ(fill(*s.monitor_ring), 1536u);
  EXPECT_EQ(s.capture_counter->load(), 0u);
  EXPECT_EQ(s.playback_counter->load(), 0u);
}

TEST(EngineStreams, FormatsAndRingTopUp) {
  struct Case {
    SampleFormat in, out;
    bool want_in, want_out;
  } cases[] = {{SampleFormat::f32, SampleFormat::f32, true, true},
               {SampleFormat::i16, SampleFormat::i16, true, true},
               {SampleFormat::other, SampleFormat::i16, false, true},
               {SampleFormat::f32, SampleFormat::other, true, false}};
  for (const auto& c : cases) {
    auto mic = input_device("Mic", 2, test::sine(440, 0.3));
    mic.format = c.in;
    auto spk = output_device("Speakers");
    spk.format = c.out;
    sim::Config cfg;
    cfg.devices = {mic, spk};
    auto hw = sim::Hardware::create(cfg, sim::Clocking::manual);
    std::int64_t slept = 0;
    // No time passes: the rings keep their start fill and are topped up.
    EngineStreams s = open_engine_streams(hw->platform(), false, "Mic", "Speakers",
                                          [&](std::chrono::nanoseconds d) { slept += d.count(); });
    EXPECT_EQ(slept, 55'000'000);
    EXPECT_EQ(bool(s.capture_stream), c.want_in);
    EXPECT_EQ(bool(s.monitor_stream), c.want_out);
    EXPECT_EQ(hw->running_streams(), std::size_t(c.want_in) + std::size_t(c.want_out));
    EXPECT_EQ(fill(*s.capture_ring), kCaptureTargetFill);
    EXPECT_EQ(fill(*s.monitor_ring), kPlaybackTargetFill);
  }
}

TEST(EngineStreams, CallbacksRunDuringTheStartSleepsAndTopUpRefillsTheMonitorRing) {
  sim::Config cfg;
  cfg.devices = {input_device("Mic", 1, test::sine(440, 0.3)), output_device("Speakers")};
  auto hw = sim::Hardware::create(cfg, sim::Clocking::manual);
  std::uint64_t advanced = 0;
  EngineStreams s =
      open_engine_streams(hw->platform(), false, "Mic", "Speakers", [&](std::chrono::nanoseconds d) {
        const auto frames = std::uint64_t(d.count() * 48 / 1'000'000);
        hw->advance(frames);
        advanced += frames;
      });
  EXPECT_EQ(advanced, 2640u);
  EXPECT_GT(s.capture_counter->load(), 0u);
  EXPECT_GT(s.playback_counter->load(), 0u);
  // The output drained its 1,536 frames in 20 ms of play; the top-up refills to 1,792.
  EXPECT_EQ(fill(*s.monitor_ring), kPlaybackTargetFill);
  EXPECT_GT(fill(*s.capture_ring), kCaptureTargetFill);
}

TEST(EngineStreams, LoopbackOfAnOutputWithoutInputsHearsItsMix) {
  sim::Config cfg;
  cfg.devices = {output_device("Speakers"), output_device("Headphones")};
  auto hw = sim::Hardware::create(cfg, sim::Clocking::manual);
  auto system = hw->platform().system;
  EngineStreams s = open_engine_streams(hw->platform(), false, "loopback:Speakers", "Headphones",
                                        [](std::chrono::nanoseconds) {});
  ASSERT_TRUE(s.capture_stream);
  EXPECT_EQ(s.input_name, "loopback:Speakers");
  EXPECT_EQ(s.output_name, "Headphones");
}

}  // namespace
}  // namespace melodara
