#pragma once
// The audio device layer: each device's default stream configuration, and
// input, output and output-capture streams that run data callbacks on threads
// of the layer's own. Which devices exist, their names and the system
// defaults are the system object's (audio_system.h).
#include <expected>
#include <memory>

#include "platform/audio_types.h"

namespace melodara {

// A built stream. It runs its data callback only between play() and pause()
// or its destruction, on one thread of the layer's at a time.
class AudioStream {
 public:
  // Stops the stream and waits until no callback of it runs.
  // Thread: any but the stream's own callback. Blocks: yes.
  // Allocates: no; frees the stream.
  virtual ~AudioStream() = default;
  // Starting a running stream does nothing.
  // Thread: any but the stream's own callback. Blocks: on the layer. Allocates: may.
  virtual std::expected<void, PlatformError> play() = 0;
  // Thread: any but the stream's own callback. Blocks: until no callback runs.
  // Allocates: no.
  virtual std::expected<void, PlatformError> pause() = 0;
};

class AudioHost {
 public:
  virtual ~AudioHost() = default;
  // The device's default configuration in a scope; fails for a device that
  // has no streams there. Thread: any. Blocks: on the layer. Allocates: yes.
  virtual std::expected<StreamConfig, PlatformError> default_input_config(DeviceId id) = 0;
  virtual std::expected<StreamConfig, PlatformError> default_output_config(DeviceId id) = 0;

  // Builds a stopped stream. The callback's sample format must match
  // config.format (f32 or i16; another format is refused).
  //
  // `data` runs on the layer's realtime thread for the stream, once per device
  // buffer: it must not block, allocate or call the system (see
  // audio_types.h). `error` runs when the device fails or disappears, never
  // inside `data` and after the stream's last callback, on a thread of the
  // layer's (the simulation: the thread that removes the device).
  // Thread: any. Blocks: on the layer. Allocates: yes.
  virtual std::expected<std::unique_ptr<AudioStream>, PlatformError> build_input_stream(
      DeviceId id, const StreamConfig& config, InputCallback data, StreamErrorCallback error) = 0;
  virtual std::expected<std::unique_ptr<AudioStream>, PlatformError> build_output_stream(
      DeviceId id, const StreamConfig& config, OutputCallback data, StreamErrorCallback error) = 0;
  // Capture of what an output device plays (a process tap).
  virtual std::expected<std::unique_ptr<AudioStream>, PlatformError> build_output_capture_stream(
      DeviceId id, const StreamConfig& config, InputCallback data, StreamErrorCallback error) = 0;
};

}  // namespace melodara
