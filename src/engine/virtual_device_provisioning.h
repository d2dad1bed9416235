#pragma once
// Virtual device provisioning, the engine thread's first phase, once per
// process: makes sure the virtual bus "Melodara_Virtual_Bus_48kHz" and the
// virtual microphone "Melodara_Virtual_Mic_48kHz" exist before any stream
// opens. With Loopback installed, a small set-up program is built against its
// ACE framework (once: the program stays in /tmp for later starts) and run;
// otherwise, or when that made no bus, the service's own HAL driver is copied
// into place and the audio daemon restarted. Every failure is silent: the
// engine then runs without a bus, and the device list shows it.
//
// A set-up program found in /tmp runs only when it is a regular file with one
// link, owned by this process's user and writable by no one else; anything
// else there is removed and the program built again. The set-up source is
// written afresh each time (an old file or link removed first, the new one
// created exclusively, not through a link, mode 0600).
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/device_snapshot.h"
#include "platform/platform.h"

namespace melodara {

// Fixed paths; each is taken under the platform's system root.
inline constexpr std::string_view kLoopbackFrameworkFile =
    "/Applications/Loopback.app/Contents/Frameworks/ACE.framework/ACE";
inline constexpr std::string_view kLoopbackFrameworksFolder =
    "/Applications/Loopback.app/Contents/Frameworks";
inline constexpr std::string_view kLoopbackDriverPath = "/Library/Audio/Plug-Ins/HAL/ACE.driver";
inline constexpr std::string_view kSetupSourcePath = "/tmp/melodara_ace_virtual_mic_v4.m";
inline constexpr std::string_view kSetupProgramPath = "/tmp/melodara_ace_virtual_mic_v4";
inline constexpr std::string_view kDriverInstalledPath =
    "/Library/Audio/Plug-Ins/HAL/MelodaraVirtualMic.driver";
inline constexpr std::string_view kDriverAppSourcePath =
    "/Applications/Melodara.app/Contents/Resources/native/macos-virtual-mic/MelodaraVirtualMic.driver";

struct ProvisioningEnv {
  Platform platform;  // the system object for the defaults, system_root for the paths
  std::function<bool()> enumeration_stalled;
  std::function<DeviceSnapshot()> device_snapshot;
  std::function<void(std::string)> set_bus_name;
  std::function<void(std::chrono::nanoseconds)> sleep;
  std::optional<std::filesystem::path> executable;  // none: its path cannot be read
};

// This program's own path, when it can be read. Thread: any.
std::optional<std::filesystem::path> running_executable();

// Runs the provisioning. Returns the bus name it recorded through
// `set_bus_name` ("Melodara_Virtual_Bus_48kHz" without looking while the
// enumeration is stalled), or none when no bus was found; with a bus found,
// the system defaults are moved off the virtual devices.
// Thread: engine, before its streams exist. Allocates: yes. Blocks: on
// clang (up to 4 s), the set-up program (up to 0.8 s), cp and killall (no
// limit), and sleeps of 120 and 350 ms.
std::optional<std::string> provision_virtual_devices(const ProvisioningEnv& env);

}  // namespace melodara
