#pragma once
// The video sites' host names and addresses: the hosts are searched as plain
// substrings of a source text (they decide clip ids and which sources are page
// addresses for yt-dlp); the addresses (scheme and host, no trailing slash) are
// what the service builds links and endpoints on.
#include <string_view>

namespace melodara {

inline constexpr std::string_view kYoutubeMainHost = "youtube.com";
inline constexpr std::string_view kYoutubeShortHost = "youtu.be";
inline constexpr std::string_view kYoutubeEmbedHost = "youtube-nocookie.com";
inline constexpr std::string_view kBilibiliHost = "bilibili.com";

// Watch pages and the web search endpoint.
inline constexpr std::string_view kYoutubeOrigin = "https://www.youtube.com";
// Video thumbnails.
inline constexpr std::string_view kYoutubeThumbnailOrigin = "https://i.ytimg.com";
// Video pages.
inline constexpr std::string_view kBilibiliOrigin = "https://www.bilibili.com";
// The search endpoint.
inline constexpr std::string_view kBilibiliApiOrigin = "https://api.bilibili.com";

}  // namespace melodara
