#pragma once
// The system's devices as records, in the system's order: id, name (none when
// it cannot be read) and whether the device has input and output streams. The
// device snapshot, the stream set-up, the bus look-up and the system-default
// guard all read the device list through it.
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_system.h"

namespace melodara {

struct DeviceRecord {
  DeviceId id = 0;
  std::optional<std::string> name;
  bool has_input = false;
  bool has_output = false;
};

// Fails when the device list cannot be read.
// Thread: any but realtime callbacks. Blocks: on the system object. Allocates: yes.
std::expected<std::vector<DeviceRecord>, PlatformError> read_device_records(AudioSystem& system);

}  // namespace melodara
