#pragma once
// The device list the host shows: the snapshot's names classified, with the
// service's own devices and echoes of the selected output hidden, ordered
// likeliest first, the first of each list marked default, and a synthetic
// 48 kHz entry for a list that would be empty. Also the start-up device
// choice and the virtual-bus look-up.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/device_snapshot.h"

namespace melodara {

struct AudioDevice {
  std::string id;
  std::string name;
  std::string label;
  std::string kind;  // "input" or "output"
  std::string backend;
  bool is_default = false;
  bool is_virtual = false;
  friend bool operator==(const AudioDevice&, const AudioDevice&) = default;
};

struct DeviceLists {
  std::vector<AudioDevice> inputs;
  std::vector<AudioDevice> outputs;
};

inline constexpr std::string_view kVirtualBusName = "Melodara_Virtual_Bus_48kHz";
inline constexpr std::string_view kVirtualMicName = "Melodara_Virtual_Mic_48kHz";

// The lists from a given snapshot and bus name. Pure; any thread. Allocates: yes.
DeviceLists build_device_lists(const DeviceSnapshot& snap, std::optional<std::string_view> selected_output,
                               std::optional<std::string_view> bus_name);
// From the process-wide snapshot and bus name. Thread: any but realtime
// callbacks, holding no lock. Blocks: up to 450 ms (device_snapshot).
// Allocates: yes.
DeviceLists enumerate_audio_devices(std::optional<std::string_view> selected_output);

// Acoustic-feedback risk from the first input and first output entry: a
// camera microphone that is no DAW or loopback route, heard on an output
// that is no headphone. An empty list counts as an entry with empty texts.
// Pure; any thread. Allocates: yes.
bool feedback_risk(const DeviceLists& lists);

// Start-up: the chosen device ids and the feedback risk.
struct StartupDevices {
  std::string input_id;
  std::string output_id;
  bool feedback_risk = false;  // with risk: monitoring off, anti-howl on
};
// Pure; any thread. Allocates: yes.
StartupDevices startup_devices(const DeviceLists& lists);
// Enumerates with no selected output, then as above.
// Thread: start-up. Blocks: like enumerate_audio_devices. Allocates: yes.
StartupDevices startup_devices();

// The virtual bus's (constant) name when the snapshot shows it usable.
// Pure; any thread. Allocates: yes.
std::optional<std::string> find_virtual_bus_in(const DeviceSnapshot& snap);
// From the process-wide snapshot. Thread: any but realtime callbacks.
// Blocks: up to 450 ms. Allocates: yes.
std::optional<std::string> find_virtual_bus_devices();

}  // namespace melodara
