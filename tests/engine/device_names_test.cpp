// Keyword tests on device names and the echo test of inputs.
#include "engine/device_names.h"

#include <gtest/gtest.h>

namespace melodara {
namespace {

TEST(DeviceNames, KeywordTests) {
  struct Case {
    const char* name;
    bool headphone, webcam, own, usb, daw;
  } cases[] = {
      {"MacBook Pro Microphone", false, false, false, false, false},
      {"MacBook Pro Speakers", false, false, false, false, false},
      {"Scarlett 2i2 USB", true, false, false, true, false},      // a USB interface counts as headphones
      {"Logitech USB Headset", true, true, false, false, false},  // webcam keyword beats USB
      {"FaceTime HD Camera", false, true, false, false, false},
      {"AirPods Pro", true, false, false, false, false},
      {"TAI NGHE Bluetooth", true, false, false, false, false},
      {"BlackHole 2ch", false, false, false, false, true},
      {"VB-Audio Virtual Cable", false, false, false, false, true},
      {"Melodara_Virtual_Mic_48kHz", false, false, true, false, false},
      {"virtual-spk-48k", false, false, true, false, false},
      {"Sink.monitor", false, false, false, false, true},
      {"loopback:Speakers", false, false, false, false, true},
      {"LOOPBACK:Speakers", false, false, false, false, true},  // "loopback" keyword
      {"Mic OUT ẢO", false, false, false, false, true},         // Unicode lower-casing
      {"EVO 4", true, false, false, true, false},               // "evo " with its blank
      {"EVO4", false, false, false, false, false},
      {"Yamaha AG06", true, false, false, true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_headphone_device(c.name, c.name), c.headphone) << c.name;
    EXPECT_EQ(is_webcam_device(c.name, c.name), c.webcam) << c.name;
    EXPECT_EQ(is_own_virtual_device(c.name, c.name), c.own) << c.name;
    EXPECT_EQ(is_usb_interface(c.name, c.name), c.usb) << c.name;
    EXPECT_EQ(is_daw_or_loopback_device(c.name, c.name), c.daw) << c.name;
  }
  // The two texts are joined with a blank, so keywords may span them.
  EXPECT_TRUE(is_headphone_device("Tai", "Nghe"));
  EXPECT_FALSE(is_headphone_device("Tai-", "Nghe"));
  EXPECT_TRUE(is_usb_interface("Evo", "4"));
}

TEST(DeviceNames, BuiltinAndVirtualRoute) {
  EXPECT_TRUE(is_builtin_or_system_device(""));
  EXPECT_TRUE(is_builtin_or_system_device("MacBook Air Speakers"));
  EXPECT_TRUE(is_builtin_or_system_device("BUILT-IN Output"));
  EXPECT_FALSE(is_builtin_or_system_device("Scarlett 2i2 USB"));
  EXPECT_FALSE(is_builtin_or_system_device("İnternal"));  // ASCII lower-casing only
  EXPECT_TRUE(is_virtual_route_device("Melodara_Virtual_Bus_48kHz"));
  EXPECT_TRUE(is_virtual_route_device("Logic Out"));
  EXPECT_TRUE(is_virtual_route_device("BlackHole 16ch"));
  EXPECT_FALSE(is_virtual_route_device("Loopback Audio"));
}

TEST(DeviceNames, InputMirrorsOutput) {
  struct Case {
    const char* what;
    const char* input;
    const char* label;
    std::optional<std::string_view> out_id, out_label;
    bool mirrors;
  } cases[] = {
      {"own virtual input", "Melodara_Virtual_Mic_48kHz", "Melodara_Virtual_Mic_48kHz", std::nullopt,
       std::nullopt, true},
      {"cable pair", "CABLE Output (VB-Audio)", "CABLE Output (VB-Audio)", "CABLE Input (VB-Audio)",
       "CABLE Input (VB-Audio)", true},
      {"blackhole on blackhole", "BlackHole 2ch", "BlackHole 2ch", "BlackHole 2ch", "BlackHole 2ch", true},
      {"blackhole 2ch on 16ch", "BlackHole 2ch", "BlackHole 2ch", "BlackHole 16ch", "BlackHole 16ch", false},
      {"loopback of the output", "loopback:Speakers", "loopback:Speakers", "Speakers", "Speakers", true},
      {"loopback of another output", "loopback:Speakers", "loopback:Speakers", "Headphones", "Headphones",
       false},
      {"monitor of the output", "Speakers.monitor", "Speakers.monitor", "speakers", "speakers", true},
      {"monitor of an output's monitor", "Speakers.monitor", "Speakers.monitor", "Speakers.monitor",
       std::nullopt, true},
      {"output id default", "loopback:default", "loopback:default", "default", "default", false},
      {"plain microphone", "MacBook Pro Microphone", "MacBook Pro Microphone", "MacBook Pro Speakers",
       "MacBook Pro Speakers", false},
      {"label names the output", "Line 1", "Monitor of Studio Speakers", "x", "Studio Speakers", true},
      {"label with plug prefix", "Line 1", "🔌 Out Ảo / Loopback: Studio Speakers", std::nullopt,
       " studio speakers ", true},
      {"label of another output", "Line 1", "Monitor of Studio Speakers", "x", "Desk", false},
      {"no selected output", "loopback:Speakers", "loopback:Speakers", std::nullopt, std::nullopt, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(input_mirrors_output(c.input, c.label, c.out_id, c.out_label), c.mirrors) << c.what;
}

TEST(DeviceNames, VirtualLoopbackDevice) {
  EXPECT_FALSE(is_virtual_loopback_device(std::nullopt, "", ""));
  EXPECT_TRUE(is_virtual_loopback_device("Melodara_Virtual_Bus_48kHz", "Speakers", "MacBook Pro Microphone"));
  EXPECT_FALSE(is_virtual_loopback_device("melodara_virtual_bus_48khz", "Melodara_Virtual_Bus_48kHz", ""));
  EXPECT_FALSE(is_virtual_loopback_device("MacBook Pro Speakers", "", ""));
  EXPECT_TRUE(is_virtual_loopback_device("BlackHole 2ch", "Speakers", "MacBook Pro Microphone"));
  // The paired input is the echo of this device: not a bus.
  EXPECT_FALSE(is_virtual_loopback_device("BlackHole 2ch", "Speakers", "BlackHole 2ch"));
}

}  // namespace
}  // namespace melodara
