#pragma once
// The key and tempo that a load stores with a track: the offline analysis'
// key label and tempo, or no key and 76 BPM when it finds nothing.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace melodara {

inline constexpr float kFallbackTempoBpm = 76.0f;

struct MediaAnalysis {
  std::optional<std::string> detected_key;
  std::uint32_t tempo_known = 1;
  float tempo_bpm = kFallbackTempoBpm;
};

// Runs the offline analysis on the samples with `hint` (the title, else the source).
// Thread: any but the engine's. Blocks: CPU only.
// Allocates: yes (the analysis buffers).
MediaAnalysis analyze_key_tempo(std::span<const float> samples, std::string_view hint);

}  // namespace melodara
