// Reading the simulated device set from JSON and the environment.
#include "platform/sim/sim_config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/platform.h"

namespace melodara::sim {
namespace {

TEST(SimConfig, ParsesDevicesDefaultsAndSources) {
  const auto j = nlohmann::json::parse(R"({
    "enumerationDelayMs": 700,
    "defaultInput": "Scarlett 2i2 USB",
    "usbRegistry": ["USB2.0 Hub"],
    "devices": [
      {"name": "Scarlett 2i2 USB", "inputChannels": 2, "outputChannels": 2, "sampleRate": 44100,
       "format": "i16", "transport": "usb", "usbName": "Scarlett 2i2", "driftPpm": -150,
       "source": {"type": "sine", "frequency": 220, "level": 0.5, "channels": [0]}},
      {"name": "Odd", "outputChannels": 2, "format": "i24", "nameReadable": false,
       "raggedBuffers": true, "transport": "bluetooth"},
      {"name": "Voice", "inputChannels": 1, "source": {"type": "wav", "path": "voice.wav"}},
      {"name": "Melodara_Virtual_Mic_48kHz", "inputChannels": 2}
    ]})");
  auto c = parse_config(j, "/data");
  ASSERT_TRUE(c.has_value()) << c.error();
  EXPECT_EQ(c->enumeration_delay_ms, 700u);
  EXPECT_EQ(c->default_input, "Scarlett 2i2 USB");
  EXPECT_EQ(c->usb_registry, std::vector<std::string>{"USB2.0 Hub"});
  ASSERT_EQ(c->devices.size(), 4u);
  const DeviceSpec& usb = c->devices[0];
  EXPECT_EQ(usb.sample_rate, 44100u);
  EXPECT_EQ(usb.format, SampleFormat::i16);
  EXPECT_EQ(usb.transport, Transport::usb);
  EXPECT_EQ(usb.usb_name, "Scarlett 2i2");
  EXPECT_DOUBLE_EQ(usb.drift_ppm, -150.0);
  EXPECT_EQ(usb.source.kind, SignalSource::Kind::sine);
  EXPECT_EQ(usb.source.channels, std::vector<int>{0});
  EXPECT_EQ(c->devices[1].format, SampleFormat::other);
  EXPECT_FALSE(c->devices[1].name_readable);
  EXPECT_TRUE(c->devices[1].ragged_buffers);
  EXPECT_EQ(c->devices[2].source.path, "/data/voice.wav");
  EXPECT_EQ(c->devices[3].source.kind, SignalSource::Kind::output);
  EXPECT_EQ(c->devices[3].source.device, "Melodara_Virtual_Bus_48kHz");
}

TEST(SimConfig, ShippedStudioSetLoads) {
  auto c = load_config_file(MELODARA_TEST_DATA "/studio_devices.json");
  ASSERT_TRUE(c.has_value()) << c.error();
  EXPECT_EQ(c->devices.size(), 8u);
  EXPECT_EQ(c->devices.back().source.device, "Melodara_Virtual_Bus_48kHz");
}

TEST(SimConfig, RejectsMistakes) {
  for (const char* text : {R"([])", R"({"devices": [{"inputChannels": 1}]})",
                           R"({"devices": [{"name": "x", "transport": "firewire"}]})",
                           R"({"devices": [{"name": "x", "source": {"type": "wav"}}]})",
                           R"({"devices": [{"name": "x", "inputChannels": "two"}]})"}) {
    EXPECT_FALSE(parse_config(nlohmann::json::parse(text)).has_value()) << text;
  }
}

TEST(SimConfig, EnvironmentNamesTheFileAndTheSinkFolder) {
  const auto path =
      std::filesystem::temp_directory_path() / ("mld_cfg_" + std::to_string(::getpid()) + ".json");
  std::ofstream(path) << R"({"devices": [{"name": "Only Mic", "inputChannels": 1}]})";
  ::setenv("MELODARA_SIM_DEVICES", path.c_str(), 1);
  ::setenv("MELODARA_SIM_SINK_DIR", "/tmp/sinks", 1);
  ::setenv("MELODARA_SIM_ROOT", "/tmp/sim-root//", 1);
  auto c = config_from_environment();
  ASSERT_TRUE(c.has_value()) << c.error();
  ASSERT_EQ(c->devices.size(), 1u);
  EXPECT_EQ(c->devices[0].name, "Only Mic");
  EXPECT_EQ(c->sink_dir, "/tmp/sinks");
  EXPECT_EQ(c->root, "/tmp/sim-root");
  EXPECT_EQ(platform().system_root, "/tmp/sim-root");

  // The process's platform is built from the same variables.
  auto ids = platform().system->devices();
  ASSERT_TRUE(ids.has_value());
  ASSERT_EQ(ids->size(), 1u);
  EXPECT_EQ(platform().system->device_name(ids->front()).value(), "Only Mic");

  ::setenv("MELODARA_SIM_DEVICES", "/nonexistent/devices.json", 1);
  EXPECT_FALSE(config_from_environment().has_value());
  ::unsetenv("MELODARA_SIM_DEVICES");
  ::unsetenv("MELODARA_SIM_SINK_DIR");
  ::unsetenv("MELODARA_SIM_ROOT");
  auto d = config_from_environment();
  ASSERT_TRUE(d.has_value());
  ASSERT_EQ(d->devices.size(), 2u);
  EXPECT_EQ(d->devices[0].name, "MacBook Pro Microphone");
  EXPECT_EQ(d->devices[1].name, "MacBook Pro Speakers");
  EXPECT_FALSE(d->sink_dir.has_value());
  EXPECT_EQ(d->root, "");
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace melodara::sim
