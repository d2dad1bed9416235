#pragma once
// Linear resampling of interleaved stereo frames to 48,000 Hz, fed piece by
// piece as a decoder produces them, so each piece goes straight into the final
// buffer. Output frame k reads position p = k * rate / 48,000 (exact integer
// arithmetic): s[i0] + (s[i1] - s[i0]) * (p - i0) with i0 = floor(p) and
// i1 = i0 + 1, both capped at the last frame; the output has
// floor(frames * 48,000 / rate) frames, at least one.
#include <cstdint>
#include <span>
#include <vector>

namespace melodara {

// Where the resampler's output goes: takes a run of interleaved stereo
// samples; false refuses them and stops the resampler.
class StereoSink {
 public:
  virtual bool append(std::span<const float> samples) = 0;

 protected:
  ~StereoSink() = default;
};

class LinearResampler {
 public:
  explicit LinearResampler(std::uint32_t rate);
  std::uint32_t rate() const { return rate_; }
  // Nothing pushed yet.
  bool empty() const { return received_ == 0; }

  // Takes more input frames; emits every output frame they complete.
  // False when the sink refused output.
  // Thread: the caller's. Allocates: only while its small input window grows.
  bool push(std::span<const float> stereo, StereoSink& out);

  // Emits the remaining output frames once the input has ended.
  // Thread: the caller's. Allocates: no.
  bool finish(StereoSink& out);

 private:
  bool emit_ready(StereoSink& out, bool at_end);

  std::uint32_t rate_;
  std::vector<float> window_;      // input frames from `window_base_` on, still needed
  std::uint64_t window_base_ = 0;  // input index of the window's first frame
  std::uint64_t received_ = 0;     // input frames pushed so far
  std::uint64_t next_out_ = 0;     // the next output frame
};

// The whole conversion at once. Thread: any. Allocates: the result.
std::vector<float> resample_linear_to_48k(std::span<const float> stereo, std::uint32_t rate);

}  // namespace melodara
