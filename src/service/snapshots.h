#pragma once
// Pictures of the shared state that most operations answer with. Each takes the
// locked state and builds a new object; none changes the state.
// Every builder: Thread: any, holding the state lock. Allocates: yes. Blocks: no,
// but for player_status_json.
#include <optional>
#include <string>

#include "core/json_writer.h"
#include "engine/device_list.h"
#include "engine/program_stream.h"
#include "state/native_state.h"

namespace melodara {

inline constexpr const char* kBuildId = "tunewerk-dsp-10-10";

Json audio_status_json(const NativeState& state);
Json dsp_state_json(const NativeState& state);
// Queries the size of the track's cached clip video, if it has one. Blocks: file system.
Json player_status_json(const NativeState& state);

// A program-stream slot's status object: state, sampleRate, channels,
// frameSamples, the counters and the error.
Json program_stream_status_json(const ProgramStreamStatus& status);

// The "devices.list" object from the lists and the stored bus name.
Json devices_list_json(const DeviceLists& lists, const std::optional<std::string>& bus_name);

// The answer of the recording operations: the five paths, `recording`, the
// duration rounded to two decimals in 32-bit floats, the target's name.
Json recording_json(const RecorderSlot& slot, RecorderTarget target, bool recording, float duration_sec);
// As a status: while a take runs, its duration so far.
Json recording_status_json(const RecorderSlot& slot, RecorderTarget target);

// The recording objects of the two targets (the "stage" one is shorter).
Json recording_slot_json(const RecorderSlot& slot);
Json stage_recording_slot_json(const RecorderSlot& slot);

}  // namespace melodara
