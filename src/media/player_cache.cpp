#include "media/player_cache.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "core/env_paths.h"
#include "core/file_io.h"
#include "core/stale_temps.h"
#include "core/utf8.h"
#include "media/clip_id.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;

std::optional<fs::path> cache_file(std::string_view source, std::string_view suffix) {
  const std::string_view trimmed = trim_unicode(source);
  if (trimmed.empty()) return std::nullopt;
  return player_cache_dir() / (clip_id_from_url(trimmed) + std::string(suffix));
}

std::optional<std::uintmax_t> file_size_of(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec) return std::nullopt;
  return size;
}

}  // namespace

bool is_web_source(std::string_view source) {
  const std::string_view s = trim_unicode(source);
  return s.starts_with("https://") || s.starts_with("http://");
}

fs::path player_cache_dir() {
  const std::optional<std::string> home = home_folder();
  const fs::path dir =
      home ? fs::path(*home) / ".cache/melodara/player-cache" : user_temp_dir() / "melodara-player-cache";
  std::error_code ec;
  fs::create_directories(dir, ec);
  return dir;
}

std::string download_name_prefix(std::string_view source) {
  return clip_id_from_url(source) + ".dl" + std::to_string(::getpid()) + ".";
}

std::optional<pid_t> download_name_pid(std::string_view name) {
  // Clip ids hold no dot: the first one starts the mark.
  const std::size_t dot = name.find('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  std::string_view rest = name.substr(dot + 1);
  if (!rest.starts_with("dl")) return std::nullopt;
  rest.remove_prefix(2);
  const std::size_t end = rest.find('.');
  if (end == std::string_view::npos) return std::nullopt;
  return pid_from_text(rest.substr(0, end));
}

std::optional<pid_t> clip_video_part_pid(std::string_view name) {
  constexpr std::string_view kMark = ".part.", kEnd = ".mp4";
  // Clip ids hold no dot: the first one starts the mark.
  const std::size_t dot = name.find('.');
  if (dot == std::string_view::npos || dot == 0 || name.substr(dot, kMark.size()) != kMark)
    return std::nullopt;
  std::string_view rest = name.substr(dot + kMark.size());
  if (!rest.ends_with(kEnd)) return std::nullopt;
  rest.remove_suffix(kEnd.size());
  const std::size_t end = rest.find('.');
  if (end == std::string_view::npos) return std::nullopt;
  // A thread number may pass any pid's range: digits are all it must be.
  const std::string_view thread = rest.substr(end + 1);
  if (thread.empty() ||
      !std::all_of(thread.begin(), thread.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  return pid_from_text(rest.substr(0, end));
}

std::size_t remove_stale_cache_temporaries() {
  return remove_stale_temporaries(player_cache_dir(), [](std::string_view name) -> std::optional<pid_t> {
    if (auto pid = temp_name_pid(name)) return pid;
    if (auto pid = download_name_pid(name)) return pid;
    return clip_video_part_pid(name);
  });
}

std::optional<fs::path> pcm_cache_path(std::string_view source) { return cache_file(source, ".pcm48k"); }
std::optional<fs::path> analysis_meta_path(std::string_view source) {
  return cache_file(source, ".meta.json");
}
std::optional<fs::path> audio_cache_path(std::string_view source) {
  if (!is_web_source(source)) return std::nullopt;
  return cache_file(source, ".audio");
}
std::optional<fs::path> video_cache_path(std::string_view source) {
  if (!is_web_source(source)) return std::nullopt;
  return cache_file(source, ".mp4");
}

bool is_usable_pcm_cache(const fs::path& path) {
  const auto size = file_size_of(path);
  return size && *size >= kUsablePcmBytes;
}

bool is_usable_audio_cache(const fs::path& path) {
  const auto size = file_size_of(path);
  return size && *size >= kUsableAudioBytes;
}

bool is_mp4_file(const fs::path& path) {
  const auto fd = open_regular_file(path, Links::Refuse);
  if (!fd) return false;
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0 || st.st_size < 16385) return false;
  unsigned char head[4096];
  ssize_t n;
  do {
    n = ::read(fd->get(), head, sizeof head);
  } while (n < 0 && errno == EINTR);
  if (n < 16 || std::memcmp(head + 4, "ftyp", 4) != 0) return false;
  const std::string_view bytes(reinterpret_cast<const char*>(head), static_cast<std::size_t>(n));
  return bytes.find("av01") == std::string_view::npos;
}

std::optional<std::string> cache_file_path_if_large(const fs::path& path) {
  const auto size = file_size_of(path);
  if (size && *size > 16384) return path.string();
  return std::nullopt;
}

}  // namespace melodara
