#pragma once
// Gathering decoded samples into the one buffer that becomes the track: up to
// the track bound, reserved ahead from the expected length so the buffer is
// neither copied while it grows nor zero-filled before it is written; f32le
// bytes (ffmpeg's output, ".pcm48k" files) read straight into floats; and the
// step from samples to a normalised `DecodedMedia`.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "media/decoded_media.h"
#include "media/file_io.h"
#include "media/linear_resampler.h"
#include "media/media_limits.h"

namespace melodara {

// Interleaved samples, at most `max_samples` of them, in a buffer reserved
// ahead. Thread: its owner's. Allocates: the reservation, and on growth past it.
class BoundedSamples final : public StereoSink {
 public:
  BoundedSamples(std::uint64_t max_samples, std::uint64_t reserve_samples);
  // Appends all or, when that would pass the bound, nothing (false).
  bool append(std::span<const float> samples) override;
  std::size_t size() const { return samples_.size(); }
  std::vector<float> take() && { return std::move(samples_); }

 private:
  std::vector<float> samples_;
  std::uint64_t max_;
};

// Little-endian f32 bytes arriving in pieces: a float split between pieces is
// joined, NaN and infinity become 0, a trailing partial float is dropped.
// Thread: its owner's. Allocates: as BoundedSamples.
class F32leCollector {
 public:
  F32leCollector(std::uint64_t max_samples, std::uint64_t reserve_samples);
  // False (and nothing more taken) when the bound would be passed.
  bool append(std::span<const std::uint8_t> bytes);
  std::uint64_t bytes_seen() const { return bytes_seen_; }
  std::vector<float> take() && { return std::move(out_).take(); }

 private:
  BoundedSamples out_;
  std::uint8_t carry_[4] = {};
  std::size_t carry_len_ = 0;
  std::uint64_t bytes_seen_ = 0;
};

// How many samples to reserve for a decode expected to last `seconds`: a
// little more than that, within the track bound, and never more than a real
// codec makes of `source_bytes` (a small hostile file declaring hours gets no
// big reservation). Nothing without an expectation.
// Thread: any. Allocates: no.
std::uint64_t reserve_samples_for(std::optional<double> seconds, std::uint64_t source_bytes,
                                  const MediaLimits& limits);

// A ".pcm48k" file read whole into floats: a regular file only, not through a
// symbolic link, within the track bound.
// Thread: any. Blocks: file I/O.
// Allocates: yes (the samples).
std::optional<std::vector<float>> read_f32le_file(const std::filesystem::path& path,
                                                  const MediaLimits& limits);

// The samples as a track, normalised unless `already_normalized`; none below
// one frame. The samples are taken over, not copied.
// Thread: any. Allocates: the shared control block.
std::optional<DecodedMedia> media_from_pcm(std::vector<float> samples, bool already_normalized);

// f32le bytes to a track: none below 8 bytes or one frame; NaN and infinity
// become 0; normalised unless `already_normalized`. A trailing partial float is
// dropped, an odd trailing sample kept.
// Thread: any. Allocates: the samples.
std::optional<DecodedMedia> pcm_from_f32le(std::span<const std::uint8_t> bytes, bool already_normalized);

}  // namespace melodara
