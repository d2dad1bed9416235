#pragma once
// The video sites' host names, searched as plain substrings of a source text:
// they decide clip ids and which sources are page addresses for yt-dlp.
#include <string_view>

namespace melodara {

inline constexpr std::string_view kYoutubeMainHost = "youtube.com";
inline constexpr std::string_view kYoutubeShortHost = "youtu.be";
inline constexpr std::string_view kYoutubeEmbedHost = "youtube-nocookie.com";
inline constexpr std::string_view kBilibiliHost = "bilibili.com";

}  // namespace melodara
