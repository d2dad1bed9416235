#pragma once
// The synchronous load of a request worker: the load ladder with a progress
// sink that writes only the player's load progress, and only while the player
// still waits for this load.
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "media/decoded_media.h"
#include "media/media_limits.h"
#include "state/native_state.h"

namespace melodara {

// Sets the player's load progress to `percent` when its media generation is
// still `generation` (a poisoned state is left alone).
// Thread: any. Blocks: on the state lock.
// Allocates: no.
void report_player_load_progress(const SharedState& state, std::uint64_t generation, std::uint8_t percent);

// load_media_source with report_player_load_progress as its sink. It cannot
// be cancelled, but stops (children killed within half a second, no further
// step) once `watch` has moved past `generation`: a newer load or an unload
// took the player.
// Thread: a request worker. Blocks: for the whole ladder (never holding a lock
// but the sink's, briefly).
// Allocates: yes (the track).
std::expected<DecodedMedia, std::string> load_media_source_with_player_progress(
    std::string_view source, const SharedState& state, std::uint64_t generation, const GenerationWatch& watch,
    const MediaLimits& limits = {});

}  // namespace melodara
