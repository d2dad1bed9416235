#pragma once
// Plain types shared by the audio platform interfaces: device ids, stream
// configurations, sample formats, data and error callbacks.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <variant>

namespace melodara {

// One id space for every interface: the audio device layer, the system object
// and the output units all name a device by the same number.
using DeviceId = std::uint32_t;

enum class SampleFormat { f32, i16, other };

struct StreamConfig {
  std::uint32_t sample_rate = 48000;
  std::uint16_t channels = 2;
  SampleFormat format = SampleFormat::f32;
  std::uint32_t buffer_frames = 512;
};

struct PlatformError {
  std::string message;
};

// Data callbacks get interleaved samples; output buffers arrive zeroed. They
// run on the layer's realtime thread of their stream (one callback at a time
// per stream) and must not block, allocate, free or call the system: the
// realtime thread has a deadline of one device buffer.
using InputCallbackF32 = std::function<void(std::span<const float>)>;
using InputCallbackI16 = std::function<void(std::span<const std::int16_t>)>;
using OutputCallbackF32 = std::function<void(std::span<float>)>;
using OutputCallbackI16 = std::function<void(std::span<std::int16_t>)>;
using InputCallback = std::variant<InputCallbackF32, InputCallbackI16>;
using OutputCallback = std::variant<OutputCallbackF32, OutputCallbackI16>;
// Runs once when the stream's device fails or disappears, after the stream's
// last data callback, outside any data callback; it may block briefly.
using StreamErrorCallback = std::function<void(const PlatformError&)>;

}  // namespace melodara
