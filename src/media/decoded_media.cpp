#include "media/decoded_media.h"

#include <memory>

namespace melodara {

DecodedMedia make_decoded_media(std::vector<float> samples) {
  DecodedMedia media;
  media.duration_seconds = static_cast<double>(samples.size() / 2) / static_cast<double>(kMediaSampleRate);
  media.samples = std::make_shared<const std::vector<float>>(std::move(samples));
  return media;
}

}  // namespace melodara
