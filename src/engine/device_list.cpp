#include "engine/device_list.h"

#include <algorithm>

#include "core/unicode_text.h"
#include "engine/device_names.h"

namespace melodara {
namespace {

constexpr std::string_view kDawBackend = "Virtual / DAW 48kHz";
constexpr std::string_view kSyntheticBackend = "Virtual 48kHz";

AudioDevice synthetic_input() {
  return {"virtual-mic-48k",
          "Microphone mặc định (Virtual 48kHz)",
          "Microphone mặc định (Virtual 48kHz)",
          "input",
          std::string(kSyntheticBackend),
          true,
          true};
}
AudioDevice synthetic_output() {
  return {"virtual-spk-48k",
          "Tai nghe / Loa mặc định (Virtual 48kHz)",
          "Tai nghe / Loa mặc định (Virtual 48kHz)",
          "output",
          std::string(kSyntheticBackend),
          true,
          true};
}

int input_class(const AudioDevice& d) {
  if (d.id.ends_with(".monitor") || d.id.starts_with("loopback:")) return 4;
  if (d.is_virtual) return 2;
  if (is_webcam_device(d.id, d.label)) return 3;
  if (is_usb_interface(d.id, d.label)) return 0;
  return 1;
}

int output_class(const AudioDevice& d) {
  if (is_usb_interface(d.id, d.label)) return 0;
  if (is_headphone_device(d.id, d.label)) return 1;
  return d.is_virtual ? 3 : 2;
}

template <class ClassOf>
void order(std::vector<AudioDevice>& list, ClassOf class_of) {
  std::stable_sort(list.begin(), list.end(),
                   [&](const AudioDevice& a, const AudioDevice& b) { return class_of(a) < class_of(b); });
}

}  // namespace

DeviceLists build_device_lists(const DeviceSnapshot& snap, std::optional<std::string_view> selected_output,
                               std::optional<std::string_view> bus_name) {
  DeviceLists lists;
  for (const std::string& name : snap.outputs) {
    if (is_own_virtual_device(name, name)) continue;
    lists.outputs.push_back(
        {name, name, name, "output", snap.backend, false, is_daw_or_loopback_device(name, name)});
  }
  order(lists.outputs, output_class);

  std::optional<std::string> sel_id, sel_label;
  const std::string_view wanted = selected_output ? trim_unicode(*selected_output) : std::string_view{};
  if (!selected_output || wanted.empty() || wanted == "default") {
    if (!lists.outputs.empty()) {
      sel_id = lists.outputs.front().id;
      sel_label = lists.outputs.front().label;
    }
  } else {
    const std::string wanted_lower = unicode_lower(wanted);
    for (const AudioDevice& d : lists.outputs) {
      const std::string label_lower = unicode_lower(d.label);
      if (ascii_iequals(d.id, wanted) || ascii_iequals(d.label, wanted) ||
          label_lower.contains(wanted_lower) || wanted_lower.contains(label_lower)) {
        sel_id = d.id;
        sel_label = d.label;
        break;
      }
    }
    if (!sel_id) sel_id = sel_label = std::string(wanted);
  }

  for (const std::string& name : snap.inputs) {
    if (is_own_virtual_device(name, name) || input_mirrors_output(name, name, sel_id, sel_label) ||
        input_mirrors_output(name, name, bus_name, bus_name))
      continue;
    const bool daw = is_daw_or_loopback_device(name, name);
    lists.inputs.push_back(
        {name, name, name, "input", daw ? std::string(kDawBackend) : snap.backend, false, daw});
  }
  order(lists.inputs, input_class);

  if (lists.inputs.empty()) lists.inputs.push_back(synthetic_input());
  if (lists.outputs.empty()) lists.outputs.push_back(synthetic_output());
  lists.inputs.front().is_default = true;
  lists.outputs.front().is_default = true;
  return lists;
}

DeviceLists enumerate_audio_devices(std::optional<std::string_view> selected_output) {
  const DeviceSnapshot snap = device_snapshot();
  const auto bus = bus_device_name();
  return build_device_lists(snap, selected_output,
                            bus ? std::optional<std::string_view>(*bus) : std::nullopt);
}

bool feedback_risk(const DeviceLists& lists) {
  static const AudioDevice empty;
  const AudioDevice& in = lists.inputs.empty() ? empty : lists.inputs.front();
  const AudioDevice& out = lists.outputs.empty() ? empty : lists.outputs.front();
  if (is_daw_or_loopback_device(in.id, in.label)) return false;
  if (!is_webcam_device(in.id, in.label)) return false;
  return !is_headphone_device(out.id, out.label);
}

StartupDevices startup_devices(const DeviceLists& lists) {
  StartupDevices s;
  if (!lists.inputs.empty()) s.input_id = lists.inputs.front().id;
  if (!lists.outputs.empty()) s.output_id = lists.outputs.front().id;
  s.feedback_risk = feedback_risk(lists);
  return s;
}

StartupDevices startup_devices() { return startup_devices(enumerate_audio_devices(std::nullopt)); }

std::optional<std::string> find_virtual_bus_in(const DeviceSnapshot& snap) {
  const bool bus_out = std::any_of(snap.outputs.begin(), snap.outputs.end(),
                                   [](const std::string& n) { return ascii_iequals(n, kVirtualBusName); });
  for (const std::string& n : snap.inputs) {
    if (!ascii_iequals(n, kVirtualMicName)) continue;
    if (bus_out) return std::string(kVirtualBusName);
    break;
  }
  for (const std::string& n : snap.outputs)
    if (ascii_iequals(n, kVirtualMicName)) return std::string(kVirtualMicName);
  return std::nullopt;
}

std::optional<std::string> find_virtual_bus_devices() { return find_virtual_bus_in(device_snapshot()); }

}  // namespace melodara
