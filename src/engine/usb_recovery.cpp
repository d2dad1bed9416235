#include "engine/usb_recovery.h"

#include "core/unicode_text.h"

namespace melodara {

const char* usb_host_device_matching_name() { return "IOUSBHostDevice"; }

namespace {

// Empty texts are contained in every name and "default" in many: either would
// reset a device that has nothing to do with the stall.
bool names_a_device(std::string_view lowered) { return !lowered.empty() && lowered != "default"; }

}  // namespace

std::optional<std::size_t> match_usb_device(std::span<const UsbRegistryEntry> entries,
                                            std::string_view input_name, std::string_view output_name) {
  const std::string in = unicode_lower(input_name), out = unicode_lower(output_name);
  auto related = [](const std::string& entry, const std::string& device) {
    return names_a_device(device) && (entry.contains(device) || device.contains(entry));
  };
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!entries[i].name) continue;
    const std::string name = unicode_lower(*entries[i].name);
    if (!names_a_device(name) || name.contains("hub") || name.contains("apple") || name.contains("bluetooth"))
      continue;
    if (related(name, in) || related(name, out)) return i;
  }
  return std::nullopt;
}

bool reset_matching_usb_device(UsbRegistry& registry, std::string_view input_name,
                               std::string_view output_name) {
  auto entries = registry.matching_services(usb_host_device_matching_name());
  if (!entries) return false;
  const auto hit = match_usb_device(*entries, input_name, output_name);
  if (!hit) return false;
  (void)registry.reset_device((*entries)[*hit].service);  // a failed reset still counts as tried
  return true;
}

}  // namespace melodara
