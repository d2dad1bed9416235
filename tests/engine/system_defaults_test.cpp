// Keeping the system defaults on real devices.
#include "engine/system_defaults.h"

#include <gtest/gtest.h>

#include "engine_test_support.h"

namespace melodara {
namespace {

using test::input_device;
using test::output_device;

struct Defaults {
  std::string input, output, system_output;
};

Defaults run(const std::string& default_in, const std::string& default_out, std::string_view req_in,
             std::string_view req_out) {
  sim::Config cfg;
  cfg.devices = {output_device("Melodara_Virtual_Bus_48kHz"),
                 input_device("Melodara_Virtual_Mic_48kHz", 2),
                 input_device("BlackHole 2ch", 2),
                 output_device("BlackHole 2ch Out"),
                 input_device("MacBook Pro Microphone"),
                 output_device("MacBook Pro Speakers"),
                 output_device("AirPods Pro Headphones"),
                 input_device("USB Audio CODEC", 2)};
  cfg.default_input = default_in;
  cfg.default_output = default_out;
  auto hw = sim::Hardware::create(cfg, sim::Clocking::manual);
  auto sys = hw->platform().system;
  ensure_system_default_devices(*sys, req_in, req_out);
  auto name = [&](std::expected<DeviceId, PlatformError> id) {
    return id ? *sys->device_name(*id) : std::string("?");
  };
  return {name(sys->default_input_device()), name(sys->default_output_device()),
          name(sys->default_system_output_device())};
}

TEST(SystemDefaults, OutputMovesToTheRequestOrAwayFromVirtualRoutes) {
  struct Case {
    const char* default_out;
    const char* request;
    const char* want;
  } cases[] = {
      {"Melodara_Virtual_Bus_48kHz", "default", "MacBook Pro Speakers"},  // first real output
      {"Melodara_Virtual_Bus_48kHz", "", "MacBook Pro Speakers"},
      {"Melodara_Virtual_Bus_48kHz", "virtual-spk-48k", "MacBook Pro Speakers"},
      {"MacBook Pro Speakers", "AirPods Pro Headphones", "AirPods Pro Headphones"},  // real to real
      {"MacBook Pro Speakers", "airpods pro", "AirPods Pro Headphones"},             // containment
      {"MacBook Pro Speakers", "virtual-spk-48k", "MacBook Pro Speakers"},           // no request
      {"MacBook Pro Speakers", "Nothing Like It", "MacBook Pro Speakers"},
      {"BlackHole 2ch Out", "default", "MacBook Pro Speakers"},  // BlackHole output is moved
      {"MacBook Pro Speakers", "Melodara_Virtual_Bus_48kHz", "MacBook Pro Speakers"},  // never requested
  };
  for (const auto& c : cases) {
    const Defaults d = run("MacBook Pro Microphone", c.default_out, "", c.request);
    EXPECT_EQ(d.output, c.want) << c.default_out << " / " << c.request;
    EXPECT_EQ(d.system_output, c.want) << c.default_out << " / " << c.request;
  }
}

TEST(SystemDefaults, InputMovesOnlyAwayFromTheOwnVirtualMicrophone) {
  struct Case {
    const char* default_in;
    const char* request;
    const char* want;
  } cases[] = {
      {"Melodara_Virtual_Mic_48kHz", "virtual-mic-48k", "MacBook Pro Microphone"},  // first real input
      {"Melodara_Virtual_Mic_48kHz", "usb audio codec", "USB Audio CODEC"},         // exact, any case
      {"Melodara_Virtual_Mic_48kHz", "BlackHole 2ch", "MacBook Pro Microphone"},    // a route is no choice
      {"BlackHole 2ch", "", "BlackHole 2ch"},                                       // left alone
      {"USB Audio CODEC", "MacBook Pro Microphone", "USB Audio CODEC"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(run(c.default_in, "MacBook Pro Speakers", c.request, "").input, c.want) << c.default_in;
}

TEST(SystemDefaults, NoRealDeviceChangesNothing) {
  sim::Config cfg;
  cfg.devices = {output_device("Melodara_Virtual_Bus_48kHz"), input_device("Melodara_Virtual_Mic_48kHz", 2)};
  auto hw = sim::Hardware::create(cfg, sim::Clocking::manual);
  auto sys = hw->platform().system;
  ensure_system_default_devices(*sys, "", "");
  EXPECT_EQ(*sys->device_name(*sys->default_output_device()), "Melodara_Virtual_Bus_48kHz");
  EXPECT_EQ(*sys->device_name(*sys->default_input_device()), "Melodara_Virtual_Mic_48kHz");
}

}  // namespace
}  // namespace melodara
