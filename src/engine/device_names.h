#pragma once
// Keyword tests on device names: headphone, webcam, the service's own
// virtual devices, USB interface, DAW or loopback route, built-in device,
// virtual route, and whether an input only echoes the selected output.
// Pure functions; any thread. Allocates: yes (lower-cased copies).
#include <optional>
#include <string_view>

namespace melodara {

// The two-text tests take a device's name and label (callers without a
// label pass the name twice).
bool is_headphone_device(std::string_view name, std::string_view label);
bool is_webcam_device(std::string_view name, std::string_view label);
bool is_own_virtual_device(std::string_view name, std::string_view label);
bool is_usb_interface(std::string_view name, std::string_view label);
bool is_daw_or_loopback_device(std::string_view name, std::string_view label);
bool is_builtin_or_system_device(std::string_view name);
bool is_virtual_route_device(std::string_view name);

// True when the input (name, label) is only the echo of the selected output.
bool input_mirrors_output(std::string_view input_name, std::string_view input_label,
                          std::optional<std::string_view> output_id,
                          std::optional<std::string_view> output_label);

// The engine's bus scan: a virtual loopback output other than `excluded`
// whose echo is not `paired_input`. A name that cannot be read is none.
bool is_virtual_loopback_device(std::optional<std::string_view> device_name, std::string_view excluded,
                                std::string_view paired_input);

}  // namespace melodara
