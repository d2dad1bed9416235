#pragma once
// Output audio units: a render callback attached straight to one output
// device (the service plays its virtual bus this way).
#include <expected>
#include <memory>

#include "platform/audio_types.h"

namespace melodara {

class OutputUnit {
 public:
  virtual ~OutputUnit() = default;  // stops the unit; no render runs after it
  // Starting a running unit does nothing. Thread: any.
  virtual std::expected<void, PlatformError> start() = 0;
  virtual void stop() = 0;
};

class OutputUnitHost {
 public:
  virtual ~OutputUnitHost() = default;
  // The device's current stream format (rate, channels, sample format).
  virtual std::expected<StreamConfig, PlatformError> device_format(DeviceId id) = 0;
  // The render callback's sample format must match the device format.
  virtual std::expected<std::unique_ptr<OutputUnit>, PlatformError> open_output_unit(
      DeviceId id, OutputCallback render) = 0;
};

}  // namespace melodara
