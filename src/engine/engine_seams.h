#pragma once
// The engine's calls into neighbours, each one small function so the real
// call is wired in one place: the program-stream push, and the live key
// seeding and voice-calibration block that arrive with their subsystems.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "dsp/dsp_meters.h"
#include "dsp/key_tracker.h"
#include "engine/frame_ring.h"
#include "engine/program_stream.h"
#include "state/native_state.h"

namespace melodara {

// One frame to each program-stream slot that is there (the backing slot
// first), both stamped with the copied audio revision. The engine thread is
// the only producer of each slot's queue.
// Thread: engine only. Allocates: no. Blocks: no.
void engine_push_program_frames(ProgramStream* primary, ProgramStream* backing, std::uint64_t stamp,
                                StereoFrame primary_frame, StereoFrame backing_frame);

// Seeds the engine's own live key tracker with a given key. Filled by the
// live key tracker's seeding; until then the tracker searches on its own.
// Thread: engine, holding the state lock. Allocates: no. Blocks: no.
void engine_seed_live_key(LiveKeyTracker& tracker, std::uint64_t key_index, bool minor, float bpm);

// The voice-calibration analysis of one block, under the second state lock;
// it tests its own active flag. Filled by voice calibration.
// Thread: engine, holding the state lock. Allocates: no. Blocks: no.
void engine_voice_cal_block(NativeState& state, std::span<const float> mic, const DspMeters& meters);

}  // namespace melodara
