#include "media/player_load.h"

#include "media/load_ladder.h"

namespace melodara {

void report_player_load_progress(const SharedState& state, std::uint64_t generation, std::uint8_t percent) {
  auto g = state->lock();
  if (!g.poisoned() && g->player.mediaGeneration == generation) g->player.loadProgress = percent;
}

std::expected<DecodedMedia, std::string> load_media_source_with_player_progress(std::string_view source,
                                                                                const SharedState& state,
                                                                                std::uint64_t generation,
                                                                                const GenerationWatch& watch,
                                                                                const MediaLimits& limits) {
  MediaLimits watched = limits;
  watched.cancelled = [&watch, generation] { return generation_moved_past(watch, generation); };
  return load_media_source(
      source,
      [&state, generation](std::uint8_t percent) { report_player_load_progress(state, generation, percent); },
      watched);
}

}  // namespace melodara
