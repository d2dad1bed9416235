#pragma once
// The audio device layer: device list, names, default stream configurations,
// and input, output and output-capture streams that run data callbacks on
// threads of their own.
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_types.h"

namespace melodara {

// A built stream. It runs its callbacks only between play() and pause() or
// its destruction; destroying it stops it and waits until no callback runs.
class AudioStream {
 public:
  virtual ~AudioStream() = default;
  // Starting a running stream does nothing. Thread: any.
  virtual std::expected<void, PlatformError> play() = 0;
  virtual std::expected<void, PlatformError> pause() = 0;
};

class AudioHost {
 public:
  virtual ~AudioHost() = default;
  // Devices in the layer's order. Thread: any. Blocks: may (a slow layer).
  virtual std::expected<std::vector<DeviceId>, PlatformError> devices() = 0;
  virtual std::expected<std::string, PlatformError> device_name(DeviceId id) = 0;
  virtual bool has_input(DeviceId id) = 0;
  virtual bool has_output(DeviceId id) = 0;
  virtual std::expected<StreamConfig, PlatformError> default_input_config(DeviceId id) = 0;
  virtual std::expected<StreamConfig, PlatformError> default_output_config(DeviceId id) = 0;
  // The system defaults as the system object reports them.
  virtual std::optional<DeviceId> default_input_device() = 0;
  virtual std::optional<DeviceId> default_output_device() = 0;

  // The callback's sample format must match config.format; a format other
  // than f32 or i16 is refused.
  virtual std::expected<std::unique_ptr<AudioStream>, PlatformError> build_input_stream(
      DeviceId id, const StreamConfig& config, InputCallback data, StreamErrorCallback error) = 0;
  virtual std::expected<std::unique_ptr<AudioStream>, PlatformError> build_output_stream(
      DeviceId id, const StreamConfig& config, OutputCallback data, StreamErrorCallback error) = 0;
  // Capture of what an output device plays (a process tap).
  virtual std::expected<std::unique_ptr<AudioStream>, PlatformError> build_output_capture_stream(
      DeviceId id, const StreamConfig& config, InputCallback data, StreamErrorCallback error) = 0;
};

}  // namespace melodara
