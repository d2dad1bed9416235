// The simulated hardware: pacing, sinks, sources, captures, removal, and the
// system object and USB registry views.
#include "platform/sim/sim_hardware.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numbers>
#include <thread>

#include "platform/sim/sim_virtual_devices.h"
#include "platform/sim/wav_io.h"

namespace melodara::sim {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

DeviceSpec output_device(std::string name, std::uint16_t channels = 2, std::uint32_t buffer = 64,
                         SampleFormat format = SampleFormat::f32) {
  DeviceSpec d;
  d.name = std::move(name);
  d.output_channels = channels;
  d.buffer_frames = buffer;
  d.format = format;
  return d;
}

DeviceSpec input_device(std::string name, std::uint16_t channels = 1, std::uint32_t buffer = 64) {
  DeviceSpec d;
  d.name = std::move(name);
  d.input_channels = channels;
  d.buffer_frames = buffer;
  return d;
}

Config config_of(std::vector<DeviceSpec> devices) {
  Config c;
  c.devices = std::move(devices);
  return c;
}

StreamConfig config_for(AudioHost& host, DeviceId id, bool output) {
  auto c = output ? host.default_output_config(id) : host.default_input_config(id);
  EXPECT_TRUE(c.has_value());
  return c.value_or(StreamConfig{});
}

TEST(SimHardware, RealtimeStreamKeepsTheDevicePace) {
  auto hw = Hardware::create(config_of({input_device("Mic", 2, 128)}), Clocking::realtime);
  auto host = hw->platform().audio;
  const DeviceId id = *hw->find("Mic");
  std::mutex m;
  std::vector<std::pair<SteadyClock::time_point, std::size_t>> calls;
  auto stream = host->build_input_stream(id, config_for(*host, id, false),
                                         InputCallbackF32([&](std::span<const float> buf) {
                                           std::lock_guard lk(m);
                                           calls.emplace_back(SteadyClock::now(), buf.size() / 2);
                                         }),
                                         {});
  ASSERT_TRUE(stream.has_value());
  ASSERT_TRUE((*stream)->play().has_value());
  std::this_thread::sleep_for(600ms);
  stream->reset();
  std::lock_guard lk(m);
  ASSERT_GT(calls.size(), 150u);
  for (const auto& c : calls) ASSERT_EQ(c.second, 128u);
  // Callbacks are due at fixed instants and can only run late, so the pace is
  // read from the earliest of the first and of the last fifty callbacks.
  const double period = 128.0 / 48000.0;
  auto offset = [&](std::size_t i) {
    return std::chrono::duration<double>(calls[i].first - calls[0].first).count() - double(i) * period;
  };
  double head = 1e9, tail = 1e9;
  for (std::size_t i = 0; i < 50; ++i) head = std::min(head, offset(i));
  for (std::size_t i = calls.size() - 50; i < calls.size(); ++i) tail = std::min(tail, offset(i));
  const double seconds = double(calls.size() - 50) * period + (tail - head);
  const double frames = double(calls.size() - 50) * 128.0;
  EXPECT_NEAR(frames / seconds, 48000.0, 48000.0 * 0.005);
}

TEST(SimHardware, DestroyingAStreamJoinsItsCallbacks) {
  auto hw = Hardware::create(config_of({output_device("Out", 2, 32)}), Clocking::realtime);
  auto host = hw->platform().audio;
  const DeviceId id = *hw->find("Out");
  std::atomic<int> inside{0}, calls{0};
  auto stream =
      host->build_output_stream(id, config_for(*host, id, true), OutputCallbackF32([&](std::span<float>) {
                                  inside = 1;
                                  std::this_thread::sleep_for(200us);
                                  ++calls;
                                  inside = 0;
                                }),
                                {});
  ASSERT_TRUE(stream.has_value());
  ASSERT_TRUE((*stream)->play().has_value());
  ASSERT_TRUE((*stream)->play().has_value());  // a second start changes nothing
  while (calls < 5) std::this_thread::sleep_for(1ms);
  stream->reset();
  EXPECT_EQ(inside.load(), 0);
  const int after = calls;
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(calls.load(), after);
  EXPECT_EQ(hw->running_streams(), 0u);
}

TEST(SimHardware, RemovedDeviceFiresTheErrorCallbackAndStops) {
  auto hw =
      Hardware::create(config_of({input_device("USB Mic", 1, 32), output_device("Out")}), Clocking::realtime);
  auto host = hw->platform().audio;
  const DeviceId id = *hw->find("USB Mic");
  std::atomic<int> calls{0}, errors{0};
  auto stream = host->build_input_stream(id, config_for(*host, id, false),
                                         InputCallbackF32([&](std::span<const float>) { ++calls; }),
                                         [&](const PlatformError&) { ++errors; });
  ASSERT_TRUE(stream.has_value());
  ASSERT_TRUE((*stream)->play().has_value());
  while (calls < 3) std::this_thread::sleep_for(1ms);
  hw->remove_device(id);
  const int after = calls;
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(calls.load(), after);
  EXPECT_EQ(errors.load(), 1);
  EXPECT_FALSE((*stream)->play().has_value());
  auto system = hw->platform().system;
  auto ids = system->devices();
  ASSERT_TRUE(ids.has_value());
  EXPECT_EQ(ids->size(), 1u);
  EXPECT_FALSE(system->device_name(id).has_value());
  EXPECT_FALSE(system->has_streams(id, AudioScope::input));
  EXPECT_FALSE(host->build_input_stream(id, StreamConfig{48000, 1, SampleFormat::f32, 32},
                                        InputCallbackF32([](std::span<const float>) {}), {})
                   .has_value());
}

TEST(SimHardware, SinkReceivesExactlyWhatWasPlayed) {
  auto hw = Hardware::create(config_of({output_device("Out", 2, 64)}), Clocking::manual);
  auto host = hw->platform().audio;
  const DeviceId id = *hw->find("Out");
  float next = 0.0f;
  auto stream =
      host->build_output_stream(id, config_for(*host, id, true), OutputCallbackF32([&](std::span<float> buf) {
                                  for (float s : buf) EXPECT_EQ(s, 0.0f);  // arrives zeroed
                                  for (float& s : buf) s = (next += 1.0f);
                                }),
                                {});
  ASSERT_TRUE(stream.has_value());
  ASSERT_TRUE((*stream)->play().has_value());
  hw->advance(640);  // ten buffers
  const auto sink = hw->sink(id);
  ASSERT_EQ(sink.size(), 640u * 2);
  for (std::size_t i = 0; i < sink.size(); ++i) ASSERT_EQ(sink[i], float(i + 1)) << i;
}

TEST(SimHardware, StreamsOnOneOutputAreMixedAndSixteenBitIsScaled) {
  auto hw = Hardware::create(config_of({output_device("Out", 1, 48, SampleFormat::i16)}), Clocking::manual);
  auto host = hw->platform().audio;
  const DeviceId id = *hw->find("Out");
  const auto cfg = config_for(*host, id, true);
  auto a = host->build_output_stream(
      id, cfg,
      OutputCallbackI16([](std::span<std::int16_t> out) { std::fill(out.begin(), out.end(), 8192); }), {});
  auto b = host->build_output_stream(
      id, cfg,
      OutputCallbackI16([](std::span<std::int16_t> out) { std::fill(out.begin(), out.end(), -4096); }), {});
  ASSERT_TRUE(a && b);
  ASSERT_TRUE((*a)->play() && (*b)->play());
  hw->advance(480);
  a->reset();
  b->reset();
  const auto sink = hw->sink(id);
  ASSERT_EQ(sink.size(), 480u);
  for (float s : sink) ASSERT_FLOAT_EQ(s, 0.125f);
}

TEST(SimHardware, DriftChangesTheCallbackRate) {
  DeviceSpec fast = input_device("Fast", 1, 100);
  fast.drift_ppm = 1000.0;
  auto hw = Hardware::create(config_of({fast}), Clocking::manual);
  auto host = hw->platform().audio;
  const DeviceId id = *hw->find("Fast");
  std::size_t frames = 0;
  auto s =
      host->build_input_stream(id, config_for(*host, id, false),
                               InputCallbackF32([&](std::span<const float> b) { frames += b.size(); }), {});
  ASSERT_TRUE(s && (*s)->play());
  hw->advance(480000);         // ten seconds
  EXPECT_EQ(frames, 480400u);  // 480,480 due, whole buffers of 100
}

TEST(SimHardware, InputSourcesAndSampleFormats) {
  DeviceSpec mic = input_device("Mic", 2, 480);
  mic.source.kind = SignalSource::Kind::sine;
  mic.source.frequency = 1000.0;
  mic.source.level = 0.5;
  mic.source.channels = {1};
  mic.format = SampleFormat::i16;
  auto hw = Hardware::create(config_of({mic}), Clocking::manual);
  auto host = hw->platform().audio;
  const DeviceId id = *hw->find("Mic");
  std::vector<std::int16_t> got;
  auto s = host->build_input_stream(
      id, config_for(*host, id, false),
      InputCallbackI16([&](std::span<const std::int16_t> b) { got.insert(got.end(), b.begin(), b.end()); }),
      {});
  ASSERT_TRUE(s && (*s)->play());
  hw->advance(480);
  ASSERT_EQ(got.size(), 960u);
  for (std::size_t f = 0; f < 480; ++f) {
    EXPECT_EQ(got[2 * f], 0);
    const double want =
        0.5 * std::sin(2.0 * std::numbers::pi * 1000.0 * static_cast<double>(f) / 48000.0) * 32768.0;
    EXPECT_NEAR(got[2 * f + 1], want, 1.0);
  }
  // A callback of the wrong sample format and an unsupported format are refused.
  EXPECT_FALSE(host->build_input_stream(id, config_for(*host, id, false),
                                        InputCallbackF32([](std::span<const float>) {}), {}));
  StreamConfig odd = config_for(*host, id, false);
  odd.format = SampleFormat::other;
  EXPECT_FALSE(host->build_input_stream(id, odd, InputCallbackF32([](std::span<const float>) {}), {}));
}

TEST(SimHardware, RaggedBuffersCarryAStraySample) {
  DeviceSpec mic = input_device("Mic", 2, 64);
  mic.ragged_buffers = true;
  auto hw = Hardware::create(config_of({mic}), Clocking::manual);
  auto host = hw->platform().audio;
  const DeviceId id = *hw->find("Mic");
  std::vector<std::size_t> sizes;
  auto s = host->build_input_stream(
      id, config_for(*host, id, false),
      InputCallbackF32([&](std::span<const float> b) { sizes.push_back(b.size()); }), {});
  ASSERT_TRUE(s && (*s)->play());
  hw->advance(128);
  EXPECT_EQ(sizes, (std::vector<std::size_t>{129, 129}));
}

TEST(SimHardware, WavSourceLoopsAndCapturesHearTheMix) {
  const auto dir = std::filesystem::temp_directory_path() / ("mld_sim_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  {
    WavSinkFile w;
    ASSERT_TRUE(w.open((dir / "src.wav").string(), 48000, 1));
    const float data[] = {0.1f, 0.2f, 0.3f};
    w.append(data);
  }
  DeviceSpec mic = input_device("Mic", 1, 8);
  mic.source.kind = SignalSource::Kind::wav;
  mic.source.level = 1.0;
  mic.source.path = (dir / "src.wav").string();
  DeviceSpec bus = output_device("Bus", 2, 8);
  DeviceSpec vmic = input_device("VMic", 2, 8);
  vmic.source.kind = SignalSource::Kind::output;
  vmic.source.device = "Bus";
  Config cfg = config_of({mic, bus, vmic});
  cfg.sink_dir = dir.string();
  auto hw = Hardware::create(cfg, Clocking::manual);
  auto host = hw->platform().audio;
  const DeviceId mic_id = *hw->find("Mic"), bus_id = *hw->find("Bus"), vmic_id = *hw->find("VMic");

  std::vector<float> heard, looped, captured;
  auto in = host->build_input_stream(
      mic_id, config_for(*host, mic_id, false),
      InputCallbackF32([&](std::span<const float> b) { heard.insert(heard.end(), b.begin(), b.end()); }), {});
  float next = 0.0f;
  auto out = host->build_output_stream(bus_id, config_for(*host, bus_id, true),
                                       OutputCallbackF32([&](std::span<float> b) {
                                         for (float& s : b) s = (next += 1.0f);
                                       }),
                                       {});
  auto tap = host->build_output_capture_stream(bus_id, config_for(*host, bus_id, true),
                                               InputCallbackF32([&](std::span<const float> b) {
                                                 captured.insert(captured.end(), b.begin(), b.end());
                                               }),
                                               {});
  auto virt = host->build_input_stream(
      vmic_id, config_for(*host, vmic_id, false),
      InputCallbackF32([&](std::span<const float> b) { looped.insert(looped.end(), b.begin(), b.end()); }),
      {});
  ASSERT_TRUE(in && out && tap && virt);
  ASSERT_TRUE((*in)->play() && (*out)->play() && (*tap)->play() && (*virt)->play());
  hw->advance(64);
  ASSERT_EQ(heard.size(), 64u);
  for (std::size_t i = 0; i < heard.size(); ++i) EXPECT_FLOAT_EQ(heard[i], 0.1f * float(i % 3 + 1));
  // Both the process tap and the virtual microphone hear the bus, one buffer late.
  std::vector<float> played;
  for (int i = 1; i <= 112; ++i) played.push_back(float(i));
  ASSERT_EQ(captured.size(), 128u);
  ASSERT_EQ(looped.size(), 128u);
  EXPECT_TRUE(std::equal(played.begin(), played.end(), captured.begin() + 16));
  EXPECT_TRUE(std::equal(played.begin(), played.end(), looped.begin() + 16));
  out->reset();
  auto file = read_wav((dir / "Bus.wav").string());
  ASSERT_TRUE(file.has_value()) << file.error();
  EXPECT_EQ(file->channels, 2);
  EXPECT_EQ(file->samples, hw->sink(bus_id));
  std::filesystem::remove_all(dir);
}

TEST(SimHardware, SystemObjectDefaultsAndUsbRegistry) {
  DeviceSpec usb = input_device("Scarlett 2i2 USB", 2);
  usb.output_channels = 2;
  usb.transport = Transport::usb;
  DeviceSpec hidden = output_device("Secret");
  hidden.name_readable = false;
  Config cfg =
      config_of({input_device("Built-in Microphone"), output_device("Built-in Output"), usb, hidden});
  cfg.default_output = "Built-in Output";
  cfg.usb_registry = {"USB2.0 Hub"};
  auto hw = Hardware::create(cfg, Clocking::manual);
  auto p = hw->platform();
  const DeviceId usb_id = *hw->find("Scarlett 2i2 USB"), hidden_id = *hw->find("Secret");

  EXPECT_EQ(p.system->default_output_device().value(), *hw->find("Built-in Output"));
  EXPECT_EQ(p.system->default_system_output_device().value(), *hw->find("Built-in Output"));
  EXPECT_EQ(p.system->default_input_device().value(), *hw->find("Built-in Microphone"));
  ASSERT_TRUE(p.system->set_default_output_device(usb_id));
  EXPECT_EQ(p.system->default_output_device().value(), usb_id);
  EXPECT_FALSE(p.system->set_default_input_device(hidden_id));  // no input streams
  EXPECT_FALSE(p.system->has_streams(hidden_id, AudioScope::input));
  EXPECT_TRUE(p.system->has_streams(hidden_id, AudioScope::output));
  EXPECT_FALSE(p.system->device_name(hidden_id).has_value());

  auto entries = p.usb->matching_services("IOUSBHostDevice");
  ASSERT_TRUE(entries.has_value());
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[0].name, "USB2.0 Hub");
  EXPECT_EQ((*entries)[1].name, "Scarlett 2i2 USB");
  ASSERT_TRUE(p.usb->reset_device((*entries)[1].service));
  EXPECT_EQ(hw->usb_resets("Scarlett 2i2 USB"), 1u);
  EXPECT_FALSE(p.usb->reset_device(12345));
  EXPECT_TRUE(p.usb->matching_services("IOUSBDevice")->empty());
}

