#include "media/media_analysis.h"

#include "dsp/track_key_analysis.h"

namespace melodara {

MediaAnalysis analyze_key_tempo(std::span<const float> samples, std::string_view hint) {
  MediaAnalysis result;
  if (const auto found = analyze_track_key_bpm(samples, hint)) {
    result.detected_key = found->key_label;
    result.tempo_bpm = static_cast<float>(found->bpm);
  }
  return result;
}

}  // namespace melodara
