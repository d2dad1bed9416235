#pragma once
// USB recovery of a stalled audio interface: find the registry entry that
// matches the input or output device name and reset it.
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/usb_registry.h"

namespace melodara {

// The registry class the scan matches on, zero-terminated.
const char* usb_host_device_matching_name();

// Index of the first entry whose lower-cased name (hubs, Apple and Bluetooth
// entries skipped) contains, or is contained in, the lower-cased input or
// output name. Names that are empty or "default" (entries or devices, in any
// letter case) match nothing. Pure; any thread. Allocates: yes.
std::optional<std::size_t> match_usb_device(std::span<const UsbRegistryEntry> entries,
                                            std::string_view input_name, std::string_view output_name);

// Resets the matching device; true when one was found and tried (the
// caller then waits 900 ms). Thread: engine, at a restart after a stream
// stall. Blocks: on the registry. Allocates: yes.
bool reset_matching_usb_device(UsbRegistry& registry, std::string_view input_name,
                               std::string_view output_name);

}  // namespace melodara
