#pragma once
// The system audio object: the hardware device list, device names, whether a
// device has streams in a scope, and the default input, output and system
// (sound-effects) output devices, read and set. Every other module reads
// devices and defaults through this interface.
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "platform/audio_types.h"

namespace melodara {

enum class AudioScope { input, output };

// Every call: Thread: any but realtime callbacks. Blocks: on the system
// object (a hung device can hold it for seconds). Allocates: yes.
class AudioSystem {
 public:
  virtual ~AudioSystem() = default;
  // The devices in the system's order.
  virtual std::expected<std::vector<DeviceId>, PlatformError> devices() = 0;
  // UTF-8 name; fails when it cannot be read.
  virtual std::expected<std::string, PlatformError> device_name(DeviceId id) = 0;
  // Whether the device's stream list in a scope is not empty; false when it
  // cannot be read.
  virtual bool has_streams(DeviceId id, AudioScope scope) = 0;
  virtual std::expected<DeviceId, PlatformError> default_input_device() = 0;
  virtual std::expected<DeviceId, PlatformError> default_output_device() = 0;
  virtual std::expected<DeviceId, PlatformError> default_system_output_device() = 0;
  // A device without streams in the scope cannot be the default.
  virtual std::expected<void, PlatformError> set_default_input_device(DeviceId id) = 0;
  virtual std::expected<void, PlatformError> set_default_output_device(DeviceId id) = 0;
  virtual std::expected<void, PlatformError> set_default_system_output_device(DeviceId id) = 0;
};

}  // namespace melodara
