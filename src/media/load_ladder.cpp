#include "media/load_ladder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/process_runner.h"
#include "core/tool_discovery.h"
#include "core/utf8.h"
#include "media/analysis_meta.h"
#include "media/clip_video.h"
#include "media/fetch_texts.h"
#include "media/ffmpeg_decode.h"
#include "media/file_io.h"
#include "media/media_cache.h"
#include "media/media_url.h"
#include "media/pcm_cache_writer.h"
#include "media/pcm_samples.h"
#include "media/player_cache.h"
#include "media/wav_reader.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool is_http_address(std::string_view text) {
  return text.starts_with("https://") || text.starts_with("http://");
}

// Removes the regular files a download run left under its own prefix in the
// cache folder (a killed run's partial files among them); links and folders
// are not a download's and stay.
void sweep_downloads(const fs::path& dir, const std::string& prefix) {
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->path().filename().string().starts_with(prefix)) continue;
    std::error_code status_error;
    if (fs::is_regular_file(it->symlink_status(status_error))) ::unlink(it->path().c_str());
  }
}

// A file that this load's own download wrote: a regular file (not a link)
// directly inside the cache folder, named with the run's prefix. Tool output
// naming anything else is ignored: it must never make us read, move or delete
// other files.
std::optional<fs::path> own_download(std::string_view line, const fs::path& dir, const std::string& prefix) {
  const fs::path p = fs::path(line).lexically_normal();
  if (!p.filename().string().starts_with(prefix)) return std::nullopt;
  if (p.parent_path() != dir.lexically_normal()) return std::nullopt;
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return p;
}

class Ladder {
 public:
  Ladder(std::string source, const LoadProgressSink& sink, const MediaLimits& limits)
      : s_(std::move(source)), sink_(sink), limits_(limits) {}

  std::expected<DecodedMedia, std::string> run();

 private:
  void report(std::uint8_t percent) const {
    if (sink_) sink_(percent);
  }
  bool cancelled() const { return load_cancelled(limits_); }
  std::optional<DecodedMedia> from_memory_cache() const;
  std::optional<DecodedMedia> from_pcm_cache() const;
  std::optional<DecodedMedia> from_cached_file(const fs::path& path, std::uint8_t start, bool drop_if_bad);
  std::optional<DecodedMedia> from_download();
  std::optional<DecodedMedia> from_direct_address();
  std::optional<DecodedMedia> from_stdout_download();
  std::expected<DecodedMedia, std::string> from_source();

  // Decodes fetched bytes, reporting `before` and then 95; on success caches
  // the track and, for bytes fetched from the network, keeps them as ".audio".
  std::optional<DecodedMedia> decode_fetched(const Bytes& bytes, std::uint8_t before,
                                             bool keep_as_audio) const;
  std::expected<DecodedMedia, DecodeFailure> decode_bytes(const Bytes& bytes) const;
  void cache_track(const DecodedMedia& media) const;
  void ensure_video();

  const std::string s_;
  const LoadProgressSink& sink_;
  const MediaLimits& limits_;
  bool page_ = false;
  std::optional<fs::path> video_path_, pcm_path_, audio_path_;
  bool video_cached_ = false;
  bool video_at_start_ = false;
};

std::expected<DecodedMedia, DecodeFailure> Ladder::decode_bytes(const Bytes& bytes) const {
  auto pcm = decode_bytes_ffmpeg(bytes, limits_);
  if (!pcm) return std::unexpected(pcm.error());
  auto media = media_from_pcm(std::move(*pcm), false);
  if (!media) return std::unexpected(DecodeFailure::Unavailable);
  return std::move(*media);
}

void Ladder::cache_track(const DecodedMedia& media) const {
  try {
    spawn_write_pcm_cache(pcm_path_, media.samples,
                          SideFileNote{s_, media.detected_key, media.tempo_known != 0, media.tempo_bpm});
  } catch (const std::runtime_error&) {
    // No thread for the write: the track plays all the same, uncached, as
    // after a failed write.
  }
}

std::optional<DecodedMedia> Ladder::decode_fetched(const Bytes& bytes, std::uint8_t before,
                                                   bool keep_as_audio) const {
  report(before);
  auto pcm = decode_bytes_ffmpeg(bytes, limits_);
  if (!pcm) return std::nullopt;
  report(95);
  auto media = media_from_pcm(std::move(*pcm), false);
  if (!media) return std::nullopt;
  // Kept only once it decoded: an error page fetched with success must not
  // become the source that every later load tries first.
  if (keep_as_audio && audio_path_) write_file_replacing(*audio_path_, bytes);
  cache_track(*media);
  return media;
}

std::optional<DecodedMedia> Ladder::from_memory_cache() const {
  const auto entry = media_cache_get(s_);
  if (!entry) return std::nullopt;
  report(100);
  DecodedMedia media = entry->media;
  media.detected_key = entry->detected_key;
  media.tempo_known = entry->tempo_known;
  media.tempo_bpm = entry->tempo_bpm;
  return media;
}

