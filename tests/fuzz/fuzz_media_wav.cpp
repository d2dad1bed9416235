// Arbitrary bytes through the WAV reader, the converter's data-chunk search and
// the f32le reader.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "media/afconvert_decode.h"
#include "media/ffmpeg_decode.h"
#include "media/wav_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span bytes(data, size);
  if (const auto wav = melodara::parse_wav_file(bytes)) {
    if (wav->samples.empty() || wav->samples.size() % 2 != 0) std::abort();
    for (float s : wav->samples) {
      if (!std::isfinite(s)) std::abort();
    }
  }
  if (const auto chunk = melodara::wav_data_chunk(bytes)) {
    if (chunk->size() > size || chunk->size() <= 8) std::abort();
  }
  if (const auto media = melodara::pcm_from_f32le(bytes, size % 2 == 0)) {
    if (media->samples->size() != size / 4) std::abort();
    for (float s : *media->samples) {
      if (!std::isfinite(s)) std::abort();
    }
  }
  return 0;
}
