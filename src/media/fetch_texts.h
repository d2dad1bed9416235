#pragma once
// The fixed texts of the fetch commands: yt-dlp's format selectors and the
// user agent that curl sends.
#include <string_view>

namespace melodara {

// Audio of the audio-and-video download: M4A over https first.
inline constexpr std::string_view kAudioSelector =
    "bestaudio[ext=m4a][protocol=https]/bestaudio[ext=m4a]/bestaudio[protocol=https]/bestaudio/best";

// Clip videos: avc1 MP4 up to 480 and 720 lines over https first, then any MP4
// up to 480 and 720, then format 18, then any MP4.
inline constexpr std::string_view kVideoSelector =
    "bestvideo[ext=mp4][vcodec^=avc1][height<=480][protocol=https]/"
    "best[ext=mp4][vcodec^=avc1][height<=480][protocol=https]/"
    "bestvideo[ext=mp4][vcodec^=avc1][height<=720][protocol=https]/"
    "best[ext=mp4][vcodec^=avc1][height<=720][protocol=https]/"
    "bestvideo[ext=mp4][height<=480]/best[ext=mp4][height<=480]/"
    "bestvideo[ext=mp4][height<=720]/best[ext=mp4][height<=720]/18/best[ext=mp4]";

// A direct media address of a page ("-g"): also what "player.resolve-source" asks for.
inline constexpr std::string_view kDirectSelector =
    "bestaudio[ext=m4a][protocol=https]/bestaudio[ext=m4a][protocol=http]/best[ext=mp4][protocol=https]/"
    "bestaudio/best";

// The download to standard output.
inline constexpr std::string_view kStdoutSelector = "bestaudio[ext=m4a]/bestaudio/best";

inline constexpr std::string_view kUserAgent = "Mozilla/5.0 Melodara/1.0";

}  // namespace melodara
