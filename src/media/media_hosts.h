#pragma once
// The video sites' own addresses (scheme and host, no trailing slash) that the
// service builds links and endpoints on.
#include <string_view>

namespace melodara {

// Watch pages and the web search endpoint.
inline constexpr std::string_view kYoutubeOrigin = "https://www.youtube.com";
// Video thumbnails.
inline constexpr std::string_view kYoutubeThumbnailOrigin = "https://i.ytimg.com";
// Video pages.
inline constexpr std::string_view kBilibiliOrigin = "https://www.bilibili.com";
// The search endpoint.
inline constexpr std::string_view kBilibiliApiOrigin = "https://api.bilibili.com";

}  // namespace melodara
