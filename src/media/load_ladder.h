#pragma once
// The load ladder: turns a source text (a video-site page address, any other
// web address of a media file, or a local path) into a track ready to play,
// trying the cheapest way first: the memory cache, the decoded-audio cache
// file, the fetched source file, the clip's video, a yt-dlp download, a
// direct-address fetch with curl, yt-dlp to standard output, and a decode of
// the source itself. It reports progress in percent, fills the player cache
// (every file by rename from a temporary, each ".pcm48k" followed by its side
// file) and starts a background download of the clip's video. It holds no lock
// of the service: only the caller's progress sink may lock.
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "media/decoded_media.h"
#include "media/media_limits.h"

namespace melodara {

// Receives the load's progress in percent; may be called with a lower value
// after a higher one (a failed step hands over to a later, smaller one).
using LoadProgressSink = std::function<void(std::uint8_t percent)>;

inline constexpr std::string_view kMissingSourceMessage = "Thiếu đường dẫn hoặc URL nguồn phát.";
inline constexpr std::string_view kUnreadableFileMessage = "Không đọc được file: ";
inline constexpr std::string_view kUndecodableMessage =
    "Không giải mã được nguồn âm thanh. Hãy kiểm tra lại URL hoặc định dạng file.";

// The track, or the user-facing message of why there is none. A blank source
// fails without calling the sink. A track from the memory cache shares its
// samples with the cached one; any other track is fresh, without key or tempo
// unless its side file gave them. A load whose limits carry a cancellation
// check stops once it answers true: its running child is killed, its
// decoder stops, and no further step is tried.
// Thread: a load job's or a request worker's. Blocks: for the whole ladder
// (minutes in the worst case: downloads under their limits, then decodes).
// Allocates: yes (the track).
std::expected<DecodedMedia, std::string> load_media_source(std::string_view source,
                                                           const LoadProgressSink& sink,
                                                           const MediaLimits& limits = {});

}  // namespace melodara
