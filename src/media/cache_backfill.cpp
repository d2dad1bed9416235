#include "media/cache_backfill.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/utf8.h"
#include "media/analysis_meta.h"
#include "media/clip_id.h"
#include "media/clip_video.h"
#include "media/media_analysis.h"
#include "media/media_hosts.h"
#include "media/pcm_cache_writer.h"
#include "media/pcm_samples.h"
#include "media/player_cache.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kYoutubePrefix = "clip-yt-";
constexpr std::size_t kYoutubeIdBytes = 11;

// The 11-byte ids of "clip-yt-" + id + ".pcm48k" or ".audio", once each.
std::optional<std::vector<std::string>> youtube_ids(const fs::path& dir) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return std::nullopt;
  std::vector<std::string> ids;
  for (fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    if (!utf8_valid(name) || !name.starts_with(kYoutubePrefix)) continue;
    for (std::string_view suffix : {std::string_view(".pcm48k"), std::string_view(".audio")}) {
      if (name.size() == kYoutubePrefix.size() + kYoutubeIdBytes + suffix.size() && name.ends_with(suffix)) {
        std::string id = name.substr(kYoutubePrefix.size(), kYoutubeIdBytes);
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(std::move(id));
      }
    }
  }
  return ids;
}

// Normalises the clip's decoded audio and writes its side file: the samples
// first, by rename, so the side file never says "normalised" beside samples
// that are not.
void complete_analysis(const std::string& source, const fs::path& pcm, const MediaLimits& limits) {
  auto samples = read_f32le_file(pcm, limits);
  if (!samples) return;
  const auto media = media_from_pcm(std::move(*samples), false);
  if (!media) return;
  const MediaAnalysis analysis = analyze_key_tempo(*media->samples, source);
  if (!write_pcm_cache(pcm, *media->samples)) return;
  write_analysis_meta(source, analysis.detected_key, analysis.tempo_known != 0, analysis.tempo_bpm);
}

}  // namespace

void clip_cache_backfill_worker(const MediaLimits& limits) {
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  const fs::path dir = player_cache_dir();
  const auto ids = youtube_ids(dir);
  if (!ids) return;
  for (const std::string& id : *ids) {
    // The watch address a search result gives for the id.
    const std::string source = std::string(kYoutubeOrigin) + "/watch?v=" + id;
    const std::string clip = std::string(kYoutubePrefix) + id;
    // Only an id that its watch address maps back to: otherwise the side file
    // would land under another name and the audio be normalised at every start.
    if (clip_id_from_url(source) != clip) continue;
    const fs::path pcm = dir / (clip + ".pcm48k");
    std::error_code ec;
    if (fs::exists(pcm, ec) && !read_analysis_meta(source)) complete_analysis(source, pcm, limits);
    const fs::path video = dir / (clip + ".mp4");
    if (!is_mp4_file(video)) download_clip_video(source, video, limits);
  }
}

}  // namespace melodara
