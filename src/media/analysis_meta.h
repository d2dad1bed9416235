#pragma once
// The analysis side file (".meta.json", version 4) beside a clip's decoded audio:
// detected key and tempo, and whether the ".pcm48k" holds normalised samples.
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace melodara {

inline constexpr int kAnalysisMetaVersion = 4;

struct AnalysisMeta {
  std::optional<std::string> detected_key;
  std::optional<float> detected_bpm;
  bool normalized = false;
};

// The side file's object: {"detected_bpm","detected_key","normalized":true,"version":4}.
// Thread: any. Allocates: yes. Blocks: no.
nlohmann::json analysis_meta_json(const std::optional<std::string>& key, bool tempo_known, float tempo_bpm);
// Reads a parsed side file; none when it is not a valid version-4 object.
// Thread: any. Allocates: yes. Blocks: no.
std::optional<AnalysisMeta> analysis_meta_from_json(const nlohmann::json& root);

// Writes the side file for `source` (nothing for a blank source; errors ignored).
// Waits first for any running write of the source's ".pcm48k", so the side file
// never vouches for audio that is not yet in place; then replaces it atomically.
// Thread: any but a cache writer. Allocates: yes. Blocks: file I/O and pending cache writes.
void write_analysis_meta(std::string_view source, const std::optional<std::string>& key, bool tempo_known,
                         float tempo_bpm);

// The same write without waiting: for the cache writer that has just put the
// ".pcm48k" in place itself.
// Thread: any. Blocks: file I/O.
// Allocates: yes (the side file text).
void store_analysis_meta(std::string_view source, const std::optional<std::string>& key, bool tempo_known,
                         float tempo_bpm);

// None when the side file is missing, unreadable or invalid.
// Thread: any. Allocates: yes. Blocks: file I/O.
std::optional<AnalysisMeta> read_analysis_meta(std::string_view source);

}  // namespace melodara
