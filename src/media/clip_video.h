#pragma once
// Downloading a clip's video into the player cache as an MP4 for the host to
// show, one download per target at a time: a second request for the same
// target waits for the first instead of downloading again.
#include <filesystem>
#include <string>

#include "media/media_limits.h"

namespace melodara {

// True when `target` holds a usable MP4 at the end. yt-dlp writes to a
// temporary name beside the target that is renamed into place only when it is
// a usable MP4; on every other outcome the temporary file is removed.
// Thread: any. Blocks: up to the video download limit, or while another
// download of the same target runs (at most the wait polls).
// Allocates: yes.
bool download_clip_video(const std::string& source, const std::filesystem::path& target,
                         const MediaLimits& limits = {});

// Runs download_clip_video on a detached thread of its own and drops the result.
// Throws std::runtime_error("failed to spawn thread") when no thread can start.
// Thread: any. Blocks: no.
// Allocates: yes (the thread and its copies).
void download_clip_video_thread(std::string source, std::filesystem::path target, MediaLimits limits = {});

}  // namespace melodara
