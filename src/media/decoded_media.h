#pragma once
// A decoded backing track: interleaved stereo 32-bit float at 48,000 Hz. Shared
// by reference count between the player and the media cache; not changed after
// it is shared.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace melodara {

inline constexpr std::uint32_t kMediaSampleRate = 48000;
inline constexpr std::uint64_t kMediaChannels = 2;

struct DecodedMedia {
  std::vector<float> samples;  // left, right, left, ...; finite values only
  std::optional<std::string> detected_key;
  std::uint32_t tempo_known = 0;
  float tempo_bpm = 0.0f;
  std::uint64_t channels = kMediaChannels;
  double duration_seconds = 0.0;  // whole frames / 48,000
  std::uint32_t sample_rate = kMediaSampleRate;
};

// A fresh record over `samples` (no key, tempo unknown, duration from the frames).
// Thread: any. Allocates: no (takes the samples over). Blocks: no.
DecodedMedia make_decoded_media(std::vector<float> samples);

// The samples as little-endian f32 bytes (the ".pcm48k" and ffmpeg f32le layout).
// Thread: any. Allocates: yes. Blocks: no.
std::vector<std::uint8_t> f32le_bytes(std::span<const float> samples);

}  // namespace melodara
