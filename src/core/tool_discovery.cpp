#include "core/tool_discovery.h"

#include <filesystem>
#include <system_error>

#include "core/env_paths.h"
#include "core/process_runner.h"
#include "core/utf8.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;

bool is_regular(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

// The trimmed value of the variable, when set, valid UTF-8 and not blank.
std::optional<std::string> env_path(const char* name) {
  const std::optional<std::string> value = env_text(name);
  if (!value) return std::nullopt;
  const std::string_view trimmed = trim_unicode(*value);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

std::optional<std::string> first_probe(std::initializer_list<const char*> names, const char* version_flag) {
  for (const char* name : names) {
    if (probe_command(Command{name, {version_flag}})) return std::string(name);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> resolve_ytdlp_path() {
  if (const auto configured = env_path("MELODARA_YTDLP_PATH"); configured && is_regular(*configured)) {
    const fs::path sibling = fs::path(*configured).parent_path() / "ytdlp-dir" / "yt-dlp_macos";
    if (is_regular(sibling)) return sibling.string();
    return *configured;
  }
  std::vector<fs::path> candidates;
  if (const auto home = home_folder()) {
    const fs::path h(*home);
    candidates.push_back(h / "Library/Application Support/Melodara/bin/ytdlp-dir/yt-dlp_macos");
    candidates.push_back(h / "Library/Application Support/Melodara/bin/yt-dlp");
    candidates.push_back(h / ".local/bin/yt-dlp");
  }
  candidates.emplace_back("/opt/homebrew/bin/yt-dlp");
  candidates.emplace_back("/usr/local/bin/yt-dlp");
  candidates.emplace_back("/usr/bin/yt-dlp");
  for (const fs::path& c : candidates) {
    if (is_regular(c)) return c.string();
  }
  return first_probe({"yt-dlp", "yt-dlp.exe"}, "--version");
}

std::optional<std::string> resolve_ffmpeg_path() {
  if (const auto configured = env_path("MELODARA_FFMPEG_PATH")) {
    std::error_code ec;
    if (fs::exists(*configured, ec)) return *configured;
  }
  for (const char* c : {"/opt/homebrew/bin/ffmpeg", "/usr/local/bin/ffmpeg", "/usr/bin/ffmpeg"}) {
    if (is_regular(c)) return std::string(c);
  }
  // Returned with "./" so that running it takes this file, not a search-path hit.
  for (const char* c : {"ffmpeg", "ffmpeg.exe"}) {
    if (is_regular(fs::path(".") / c)) return "./" + std::string(c);
  }
  return first_probe({"ffmpeg", "ffmpeg.exe"}, "-version");
}

}  // namespace melodara
