// Matching a stalled audio device to its USB registry entry.
#include "engine/usb_recovery.h"

#include <gtest/gtest.h>

#include "platform/sim/sim_hardware.h"

namespace melodara {
namespace {

TEST(UsbRecovery, MatchesByContainmentSkippingHubsAndEmptyNames) {
  const std::vector<UsbRegistryEntry> entries = {
      {1, "USB2.0 Hub"},         {2, "Apple Internal Keyboard"}, {3, std::nullopt},      {4, ""},
      {5, "Bluetooth USB Host"}, {6, "Scarlett 2i2 USB"},        {7, "USB Audio CODEC"}, {8, "Webcam"}};
  struct Case {
    const char* input;
    const char* output;
    std::optional<std::size_t> want;
  } cases[] = {
      {"Scarlett 2i2 USB", "MacBook Pro Speakers", 5},  // equal, any case
      {"MacBook Pro Microphone", "scarlett 2i2", 5},    // the device name inside the entry
      {"USB Audio CODEC (2)", "", 6},                   // the entry inside the device name
      {"MacBook Pro Microphone", "MacBook Pro Speakers", std::nullopt},
      {"", "", std::nullopt},  // empty names reset nothing
      {"Hub", "", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(match_usb_device(entries, c.input, c.output), c.want) << c.input;
  EXPECT_STREQ(usb_host_device_matching_name(), "IOUSBHostDevice");
}

TEST(UsbRecovery, ResetsTheMatchingDeviceThroughTheRegistry) {
  sim::DeviceSpec usb;
  usb.name = "Scarlett 2i2 USB";
  usb.input_channels = 2;
  usb.transport = sim::Transport::usb;
  usb.usb_name = "Scarlett 2i2";
  sim::Config cfg;
  cfg.devices = {usb};
  cfg.usb_registry = {"USB3.0 Hub"};
  auto hw = sim::Hardware::create(cfg, sim::Clocking::manual);
  auto registry = hw->platform().usb;
  EXPECT_TRUE(reset_matching_usb_device(*registry, "Scarlett 2i2 USB", "MacBook Pro Speakers"));
  EXPECT_EQ(hw->usb_resets("Scarlett 2i2"), 1u);
  EXPECT_FALSE(reset_matching_usb_device(*registry, "MacBook Pro Microphone", "MacBook Pro Speakers"));
  EXPECT_EQ(hw->usb_resets("USB3.0 Hub"), 0u);
}

TEST(UsbRecovery, NeverMatchesEmptyOrDefaultNames) {
  sim::Config cfg;
  sim::DeviceSpec disk;
  disk.name = "Default Speakers";
  disk.output_channels = 2;
  disk.transport = sim::Transport::usb;
  disk.usb_name = "Default USB Disk";
  cfg.devices = {disk};
  cfg.usb_registry = {"Default", ""};
  auto hw = sim::Hardware::create(cfg, sim::Clocking::manual);
  auto usb = hw->platform().usb;
  struct Case {
    const char* input;
    const char* output;
    bool want;
  } cases[] = {
      {"default", "", false},  // "default" is inside "default usb disk"
      {"DEFAULT", "default", false},
      {"MacBook Pro Microphone", "Default Speakers Plus", false},  // the entry "Default" is inside it
      {"", "Default USB Disk", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(reset_matching_usb_device(*usb, c.input, c.output), c.want) << c.input << "/" << c.output;
  EXPECT_EQ(hw->usb_resets("Default"), 0u);
  EXPECT_EQ(hw->usb_resets("Default USB Disk"), 1u);
}

}  // namespace
}  // namespace melodara
