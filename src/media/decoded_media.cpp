#include "media/decoded_media.h"

#include <bit>
#include <cstring>

namespace melodara {

DecodedMedia make_decoded_media(std::vector<float> samples) {
  DecodedMedia media;
  media.duration_seconds = static_cast<double>(samples.size() / 2) / static_cast<double>(kMediaSampleRate);
  media.samples = std::move(samples);
  return media;
}

std::vector<std::uint8_t> f32le_bytes(std::span<const float> samples) {
  static_assert(std::endian::native == std::endian::little, "f32le layout assumes a little-endian host");
  std::vector<std::uint8_t> bytes(samples.size() * sizeof(float));
  if (!samples.empty()) std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

}  // namespace melodara
