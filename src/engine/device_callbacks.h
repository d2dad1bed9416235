#pragma once
// Device data callbacks: the capture side converts a device buffer to stereo
// frames at 48 kHz and appends them to the capture ring; the playback side
// drains the monitor or bus ring into a device buffer. Both resample by
// linear interpolation with a step nudged (at most 0.2 %) by the ring's fill,
// which absorbs the clock drift between the device and the engine.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/realtime.h"
#include "engine/frame_ring.h"

namespace melodara {

inline constexpr std::size_t kCaptureTargetFill = 1536;
inline constexpr std::size_t kPlaybackTargetFill = 1792;
// Largest capture buffer converted in one piece; longer buffers are
// converted in pieces of this size.
inline constexpr std::size_t kCaptureScratchFrames = 8192;

struct CaptureCallbackState {
  std::shared_ptr<FrameRing> ring;
  std::shared_ptr<CallbackCounter> counter;
  double base_step = 1.0;  // max(R, 8000) / 48000
  std::size_t channels = 1;
  std::size_t pairs = 1;
  std::size_t pair_index = 0;
  double position = 0.0;
  std::vector<StereoFrame> scratch;  // kCaptureScratchFrames + 1, preallocated
  std::vector<float> peaks;          // one per pair, preallocated
};

struct PlaybackCallbackState {
  std::shared_ptr<FrameRing> ring;
  std::shared_ptr<CallbackCounter> counter;
  double base_step = 1.0;  // 48000 / max(R, 8000)
  std::size_t channels = 1;
  double position = 0.0;
  StereoFrame previous;
  StereoFrame current;
};

// The callbacks' states, built at stream set-up.
// Thread: engine. Allocates: yes (the capture scratch buffers). Blocks: no.
CaptureCallbackState make_capture_state(std::shared_ptr<FrameRing> ring,
                                        std::shared_ptr<CallbackCounter> counter, std::uint32_t sample_rate,
                                        std::size_t channels);
PlaybackCallbackState make_playback_state(std::shared_ptr<FrameRing> ring,
                                          std::shared_ptr<CallbackCounter> counter, std::uint32_t sample_rate,
                                          std::size_t channels);

// Appends the resampled image of `frames`; `position` carries the resampling
// phase between calls. Thread: the capture stream's callback.
// Allocates: no. Blocks: on the ring mutex only.
void push_captured_frames(FrameRing& ring, std::span<const StereoFrame> frames, double& position,
                          double step);

// The data callbacks (the input ones of the capture stream, the output ones of
// the monitor stream, the bus ones of the bus unit). Thread: the stream's
// realtime callback thread, one call at a time. Allocates: no. Frees: no.
// Blocks: on the ring mutex only, which the engine holds for one block's frames.
void input_callback_f32(CaptureCallbackState& s, std::span<const float> buffer) MELODARA_NONBLOCKING;
void input_callback_i16(CaptureCallbackState& s, std::span<const std::int16_t> buffer) MELODARA_NONBLOCKING;
void output_callback_f32(PlaybackCallbackState& s, std::span<float> buffer) MELODARA_NONBLOCKING;
void output_callback_i16(PlaybackCallbackState& s, std::span<std::int16_t> buffer) MELODARA_NONBLOCKING;
void bus_output_callback_f32(PlaybackCallbackState& s, std::span<float> buffer) MELODARA_NONBLOCKING;
void bus_output_callback_i16(PlaybackCallbackState& s, std::span<std::int16_t> buffer) MELODARA_NONBLOCKING;

// A playback value as a 16-bit sample: above 1.0 gives 32767, otherwise
// clamped to -1..1 and scaled by 32767 toward zero; non-finite gives 0.
// Pure; any thread.
std::int16_t playback_sample_i16(float value);

}  // namespace melodara
