#pragma once
// The system audio object: hardware device list, names, stream lists per
// scope, and the default input, output and system (sound-effects) output
// devices, read and set.
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "platform/audio_types.h"

namespace melodara {

enum class AudioScope { input, output };

class AudioSystem {
 public:
  virtual ~AudioSystem() = default;
  // Thread: any. Blocks: may.
  virtual std::expected<std::vector<DeviceId>, PlatformError> hardware_devices() = 0;
  // UTF-8 name; fails when it cannot be read.
  virtual std::expected<std::string, PlatformError> device_name(DeviceId id) = 0;
  // Byte size of the device's stream list in a scope; 0 means no streams.
  virtual std::expected<std::uint32_t, PlatformError> stream_list_size(DeviceId id, AudioScope scope) = 0;
  virtual std::expected<DeviceId, PlatformError> default_input_device() = 0;
  virtual std::expected<DeviceId, PlatformError> default_output_device() = 0;
  virtual std::expected<DeviceId, PlatformError> default_system_output_device() = 0;
  virtual std::expected<void, PlatformError> set_default_input_device(DeviceId id) = 0;
  virtual std::expected<void, PlatformError> set_default_output_device(DeviceId id) = 0;
  virtual std::expected<void, PlatformError> set_default_system_output_device(DeviceId id) = 0;
};

}  // namespace melodara
