#pragma once
// The engine's side of recording: per frame, samples for the two recorder
// slots gather in pending lists of the engine's own (reserved and written
// once, at thread start); at each successful second try of the state lock they
// move into the slots' chunked lists, whose chunks come resident from the
// state's recorder pool. A take is capped at ten minutes of stereo in `mix`.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/frame_ring.h"
#include "state/native_state.h"

namespace melodara {

// Pending samples are taken while the first pending list holds at most this many.
inline constexpr std::size_t kRecorderPendingLimit = 191'999;
static_assert(kRecorderPendingLimit + 1 <= kRecorderMaxFlush);

struct RecorderPending {
  // Diagnostic slot: mix, vocal, dry microphone (twice), beat; stage slot: mix.
  std::vector<float> mix, vocal, dry, beat, stage_mix;
  std::uint64_t take_memo = 0, stage_take_memo = 0;
  bool active = false, stage_active = false;  // copied at the last copy
};

// Thread: engine start. Allocates: yes (about 3.8 MB, every page written).
RecorderPending recorder_pending_new();

// Copy path: the slots' take counters and active flags; a new take drops
// what was gathered for the old one. Thread: engine. Allocates: no.
void recorder_note_slots(RecorderPending& p, const RecorderSlot& recording, const RecorderSlot& stage);

// What one block gives the recorder, frame by frame (the routing mix's
// recorder outputs; `beat` is the backing feed). n = the smallest length.
struct RecorderBlock {
  std::span<const StereoFrame> mix, vocal, dry_mic, beat;
};

// Appends the block frame by frame while the first pending list holds at most
// kRecorderPendingLimit samples. Thread: engine. Allocates: no.
void recorder_capture_block(RecorderPending& p, const RecorderBlock& block);

// Second lock: appends the pending samples to active slots of the same take
// while under the cap, then drops them. When the pool cannot give the chunks
// they need (its keeper is behind), they stay pending for the next block.
// Thread: engine, holding the state lock. Allocates: no. Blocks: no.
void recorder_flush(RecorderPending& p, RecorderSlot& recording, RecorderSlot& stage, RecorderPool& pool);

}  // namespace melodara
