#pragma once
// Output audio units: a render callback attached straight to one output
// device (the service plays its virtual bus this way). The render callback
// runs on the unit's realtime thread, with the rules of the data callbacks
// (audio_types.h); a unit has no error callback.
#include <expected>
#include <memory>

#include "platform/audio_types.h"

namespace melodara {

class OutputUnit {
 public:
  // Stops the unit; no render runs after it.
  // Thread: any but the unit's own render. Blocks: until the render returns.
  // Allocates: no; frees the unit.
  virtual ~OutputUnit() = default;
  // Starting a running unit does nothing.
  // Thread: any but the unit's own render. Blocks: on the platform. Allocates: may.
  virtual std::expected<void, PlatformError> start() = 0;
  // Thread: any but the unit's own render. Blocks: until the render returns.
  // Allocates: no.
  virtual void stop() = 0;
};

class OutputUnitHost {
 public:
  virtual ~OutputUnitHost() = default;
  // The device's current stream format (rate, channels, sample format).
  // Thread: any but realtime callbacks. Blocks: on the platform. Allocates: yes.
  virtual std::expected<StreamConfig, PlatformError> device_format(DeviceId id) = 0;
  // A stopped unit; the render callback's sample format must match the
  // device format. Thread: any but realtime callbacks. Blocks: on the
  // platform. Allocates: yes.
  virtual std::expected<std::unique_ptr<OutputUnit>, PlatformError> open_output_unit(
      DeviceId id, OutputCallback render) = 0;
};

}  // namespace melodara
