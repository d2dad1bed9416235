#pragma once
// The two recording targets' records (`RecorderSlot`): a take's sample lists,
// grown by the engine thread from a pool of resident chunks, and the paths of
// the last export; with the slot's changes of state: a take starts, ends (its
// lists moved out for the export) or, when the export failed, goes back.
// Everything here runs under the state lock.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/chunk_pool.h"

namespace melodara {

inline constexpr std::size_t kRecorderSampleCap = 57'600'000;  // samples in `mix`: 600 s of stereo
// The cap is tested before an append, so a list may pass it by one engine
// flush, which is at most this many samples.
inline constexpr std::size_t kRecorderMaxFlush = 192'000;
inline constexpr std::size_t kRecorderChunkSamples = 65'536;  // 256 kB: 0.68 s of stereo
inline constexpr std::size_t kRecorderChunkTable =
    (kRecorderSampleCap + kRecorderMaxFlush + kRecorderChunkSamples - 1) / kRecorderChunkSamples;
// Chunks kept ready: over four seconds of both targets recording (five lists);
// the keeper looks every 20 ms.
inline constexpr std::size_t kRecorderPoolStock = 32;

using RecorderPool = ChunkPool<float, kRecorderChunkSamples>;
// Interleaved stereo at 48 kHz.
using RecorderSamples = ChunkedList<float, kRecorderChunkSamples, kRecorderChunkTable>;

struct RecorderSlot {
  RecorderSamples mix;
  RecorderSamples vocal;   // diagnostic target only
  RecorderSamples dryMic;  // diagnostic target only
  RecorderSamples beat;    // diagnostic target only
  std::string savedPath;
  std::string sharePath;
  std::string vocalPath;
  std::string dryPath;
  std::string beatPath;
  std::uint64_t take = 0;
  float durationSec = 0.0f;
  bool active = false;
};

enum class RecorderTarget { diagnostic, stage };

// "stage" selects the stage target; every other text, and none, the diagnostic one.
// Thread: any. Allocates: no. Blocks: no.
RecorderTarget recorder_target_of(const std::optional<std::string>& text);
// "diagnostic" or "stage", as answers name them. Thread: any. Allocates: no. Blocks: no.
std::string_view recorder_target_name(RecorderTarget target);

// A take's lists, moved out of their slot by a stop.
struct RecorderTake {
  RecorderSamples mix, vocal, dryMic, beat;
  std::uint64_t take = 0;
};

// Begins a new take: the counter moves on, the lists are emptied (their chunks
// kept), the paths stay. Stocks the pool on the calling thread the first time.
// Thread: request, holding the state lock. Allocates: the pool's stock, once.
void recorder_start(RecorderSlot& slot, RecorderPool& pool);

// Ends the take (`active` false at once) and moves the lists into `out`,
// leaving the slot's empty. False, with nothing moved, when there is nothing to
// export: no take active, no samples waiting, and either an earlier export's
// paths to answer with or no take ever started in this process.
// Thread: any, holding the state lock. Allocates: no.
bool recorder_take_out(RecorderSlot& slot, RecorderPool& pool, RecorderTake& out);

// Gives a take whose export failed back to its slot, so the next stop exports
// it; not when a newer take has begun there (the take then stays in `take`).
// Thread: any, holding the state lock. Allocates: no.
bool recorder_put_back(RecorderSlot& slot, RecorderTake& take);

// Hands the take's chunks back to the pool. Thread: not realtime.
void recorder_release(RecorderTake& take, RecorderPool& pool);

}  // namespace melodara
