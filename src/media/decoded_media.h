#pragma once
// A decoded backing track: interleaved stereo 32-bit float at 48,000 Hz. The
// samples are shared by reference count between the player, the media cache and
// the cache writer, and never changed once shared; the record around them is
// small and copied freely (a load fills in key and tempo on its own copy).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/shared_samples.h"

namespace melodara {

inline constexpr std::uint32_t kMediaSampleRate = 48000;
inline constexpr std::uint64_t kMediaChannels = 2;

struct DecodedMedia {
  SharedSamples samples;  // left, right, left, ...; finite values only; never null
  std::optional<std::string> detected_key;
  std::uint32_t tempo_known = 0;
  float tempo_bpm = 0.0f;
  std::uint64_t channels = kMediaChannels;
  double duration_seconds = 0.0;  // whole frames / 48,000
  std::uint32_t sample_rate = kMediaSampleRate;
};

// A fresh record that takes over `samples` without copying them (no key, tempo
// unknown, duration from the frames).
// Thread: any. Allocates: the shared control block.
DecodedMedia make_decoded_media(std::vector<float> samples);

}  // namespace melodara
