#include "media/analysis_meta.h"

#include <cmath>

#include "media/file_io.h"
#include "media/player_cache.h"

namespace melodara {

nlohmann::json analysis_meta_json(const std::optional<std::string>& key, bool tempo_known, float tempo_bpm) {
  nlohmann::json meta = nlohmann::json::object();
  meta["version"] = kAnalysisMetaVersion;
  meta["detected_key"] = key ? nlohmann::json(*key) : nlohmann::json(nullptr);
  meta["detected_bpm"] = tempo_known && std::isfinite(tempo_bpm)
                             ? nlohmann::json(static_cast<double>(tempo_bpm))
                             : nlohmann::json(nullptr);
  meta["normalized"] = true;
  return meta;
}

std::optional<AnalysisMeta> analysis_meta_from_json(const nlohmann::json& root) {
  if (!root.is_object()) return std::nullopt;
  const auto version = root.find("version");
  // Integral numbers only: 4.0 is a different writer's file.
  if (version == root.end() || !version->is_number_integer()) return std::nullopt;
  if (version->is_number_unsigned() ? version->get<std::uint64_t>() < 4 : version->get<std::int64_t>() < 4) {
    return std::nullopt;
  }
  AnalysisMeta meta;
  if (const auto key = root.find("detected_key"); key != root.end() && key->is_string()) {
    meta.detected_key = key->get<std::string>();
  }
  if (const auto bpm = root.find("detected_bpm"); bpm != root.end() && bpm->is_number()) {
    meta.detected_bpm = static_cast<float>(bpm->get<double>());
  }
  if (const auto norm = root.find("normalized"); norm != root.end() && norm->is_boolean()) {
    meta.normalized = norm->get<bool>();
  }
  return meta;
}

void write_analysis_meta(std::string_view source, const std::optional<std::string>& key, bool tempo_known,
                         float tempo_bpm) {
  if (const auto pcm = pcm_cache_path(source)) wait_for_pending_writes(*pcm);
  store_analysis_meta(source, key, tempo_known, tempo_bpm);
}

void store_analysis_meta(std::string_view source, const std::optional<std::string>& key, bool tempo_known,
                         float tempo_bpm) {
  const auto path = analysis_meta_path(source);
  if (!path) return;
  const std::string text = analysis_meta_json(key, tempo_known, tempo_bpm).dump();
  write_file_replacing(*path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::optional<AnalysisMeta> read_analysis_meta(std::string_view source) {
  const auto path = analysis_meta_path(source);
  if (!path) return std::nullopt;
  // A side file is a few dozen bytes; anything big or odd is not one of ours.
  const auto bytes = read_regular_file(*path, 64 * 1024, Links::Refuse);
  if (!bytes) return std::nullopt;
  const nlohmann::json root = nlohmann::json::parse(*bytes, nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded()) return std::nullopt;
  return analysis_meta_from_json(root);
}

}  // namespace melodara
