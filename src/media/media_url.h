#pragma once
// Page addresses (links to a video site's page, which only yt-dlp can turn
// into media) and their resolution to a direct media address.
#include <expected>
#include <string>
#include <string_view>

#include "core/error_code.h"
#include "core/json_writer.h"
#include "media/media_limits.h"

namespace melodara {

// Starts with "https://" or "http://" and names one of the video sites' hosts.
bool is_page_address(std::string_view source);

struct MediaUrlError {
  ErrorCode code = ErrorCode::InternalError;
  std::string message;
};

// The payload's "url" (an object's text, trimmed) as {"url": direct address}:
// a text that is not a page address answers itself; a page address is resolved
// with `yt-dlp -g` and the given format selector, whose first output line is
// the answer.
// Thread: any (request worker, load ladder). Blocks: yt-dlp up to its limit.
// Allocates: yes.
std::expected<Json, MediaUrlError> resolve_media_url(const Json& payload, std::string_view selector,
                                                     const MediaLimits& limits = {});

}  // namespace melodara
