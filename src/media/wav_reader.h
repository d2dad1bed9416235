#pragma once
// A minimal WAV reader, the last resort for local files: fixed 44-byte header,
// 16-bit integer or 32-bit float samples, nearest-lower resampling to 48 kHz.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "media/media_limits.h"

namespace melodara {

struct ParsedWav {
  std::vector<float> samples;  // interleaved stereo at 48,000 Hz
  std::uint32_t channels = 2;
  std::uint32_t sample_rate = 48000;
};

// None unless "RIFF"/"WAVE" with 16 or 32 bits and at least one frame, and
// no longer than the track bound at 48 kHz.
// Thread: any. Allocates: the result.
std::optional<ParsedWav> parse_wav_file(std::span<const std::uint8_t> bytes, const MediaLimits& limits = {});

}  // namespace melodara
