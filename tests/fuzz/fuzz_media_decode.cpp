// Arbitrary bytes through the in-process decoder: refused or decoded to finite
// 48 kHz stereo, never a crash, and never a single allocation beyond what the
// track bound needs (run with -malloc_limit_mb; the bound here is five
// minutes, so a legitimate track's buffer stays well under that limit).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "media/inprocess_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const melodara::MediaLimits limits = [] {
    melodara::MediaLimits l;
    l.max_track_frames = 5 * 60 * 48000;
    return l;
  }();
  const auto media = melodara::decode_with_symphonia(std::span(data, size), limits);
  if (media) {
    if (media->channels != 2 || media->sample_rate != 48000 || media->samples->size() < 2) std::abort();
    for (float s : *media->samples) {
      if (!std::isfinite(s)) std::abort();
    }
  }
  return 0;
}
