// The device list: hiding, ordering, synthetic entries, the process-wide
// enumeration, the start-up choice and the virtual-bus look-up.
#include "engine/device_list.h"

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/sim/sim_hardware.h"

namespace melodara {
namespace {

std::vector<std::string> ids(const std::vector<AudioDevice>& list) {
  std::vector<std::string> out;
  for (const auto& d : list) out.push_back(d.id);
  return out;
}

const DeviceSnapshot kLaptop{
    {"MacBook Pro Speakers", "BlackHole 2ch", "AirPods"},
    {"MacBook Pro Microphone", "Scarlett 2i2 USB", "BlackHole 2ch", "FaceTime HD Camera"},
    "CoreAudio"};

TEST(DeviceList, OrdersLikeliestFirstAndMarksDefaults) {
  const DeviceLists l = build_device_lists(kLaptop, std::nullopt, std::nullopt);
  EXPECT_EQ(ids(l.outputs), (std::vector<std::string>{"AirPods", "MacBook Pro Speakers", "BlackHole 2ch"}));
  EXPECT_EQ(ids(l.inputs), (std::vector<std::string>{"Scarlett 2i2 USB", "MacBook Pro Microphone",
                                                     "BlackHole 2ch", "FaceTime HD Camera"}));
  EXPECT_TRUE(l.outputs[0].is_default);
  EXPECT_TRUE(l.inputs[0].is_default);
  for (std::size_t i = 1; i < 3; ++i) EXPECT_FALSE(l.outputs[i].is_default);
  EXPECT_EQ(l.inputs[2].backend, "Virtual / DAW 48kHz");
  EXPECT_TRUE(l.inputs[2].is_virtual);
  EXPECT_EQ(l.inputs[1].backend, "CoreAudio");
  EXPECT_TRUE(l.outputs[2].is_virtual);
  EXPECT_EQ(l.outputs[2].backend, "CoreAudio");
}

TEST(DeviceList, HidesEchoesOfTheSelectedOutput) {
  struct Case {
    const char* what;
    DeviceSnapshot snap;
    std::optional<std::string_view> selected;
    std::optional<std::string_view> bus;
    std::vector<std::string> inputs;
  } cases[] = {
      {"blackhole selected",
       kLaptop,
       "BlackHole 2ch",
       std::nullopt,
       {"Scarlett 2i2 USB", "MacBook Pro Microphone", "FaceTime HD Camera"}},
      {"selected by a part of its name",
       kLaptop,
       "  blackhole ",
       std::nullopt,
       {"Scarlett 2i2 USB", "MacBook Pro Microphone", "FaceTime HD Camera"}},
      {"loopback of the selected output",
       {{"Speakers", "Headphones"}, {"loopback:Speakers", "Mic"}, "CoreAudio"},
       "Speakers",
       std::nullopt,
       {"Mic"}},
      {"loopback of another output, last",
       {{"Speakers", "Headphones"}, {"loopback:Speakers", "Mic"}, "CoreAudio"},
       "Headphones",
       std::nullopt,
       {"Mic", "loopback:Speakers"}},
      {"an unknown selection stands for itself",
       {{"Speakers"}, {"loopback:Studio", "Mic"}, "CoreAudio"},
       "Studio",
       std::nullopt,
       {"Mic"}},
      {"echo of the bus",
       {{"Speakers"}, {"loopback:Melodara_Virtual_Bus_48kHz", "Mic"}, "CoreAudio"},
       std::nullopt,
       std::nullopt,
       {"Mic"}},
      {"blackhole as the bus",
       {{"Speakers"}, {"BlackHole 2ch", "Mic"}, "CoreAudio"},
       "default",
       "BlackHole 2ch",
       {"Mic"}},
  };
  for (const auto& c : cases) {
    const DeviceLists l = build_device_lists(c.snap, c.selected, c.bus);
    EXPECT_EQ(ids(l.inputs), c.inputs) << c.what;
  }
  const DeviceLists l = build_device_lists(
      {{"Speakers", "Headphones"}, {"loopback:Speakers", "Mic"}, "CoreAudio"}, "Headphones", std::nullopt);
  EXPECT_TRUE(l.inputs[1].is_virtual);
}

TEST(DeviceList, OwnDevicesAreHiddenAndEmptyListsGetSyntheticEntries) {
  const DeviceLists l =
      build_device_lists({{"Melodara_Virtual_Bus_48kHz"}, {"Melodara_Virtual_Mic_48kHz"}, "CoreAudio"},
                         std::nullopt, std::nullopt);
  ASSERT_EQ(l.inputs.size(), 1u);
  ASSERT_EQ(l.outputs.size(), 1u);
  EXPECT_EQ(l.inputs[0],
            (AudioDevice{"virtual-mic-48k", "Microphone mặc định (Virtual 48kHz)",
                         "Microphone mặc định (Virtual 48kHz)", "input", "Virtual 48kHz", true, true}));
  EXPECT_EQ(l.outputs[0],
            (AudioDevice{"virtual-spk-48k", "Tai nghe / Loa mặc định (Virtual 48kHz)",
                         "Tai nghe / Loa mặc định (Virtual 48kHz)", "output", "Virtual 48kHz", true, true}));
}

sim::DeviceSpec spec(std::string name, std::uint16_t in, std::uint16_t out, sim::Transport t) {
  sim::DeviceSpec d;
  d.name = std::move(name);
  d.input_channels = in;
  d.output_channels = out;
  d.transport = t;
  return d;
}

TEST(DeviceList, ListsTheProcessPlatformsDevices) {
  using sim::Transport;
  sim::Config cfg;
  cfg.devices = {spec("MacBook Pro Microphone", 1, 0, Transport::builtin),
                 spec("MacBook Pro Speakers", 0, 2, Transport::builtin),
                 spec("Scarlett 2i2 USB", 2, 2, Transport::usb),
                 spec("BlackHole 2ch", 2, 2, Transport::virtual_device),
                 spec("FaceTime HD Camera", 1, 0, Transport::usb),
                 spec("AirPods Pro", 1, 2, Transport::bluetooth),
                 spec("Melodara_Virtual_Bus_48kHz", 0, 2, Transport::virtual_device),
                 spec("Melodara_Virtual_Mic_48kHz", 2, 0, Transport::virtual_device)};
  auto hw = sim::Hardware::create(cfg, sim::Clocking::realtime);
  install_platform(hw->platform());
  set_bus_device_name("Melodara_Virtual_Bus_48kHz");

  // Own devices hidden, likeliest first.
  const DeviceLists lists = enumerate_audio_devices(std::nullopt);
  EXPECT_EQ(ids(lists.inputs),
            (std::vector<std::string>{"Scarlett 2i2 USB", "MacBook Pro Microphone", "AirPods Pro",
                                      "BlackHole 2ch", "FaceTime HD Camera"}));
  EXPECT_EQ(ids(lists.outputs), (std::vector<std::string>{"Scarlett 2i2 USB", "AirPods Pro",
                                                          "MacBook Pro Speakers", "BlackHole 2ch"}));
  EXPECT_EQ(enumerate_audio_devices("default").inputs, lists.inputs);
  // With BlackHole as the current output its input echo disappears.
  EXPECT_EQ(ids(enumerate_audio_devices("BlackHole 2ch").inputs),
            (std::vector<std::string>{"Scarlett 2i2 USB", "MacBook Pro Microphone", "AirPods Pro",
                                      "FaceTime HD Camera"}));

  const StartupDevices start = startup_devices();
  EXPECT_EQ(start.input_id, "Scarlett 2i2 USB");
  EXPECT_EQ(start.output_id, "Scarlett 2i2 USB");
  EXPECT_FALSE(start.feedback_risk);
}

TEST(DeviceList, FeedbackRiskAtStartUp) {
  struct Case {
    const char* what;
    DeviceSnapshot snap;
    bool risk;
  } cases[] = {
      {"camera microphone and speakers", {{"Mac mini Speakers"}, {"FaceTime HD Camera"}, "CoreAudio"}, true},
      {"camera microphone and headphones",
       {{"Mac mini Speakers", "AirPods Pro"}, {"FaceTime HD Camera"}, "CoreAudio"},
       false},
      {"camera microphone and a USB interface",
       {{"Scarlett 2i2 USB"}, {"Logitech C920"}, "CoreAudio"},
       false},
      {"camera routed through loopback", {{"Mac mini Speakers"}, {"Camera Loopback"}, "CoreAudio"}, false},
      {"a built-in microphone before the camera",
       {{"MacBook Pro Speakers"}, {"FaceTime HD Camera", "MacBook Pro Microphone"}, "CoreAudio"},
       false},
  };
  for (const auto& c : cases) {
    const StartupDevices s = startup_devices(build_device_lists(c.snap, std::nullopt, std::nullopt));
    EXPECT_EQ(s.feedback_risk, c.risk) << c.what;
  }
  EXPECT_FALSE(feedback_risk(DeviceLists{}));
}

TEST(DeviceList, FindVirtualBus) {
  struct Case {
    const char* what;
    DeviceSnapshot snap;
    std::optional<std::string> want;
  } cases[] = {
      {"bus and microphone",
       {{"melodara_virtual_bus_48khz"}, {"MELODARA_VIRTUAL_MIC_48KHZ"}, "CoreAudio"},
       "Melodara_Virtual_Bus_48kHz"},
      {"bus without microphone", {{"Melodara_Virtual_Bus_48kHz"}, {"Mic"}, "CoreAudio"}, std::nullopt},
      {"microphone without bus", {{"Speakers"}, {"Melodara_Virtual_Mic_48kHz"}, "CoreAudio"}, std::nullopt},
      {"the microphone as an output",
       {{"Melodara_Virtual_Mic_48kHz"}, {}, "CoreAudio"},
       "Melodara_Virtual_Mic_48kHz"},
  };
  for (const auto& c : cases) EXPECT_EQ(find_virtual_bus_in(c.snap), c.want) << c.what;
}

}  // namespace
}  // namespace melodara