TEST(SimHardware, StalledDeviceRunsNoCallbacksUntilItsUsbReset) {
  DeviceSpec usb = input_device("USB Audio CODEC", 1, 48);
  usb.transport = Transport::usb;
  auto hw = Hardware::create(config_of({usb}), Clocking::manual);
  auto p = hw->platform();
  const DeviceId id = *hw->find("USB Audio CODEC");
  int calls = 0;
  auto s = p.audio->build_input_stream(id, config_for(*p.audio, id, false),
                                       InputCallbackF32([&](std::span<const float>) { ++calls; }), {});
  ASSERT_TRUE(s && (*s)->play());
  hw->advance(480);
  EXPECT_EQ(calls, 10);
  hw->set_stalled(id, true);
  hw->advance(480);
  EXPECT_EQ(calls, 10);
  auto entries = p.usb->matching_services("IOUSBHostDevice");
  ASSERT_TRUE(entries && entries->size() == 1);
  ASSERT_TRUE(p.usb->reset_device(entries->front().service));
  hw->advance(480);
  EXPECT_EQ(calls, 20);
}

TEST(SimHardware, BusOutputUnitPlaysIntoTheDevice) {
  auto hw = Hardware::create(config_of({output_device("Bus", 2, 16, SampleFormat::i16)}), Clocking::manual);
  auto units = hw->platform().units;
  const DeviceId id = *hw->find("Bus");
  auto fmt = units->device_format(id);
  ASSERT_TRUE(fmt.has_value());
  EXPECT_EQ(fmt->format, SampleFormat::i16);
  EXPECT_FALSE(units->open_output_unit(id, OutputCallbackF32([](std::span<float>) {})));
  auto unit = units->open_output_unit(
      id, OutputCallbackI16([](std::span<std::int16_t> b) { std::fill(b.begin(), b.end(), 16384); }));
  ASSERT_TRUE(unit && (*unit)->start());
  hw->advance(32);
  (*unit)->stop();
  hw->advance(32);
  EXPECT_EQ(hw->sink(id), std::vector<float>(64, 0.5f));
}

