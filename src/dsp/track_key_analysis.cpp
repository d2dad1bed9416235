#include "dsp/track_key_analysis.h"

namespace melodara {

std::optional<TrackKeyAnalysis> analyze_track_key_bpm(std::span<const float>, std::string_view) {
  return std::nullopt;
}

}  // namespace melodara
