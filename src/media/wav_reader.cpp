#include "media/wav_reader.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "core/little_endian.h"

namespace melodara {
std::optional<ParsedWav> parse_wav_file(std::span<const std::uint8_t> bytes, const MediaLimits& limits) {
  if (bytes.size() <= 44 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    return std::nullopt;
  }
  const std::uint32_t channels = std::max<std::uint32_t>(load_le16(bytes.data() + 22), 1);
  const std::uint32_t rate = std::max<std::uint32_t>(load_le32(bytes.data() + 24), 8000);
  const std::uint16_t bits = load_le16(bytes.data() + 34);
  const std::span<const std::uint8_t> data = bytes.subspan(44);
  const std::uint64_t bytes_per_sample = bits == 16 ? 2 : 4;
  const std::uint64_t in_frames = data.size() / bytes_per_sample / channels;
  if ((bits == 16 || bits == 32) && in_frames * 48000 / rate > limits.max_track_frames) return std::nullopt;

  std::vector<float> source;
  if (bits == 16) {
    source.resize(data.size() / 2);
    for (std::size_t i = 0; i < source.size(); ++i) {
      source[i] = static_cast<float>(static_cast<std::int16_t>(load_le16(data.data() + 2 * i))) / 32768.0f;
    }
  } else if (bits == 32) {
    source.resize(data.size() / 4);
    for (std::size_t i = 0; i < source.size(); ++i) {
      const float v = std::bit_cast<float>(load_le32(data.data() + 4 * i));
      source[i] = std::isfinite(v) ? v : 0.0f;
    }
  } else {
    return std::nullopt;
  }
  if (source.size() < channels) return std::nullopt;
  const std::uint64_t frames = source.size() / channels;
  const std::uint64_t out_frames = std::max<std::uint64_t>(frames * 48000 / rate, 1);

  ParsedWav wav;
  wav.samples.resize(out_frames * 2);
  for (std::uint64_t k = 0; k < out_frames; ++k) {
    const std::uint64_t src = std::min<std::uint64_t>(k * rate / 48000, frames - 1);
    const float* frame = source.data() + src * channels;
    wav.samples[2 * k] = frame[0];
    wav.samples[2 * k + 1] = channels > 1 ? frame[1] : frame[0];
  }
  return wav;
}

}  // namespace melodara
