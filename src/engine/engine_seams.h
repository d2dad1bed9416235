#pragma once
// The engine's calls into neighbours, each one small function so the real
// call is wired in one place: the program-stream push, the live key seeding,
// and voice calibration's measure and analysis.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "dsp/dsp_meters.h"
#include "dsp/key_tracker.h"
#include "dsp/voice_calibration.h"
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

// Seeds the engine's own live key tracker with a given key (pitch class) and
// tempo: it stops its own key and tempo search.
// Thread: engine, holding the state lock. Allocates: no. Blocks: no.
void engine_seed_live_key(LiveKeyTracker& tracker, std::uint64_t key_index, bool minor, float bpm);

// The engine's side of voice calibration: the active flag as last copied from
// the state, the band filters (kept for the thread's life) and this block's
// measurements.
struct EngineVoiceCal {
  bool active = false;
  VoiceCalBands bands = voice_cal_bands_new();
  VoiceCalBlock block;
};

// Measures one block: the bands of the microphone block while the copied flag
// is set, its gained RMS and the chain's detected pitch.
// Thread: engine. Allocates: no. Blocks: no.
void engine_voice_cal_measure(EngineVoiceCal& cal, std::span<const float> mic, float mic_rms,
                              float pitch_hz) noexcept;

// The analysis of the block under the second state lock, while the state's
// run is active; a completion here leaves the profile file to the writer.
// Thread: engine, holding the state lock. Allocates: no. Blocks: no.
void engine_voice_cal_block(NativeState& state, const EngineVoiceCal& cal) noexcept;

}  // namespace melodara
