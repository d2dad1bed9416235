#pragma once
// Clip ids: the short name that every backing-track source (page address,
// direct address or local path) gives its files in the player cache.
#include <string>
#include <string_view>

#include "media/media_hosts.h"

namespace melodara {

// "clip-yt-" + 11 id characters, "clip-bili-" + BV id, or "clip-" + 16 hex digits
// of the FNV-1a 64 hash of the trimmed source.
// Thread: any. Allocates: yes. Blocks: no.
std::string clip_id_from_url(std::string_view source);

// FNV-1a 64-bit hash of the bytes. Thread: any. Allocates: no. Blocks: no.
std::uint64_t fnv1a64(std::string_view bytes);

}  // namespace melodara
