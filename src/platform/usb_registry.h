#pragma once
// The USB device registry: list the attached devices of a service class and
// reset one (open with seize, reset, re-enumerate, close).
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/audio_types.h"

namespace melodara {

struct UsbRegistryEntry {
  std::uint64_t service = 0;
  std::optional<std::string> name;  // none when the registry name cannot be read
};

class UsbRegistry {
 public:
  virtual ~UsbRegistry() = default;
  // The entries of a registry class, in the registry's order.
  // Thread: any but realtime callbacks. Blocks: on the registry. Allocates: yes.
  virtual std::expected<std::vector<UsbRegistryEntry>, PlatformError> matching_services(
      std::string_view class_name) = 0;
  // Opens the device with seize, resets and re-enumerates it, and closes it.
  // Thread: any but realtime callbacks. Blocks: on the device. Allocates: may.
  virtual std::expected<void, PlatformError> reset_device(std::uint64_t service) = 0;
};

}  // namespace melodara