std::optional<DecodedMedia> Ladder::from_pcm_cache() const {
  if (!pcm_path_ || !is_usable_pcm_cache(*pcm_path_)) return std::nullopt;
  auto samples = read_f32le_file(*pcm_path_, limits_);
  if (!samples) return std::nullopt;
  const auto meta = read_analysis_meta(s_);
  const bool normalized = meta && meta->normalized;
  auto media = media_from_pcm(std::move(*samples), normalized);
  if (!media) return std::nullopt;
  if (normalized) {
    media->detected_key = meta->detected_key;
    media->tempo_known = meta->detected_bpm ? 1 : 0;
    media->tempo_bpm = meta->detected_bpm.value_or(0.0f);
  } else {
    // Normalised just now: the file gets the normalised samples and a side
    // file saying so (without key or tempo, which the job then analyses).
    cache_track(*media);
  }
  report(99);
  return media;
}

std::optional<DecodedMedia> Ladder::from_cached_file(const fs::path& path, std::uint8_t start,
                                                     bool drop_if_bad) {
  report(start);
  const auto bytes = read_regular_file(path, limits_.max_source_bytes, Links::Refuse);
  if (!bytes) return std::nullopt;
  auto media = decode_bytes(*bytes);
  if (!media) {
    // A fetched source that the decoders refuse (an error page cached before
    // it was checked) would be tried first by every load: it goes. One they
    // could not judge (no ffmpeg, the track bound, a cancel) stays.
    if (drop_if_bad && media.error() == DecodeFailure::Refused) ::unlink(path.c_str());
    return std::nullopt;
  }
  cache_track(*media);
  report(98);
  return std::move(*media);
}

void Ladder::ensure_video() {
  if (video_cached_ || !video_path_ || cancelled()) return;
  video_cached_ = download_clip_video(s_, *video_path_, limits_);
}

std::optional<DecodedMedia> Ladder::from_download() {
  report(25);
  const std::optional<std::string> ytdlp = resolve_ytdlp_path();
  if (!ytdlp) return std::nullopt;
  const fs::path dir = player_cache_dir();
  const std::string prefix = download_name_prefix(s_);
  const std::string output_template = dir.string() + "/" + prefix + "%(format_id)s.%(ext)s";
  report(35);
  const ProcessResult run =
      run_process(ytdlp_download_args(Command{*ytdlp, {}},
                                      {"-4", "--socket-timeout", "10", "--no-config", "--no-playlist",
                                       "--no-part", "--concurrent-fragments", "4", "-f",
                                       std::string(kAudioSelector) + "," + std::string(kVideoSelector),
                                       "--print", "after_move:filepath", "-o", output_template, s_}),
                  tool_run_options(limits_.download_limit, limits_.max_tool_text_bytes, limits_));

  std::optional<Bytes> audio;
  if (run) {
    const std::string text =
        utf8_lossy(std::string_view(reinterpret_cast<const char*>(run->stdout.data()), run->stdout.size()));
    std::string_view rest = text;
    while (!rest.empty()) {
      const std::size_t nl = rest.find('\n');
      const std::string_view line = trim_unicode(rest.substr(0, nl));
      rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
      if (line.empty()) continue;
      const auto file = own_download(line, dir, prefix);
      if (!file) continue;
      if (lower(file->extension().string()) == ".mp4" && video_path_ && is_mp4_file(*file) &&
          ::rename(file->c_str(), video_path_->c_str()) == 0) {
        video_cached_ = true;
        continue;
      }
      if (!audio) {
        auto bytes = read_regular_file(*file, limits_.max_source_bytes, Links::Refuse);
        if (bytes && bytes->size() >= kUsableAudioBytes) audio = std::move(*bytes);
      }
      ::unlink(file->c_str());
    }
  }
  // Whatever the run left (a killed run's partial files included) goes.
  sweep_downloads(dir, prefix);
  if (cancelled()) return std::nullopt;

  ensure_video();
  bool audio_from_download = audio.has_value();
  if (!audio && video_cached_ && video_path_) {
    if (auto bytes = read_regular_file(*video_path_, limits_.max_source_bytes, Links::Refuse)) {
      audio = std::move(*bytes);
    }
  }
  if (!audio) return std::nullopt;
  return decode_fetched(*audio, 80, audio_from_download);
}

