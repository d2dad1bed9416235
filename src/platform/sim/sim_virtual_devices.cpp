#include "platform/sim/sim_virtual_devices.h"

#include <filesystem>
#include <system_error>

namespace melodara::sim {

bool virtual_devices_provisioned(const std::string& root) {
  std::error_code ec;
  for (std::string_view path : {kInstalledDriverPath, kLoopbackDevicesMarker})
    if (std::filesystem::exists(root + std::string(path), ec)) return true;
  return false;
}

std::vector<DeviceSpec> provisioned_virtual_devices() {
  DeviceSpec bus;
  bus.name = "Melodara_Virtual_Bus_48kHz";
  bus.output_channels = 2;
  bus.transport = Transport::virtual_device;
  DeviceSpec mic;
  mic.name = "Melodara_Virtual_Mic_48kHz";
  mic.input_channels = 2;
  mic.transport = Transport::virtual_device;
  mic.source.kind = SignalSource::Kind::output;
  mic.source.device = bus.name;
  return {bus, mic};
}

}  // namespace melodara::sim
