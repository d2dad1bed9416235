#pragma once
// The engine's side of recording: per frame, samples for the two recorder
// slots gather in pending lists of the engine's own (reserved once, at thread
// start); at each successful second try of the state lock they move into the
// slots. A take is capped at ten minutes of stereo in `mix`.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/frame_ring.h"
#include "state/native_state.h"

namespace melodara {

inline constexpr std::size_t kRecorderSampleCap = 57'600'000;  // 600 s of stereo
// Pending samples are taken while the first pending list holds at most this many.
inline constexpr std::size_t kRecorderPendingLimit = 191'999;

struct RecorderPending {
  // Diagnostic slot: mix, vocal, dry microphone (twice), beat; stage slot: mix.
  std::vector<float> mix, vocal, dry, beat, stage_mix;
  std::uint64_t take_memo = 0, stage_take_memo = 0;
  bool active = false, stage_active = false;  // copied at the last copy
};

// Thread: engine start. Allocates: yes (about 3.8 MB).
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
// while under the cap. The first append of a take reserves the slot's lists
// for the whole cap (address space only until written), so no later append
// reallocates and copies a long take under the lock.
// Thread: engine, holding the state lock. Allocates: once per take and list.
void recorder_flush(RecorderPending& p, RecorderSlot& recording, RecorderSlot& stage);

}  // namespace melodara
