#include "media/clip_id.h"

#include <cstdint>
#include <cstdio>

#include "core/utf8.h"

namespace melodara {
namespace {

bool is_id_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool is_youtube_id(std::string_view s) {
  if (s.size() != 11) return false;
  for (char c : s) {
    if (!is_id_char(c)) return false;
  }
  return true;
}

bool is_ascii_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The text after the first `marker`, up to the first of `stops` or the end.
std::string_view segment_after(std::string_view text, std::string_view marker, std::string_view stops) {
  const std::size_t at = text.find(marker);
  if (at == std::string_view::npos) return {};
  std::string_view rest = text.substr(at + marker.size());
  return rest.substr(0, std::min(rest.find_first_of(stops), rest.size()));
}

}  // namespace

std::uint64_t fnv1a64(std::string_view bytes) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (char c : bytes) {
    h ^= static_cast<std::uint8_t>(c);
    h *= 0x100000001b3ULL;
  }
  return h;
}

std::string clip_id_from_url(std::string_view source) {
  const std::string_view s = trim_unicode(source);
  if (is_youtube_id(s)) return "clip-yt-" + std::string(s);

  const std::string short_marker = std::string(kYoutubeShortHost) + "/";
  if (s.contains(short_marker)) {
    const std::string_view id = segment_after(s, short_marker, "#&/?");
    if (is_youtube_id(id)) return "clip-yt-" + std::string(id);
  }
  if (s.contains(kYoutubeMainHost) || s.contains(kYoutubeEmbedHost)) {
    // A "?" does not end the "v=" value.
    if (const std::string_view id = segment_after(s, "v=", "#&/"); is_youtube_id(id)) {
      return "clip-yt-" + std::string(id);
    }
    for (std::string_view marker : {"/embed/", "/shorts/", "/live/"}) {
      if (!s.contains(marker)) continue;
      const std::string_view id = segment_after(s, marker, "#&/?");
      if (is_youtube_id(id)) return "clip-yt-" + std::string(id);
    }
  }
  if (const std::size_t at = s.find("/BV"); at != std::string_view::npos) {
    std::size_t end = at + 1;
    while (end < s.size() && is_ascii_alnum(s[end])) ++end;
    const std::string_view run = s.substr(at + 1, end - at - 1);
    if (run.size() > 9) return "clip-bili-" + std::string(run);
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fnv1a64(s)));
  return "clip-" + std::string(hex);
}

}  // namespace melodara