std::optional<DecodedMedia> Ladder::from_direct_address() {
  const auto resolved = resolve_media_url(Json{{"url", s_}}, kDirectSelector, limits_);
  if (!resolved) return std::nullopt;
  const auto url = resolved->find("url");
  if (url == resolved->end() || !url->is_string()) return std::nullopt;
  const std::string direct = url->get<std::string>();
  // Only a web address goes on to curl and ffmpeg, never an option or a file.
  if (!is_http_address(direct)) return std::nullopt;

  report(60);
  const ProcessResult fetched =
      run_process(curl_download_args(Command{"curl", {}}, {"-4", "-sL", "--max-time", "60", "-A", kUserAgent,
                                                           "-H", "Range: bytes=0-", direct}),
                  tool_run_options(limits_.ranged_fetch_limit, limits_.max_source_bytes, limits_));
  if (fetched && exited_ok(fetched->status) && fetched->stdout.size() >= kUsableAudioBytes) {
    if (auto media = decode_fetched(fetched->stdout, 80, true)) return media;
  }
  if (cancelled()) return std::nullopt;
  report(70);
  auto media = decode_source_ffmpeg(direct, limits_);
  if (!media) return std::nullopt;
  report(95);
  return media;
}

std::optional<DecodedMedia> Ladder::from_stdout_download() {
  const std::optional<std::string> ytdlp = resolve_ytdlp_path();
  if (!ytdlp) return std::nullopt;
  report(65);
  const ProcessResult run = run_process(
      ytdlp_stdout_args(Command{*ytdlp, {}}, {"-4", "--socket-timeout", "10", "--no-config", "--no-playlist",
                                              "-f", kStdoutSelector, "-o", "-", s_}),
      tool_run_options(limits_.stdout_download_limit, limits_.max_source_bytes, limits_));
  if (!run || !exited_ok(run->status) || run->stdout.size() < kUsableAudioBytes) return std::nullopt;
  return decode_fetched(run->stdout, 85, true);
}

std::expected<DecodedMedia, std::string> Ladder::from_source() {
  report(50);
  if (auto media = decode_source_ffmpeg(s_, limits_)) {
    report(95);
    return std::move(*media);
  }
  struct stat st {};
  if (!cancelled() && ::stat(s_.c_str(), &st) == 0) {
    auto bytes = read_regular_file(s_, limits_.max_source_bytes, Links::Follow);
    if (!bytes) {
      const FileReadError& e = bytes.error();
      // FIFOs, devices and oversized files are sources we do not decode.
      if (e.kind == FileReadError::Kind::Directory || e.kind == FileReadError::Kind::Failed) {
        return std::unexpected(std::string(kUnreadableFileMessage) + e.text());
      }
    } else if (auto wav = parse_wav_file(*bytes, limits_)) {
      report(95);
      if (auto media = media_from_pcm(std::move(wav->samples), false)) return std::move(*media);
    }
  }
  return std::unexpected(std::string(kUndecodableMessage));
}

std::expected<DecodedMedia, std::string> Ladder::run() {
  if (s_.empty()) return std::unexpected(std::string(kMissingSourceMessage));
  page_ = is_page_address(s_);
  video_path_ = video_cache_path(s_);
  video_cached_ = video_at_start_ = video_path_ && is_mp4_file(*video_path_);
  pcm_path_ = pcm_cache_path(s_);
  audio_path_ = audio_cache_path(s_);
  const bool audio_usable = audio_path_ && is_usable_audio_cache(*audio_path_);
  if (video_path_ && !video_cached_ && page_ &&
      ((pcm_path_ && is_usable_pcm_cache(*pcm_path_)) || audio_usable)) {
    try {
      // The video outlives the load: its download is not the load's to cancel.
      MediaLimits video_limits = limits_;
      video_limits.cancelled = nullptr;
      download_clip_video_thread(s_, *video_path_, video_limits);
    } catch (const std::runtime_error&) {
      // No thread for the video: the audio loads all the same.
    }
  }

  // A cancelled load tries no further step.
  const auto stopped = [] { return std::unexpected(std::string(kUndecodableMessage)); };
  if (auto media = from_memory_cache()) return std::move(*media);
  report(15);
  if (auto media = from_pcm_cache()) return std::move(*media);
  if (audio_usable) {
    if (auto media = from_cached_file(*audio_path_, 75, true)) return std::move(*media);
  }
  if (video_at_start_) {
    if (cancelled()) return stopped();
    if (auto media = from_cached_file(*video_path_, 78, false)) return std::move(*media);
  }
  if (page_) {
    if (cancelled()) return stopped();
    if (auto media = from_download()) return std::move(*media);
    ensure_video();
    if (cancelled()) return stopped();
    if (auto media = from_direct_address()) return std::move(*media);
    if (cancelled()) return stopped();
    if (auto media = from_stdout_download()) return std::move(*media);
  }
  if (cancelled()) return stopped();
  return from_source();
}

}  // namespace

std::expected<DecodedMedia, std::string> load_media_source(std::string_view source,
                                                           const LoadProgressSink& sink,
                                                           const MediaLimits& limits) {
  Ladder ladder(std::string(trim_unicode(source)), sink, limits);
  return ladder.run();
}

}  // namespace melodara
