#pragma once
// The service's own virtual devices in the simulation. On a real system the
// service's HAL driver or Loopback provides them; here the bus
// "Melodara_Virtual_Bus_48kHz" (2 channels out) and the microphone
// "Melodara_Virtual_Mic_48kHz" (2 channels in, hearing the bus) appear at the
// next device-list read once, under the simulation's root,
//   Library/Audio/Plug-Ins/HAL/MelodaraVirtualMic.driver  exists (the driver is installed), or
//   sim/loopback-devices                                  exists (left by a stand-in set-up program).
// Devices of those names that the configuration already has stay as they are.
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/sim_config.h"

namespace melodara::sim {

inline constexpr std::string_view kInstalledDriverPath =
    "/Library/Audio/Plug-Ins/HAL/MelodaraVirtualMic.driver";
inline constexpr std::string_view kLoopbackDevicesMarker = "/sim/loopback-devices";

// Thread: any. Blocks: on the file system.
// Allocates: yes (paths).
bool virtual_devices_provisioned(const std::string& root);

// The bus and the microphone as provisioning makes them.
std::vector<DeviceSpec> provisioned_virtual_devices();

}  // namespace melodara::sim
