#pragma once
// The operation handlers, by family. Each may take its request as validated.
// Locked handlers (those taking the state): Thread: the reader or a request
// worker, the dispatcher holding the state lock. Allocates: yes. Blocks: no
// I/O, so the engine's try-locks keep succeeding. Unlocked handlers (those
// taking the shared records): Thread: the reader or a request worker, holding
// no lock. Allocates: yes. Blocks: as each one says.
#include <cstdint>
#include <string_view>

#include "service/dispatch.h"

namespace melodara {

// Stores the canonical routing mode of `text` in the locked state and bumps its
// audio revision (also when the mode stays the same); returns the new revision.
// Thread: a request's, holding the state lock. Allocates: yes.
std::uint64_t parse_routing_mode(NativeState& state, std::string_view text);

// System and soundboard.
HandlerResult handle_handshake(NativeState& state, const Json& payload);
HandlerResult handle_soundboard_trigger(NativeState& state, const Json& payload);
HandlerResult handle_soundboard_stop(NativeState& state, const Json& payload);

// Devices, audio, mixer and program streams.
// Blocks: briefly on the state lock; up to 450 ms for a device enumeration.
HandlerResult handle_devices_list(const SharedState& state, const LoadJobTable& jobs, const Request& request);
HandlerResult handle_audio_configure(NativeState& state, const Json& payload);
HandlerResult handle_audio_start(NativeState& state, const Json& payload);
HandlerResult handle_audio_stop(NativeState& state, const Json& payload);
HandlerResult handle_audio_status(NativeState& state, const Json& payload);
HandlerResult handle_audio_set_mixer(NativeState& state, const Json& payload);
HandlerResult handle_audio_mute(NativeState& state, const Json& payload);
HandlerResult handle_program_stream_open(NativeState& state, const Json& payload);
HandlerResult handle_program_stream_close(NativeState& state, const Json& payload);
HandlerResult handle_program_stream_status(NativeState& state, const Json& payload);
HandlerResult handle_publish_output_open(NativeState& state, const Json& payload);
HandlerResult handle_publish_output_close(NativeState& state, const Json& payload);
HandlerResult handle_publish_output_status(NativeState& state, const Json& payload);

// Vocal parameters and telemetry.
HandlerResult handle_dsp_get(NativeState& state, const Json& payload);
HandlerResult handle_dsp_set(NativeState& state, const Json& payload);
HandlerResult handle_dsp_preset(NativeState& state, const Json& payload);
HandlerResult handle_dsp_reverb_mode(NativeState& state, const Json& payload);
HandlerResult handle_dsp_audio_chain(NativeState& state, const Json& payload);
HandlerResult handle_dsp_voice_profile(NativeState& state, const Json& payload);
HandlerResult handle_dsp_routing(NativeState& state, const Json& payload);

// Voice calibration: start and cancel answer {"ok", "voiceCal"}; status and
// finish also "params" and "voiceProfile". Finish saves the profile file.
HandlerResult handle_voice_cal_start(NativeState& state, const Json& payload);
HandlerResult handle_voice_cal_status(NativeState& state, const Json& payload);
HandlerResult handle_voice_cal_finish(NativeState& state, const Json& payload);
HandlerResult handle_voice_cal_cancel(NativeState& state, const Json& payload);

// Recording.
HandlerResult handle_record_start(NativeState& state, const Json& payload);
HandlerResult handle_record_status(NativeState& state, const Json& payload);
// "tunewerk.record.stop": its claim, on the reader, ends the slot's take and
// takes its samples, so a start sent after it begins a new take; its rest, on
// the worker, waits for the target's earlier stops, exports and answers.
// Claim: Thread: the reader. Blocks: briefly on the state lock. Rest: Blocks:
// on the earlier stops' exports, then file I/O and ffmpeg, holding no lock.
RequestRest claim_record_stop(const SharedState& state, const LoadJobTable& jobs, const Request& request);

// Player control: each answers the player's status.
HandlerResult handle_player_play(NativeState& state, const Json& payload);
HandlerResult handle_player_pause(NativeState& state, const Json& payload);
HandlerResult handle_player_seek(NativeState& state, const Json& payload);
// Runs the offline key and tempo analysis of the whole track under the lock.
HandlerResult handle_player_recalculate_key(NativeState& state, const Json& payload);
HandlerResult handle_player_status(NativeState& state, const Json& payload);
HandlerResult handle_player_unload(NativeState& state, const Json& payload);

// Loading and link resolution. "player.remote-load" answers the player's
// status (synchronous) or a job object (asynchronous). Its claim, on the
// reader, takes the player for the load in the order the host sent it: a miss
// resets it to loading under a new media generation; a hit that carries key
// and tempo is installed at once; a hit that needs its analysis takes the
// generation and installs once analysed. Its rest, on the worker, blocks for
// the whole load when synchronous, for the analysis of a reused track without
// key or tempo otherwise. A load that a later request (a newer load, an
// unload) has overtaken does nothing more: it answers the player's status, or
// for a job "cancelled" with its own generation; a running load stops.
// Claim: Thread: the reader. Blocks: briefly on the state, job-table and
// media-cache locks. The job operations block briefly on the job table's lock
// and the state's. The resolvers run yt-dlp (up to 30 s; a clip video download
// up to 75 s). Thread: a request worker, or the reader for the job operations.
RequestRest claim_remote_load(const SharedState& state, const LoadJobTable& jobs, const Request& request);
HandlerResult handle_load_status(const SharedState& state, const LoadJobTable& jobs, const Request& request);
HandlerResult handle_load_cancel(const SharedState& state, const LoadJobTable& jobs, const Request& request);
HandlerResult handle_resolve_source(const SharedState& state, const LoadJobTable& jobs,
                                    const Request& request);
HandlerResult handle_resolve_video(const SharedState& state, const LoadJobTable& jobs,
                                   const Request& request);

// Search: {"results"} from a "query" of at least two characters. Run curl and
// yt-dlp for up to 12 + 25 s (YouTube) or 18 s (Bilibili).
// Thread: a request worker. Blocks: on the tools. Holds no lock.
// Allocates: yes.
HandlerResult handle_search_youtube(const SharedState& state, const LoadJobTable& jobs,
                                    const Request& request);
HandlerResult handle_search_bilibili(const SharedState& state, const LoadJobTable& jobs,
                                     const Request& request);

}  // namespace melodara
