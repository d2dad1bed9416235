#pragma once
// Finds the yt-dlp and ffmpeg executables. Nothing is cached: every call looks
// at the file system again and probes the search path when needed.
#include <optional>
#include <string>

namespace melodara {

// MELODARA_YTDLP_PATH (or its sibling "ytdlp-dir/yt-dlp_macos"), then the fixed
// install folders, then a "--version" probe of "yt-dlp" and "yt-dlp.exe".
// Thread: any. Allocates: yes. Blocks: file system; may run a probe to its end.
std::optional<std::string> resolve_ytdlp_path();

// MELODARA_FFMPEG_PATH (any existing path), the fixed install folders, "ffmpeg"
// in the working folder, then a "-version" probe. Used by the recording export.
// Thread: any. Allocates: yes. Blocks: file system; may run a probe to its end.
std::optional<std::string> resolve_ffmpeg_path();

}  // namespace melodara