TEST(SimHardware, EnumerationHookRunsInsideTheDeviceListRead) {
  auto hw = Hardware::create(config_of({input_device("Mic")}), Clocking::manual);
  int hooked = 0;
  hw->set_enumeration_hook([&] { ++hooked; });
  auto ids = hw->platform().system->devices();
  EXPECT_EQ(hooked, 1);
  ASSERT_TRUE(ids.has_value());
  EXPECT_EQ(ids->size(), 1u);
}

// Names of the devices in the system object's list.
std::vector<std::string> listed_names(const Platform& p) {
  std::vector<std::string> names;
  const auto ids = p.system->devices();
  EXPECT_TRUE(ids.has_value());
  for (DeviceId id : ids.value_or(std::vector<DeviceId>{}))
    names.push_back(p.system->device_name(id).value());
  return names;
}

TEST(SimHardware, ProvisionedVirtualDevicesAppearAtTheNextListRead) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("mld_simroot_" + std::to_string(::getpid()));
  fs::remove_all(root);
  using Names = std::vector<std::string>;
  const std::string bus = "Melodara_Virtual_Bus_48kHz", mic = "Melodara_Virtual_Mic_48kHz";

  // The installed driver folder.
  Config config = config_of({input_device("Mic")});
  config.root = root.string();
  auto hw = Hardware::create(config, Clocking::manual);
  EXPECT_EQ(listed_names(hw->platform()), Names{"Mic"});
  fs::create_directories(root.string() + std::string(kInstalledDriverPath));
  EXPECT_EQ(listed_names(hw->platform()), (Names{"Mic", bus, mic}));
  EXPECT_EQ(listed_names(hw->platform()), (Names{"Mic", bus, mic}));
  // The microphone hears what is played on the bus.
  auto host = hw->platform().audio;
  const DeviceId bus_id = *hw->find(bus), mic_id = *hw->find(mic);
  auto system = hw->platform().system;
  EXPECT_TRUE(system->has_streams(bus_id, AudioScope::output) &&
              !system->has_streams(bus_id, AudioScope::input));
  std::vector<float> heard;
  auto out = host->build_output_stream(bus_id, config_for(*host, bus_id, true),
                                       OutputCallbackF32([](std::span<float> b) {
                                         for (float& x : b) x = 0.25f;
                                       }),
                                       {});
  auto in = host->build_input_stream(
      mic_id, config_for(*host, mic_id, false),
      InputCallbackF32([&](std::span<const float> b) { heard.insert(heard.end(), b.begin(), b.end()); }), {});
  ASSERT_TRUE(out.has_value() && in.has_value());
  ASSERT_TRUE((*out)->play().has_value() && (*in)->play().has_value());
  hw->advance(48000 / 10);
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard.back(), 0.25f);

  // The marker a set-up program leaves; a bus the configuration has stays the only one.
  fs::remove_all(root);
  Config with_bus = config_of({output_device(bus)});
  with_bus.root = root.string();
  auto hw2 = Hardware::create(with_bus, Clocking::manual);
  EXPECT_EQ(listed_names(hw2->platform()), Names{bus});
  const fs::path marker = root.string() + std::string(kLoopbackDevicesMarker);
  fs::create_directories(marker.parent_path());
  std::ofstream(marker).put('\n');
  EXPECT_EQ(listed_names(hw2->platform()), (Names{bus, mic}));
  fs::remove_all(root);
}

}  // namespace
}  // namespace melodara::sim
