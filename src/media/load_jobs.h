#pragma once
// Background load jobs, and what every load of a backing track ends with: the
// key and tempo it goes into the player with, its memory-cache entry and the
// install into the player, which happens only while the player still waits for
// that load (its media generation unchanged). Lock order: the job table before
// the state; the media cache's lock is released before the state's is taken.
#include <cstdint>
#include <string>
#include <string_view>

#include "media/decoded_media.h"
#include "media/media_limits.h"
#include "state/native_state.h"

namespace melodara {

inline constexpr std::string_view kStatePoisonedMessage = "State mutex poisoned";

// What a job thread is given: its id, what to load, the player's media
// generation that it fills and the watch that tells when the player moved on.
struct LoadJobTicket {
  std::string id;
  std::string source;
  std::string title;
  std::uint64_t generation = 0;
  bool auto_play = false;
  GenerationWatch player_generation;
};

// The analysis hint of a load: the title when there is one, else the source.
// Thread: any. Allocates: no. Blocks: no.
std::string_view analysis_hint(std::string_view title, std::string_view source);

// The track knows both its key and its tempo (from its side file or the memory
// cache), so a load needs no analysis. Thread: any. Allocates: no. Blocks: no.
bool carries_key_and_tempo(const DecodedMedia& media);

// Whether a track that carries both key and tempo is analysed all the same
// (a synchronous load: the hint's key or tempo wins over the side file's).
enum class KeyTempoAnalysis { WhenMissing, Always };

// Gives a loaded track the key and tempo it goes into the player with: its own
// when it carries both (from its side file or the memory cache) and `when` is
// WhenMissing, else the offline analysis' tempo and key, keeping the track's
// key when the analysis finds none. The side file of a track that lacked key
// or tempo is handed to the cache writer.
// Thread: a load job's or a request worker's, holding no lock. Allocates: yes.
// Blocks: on the analysis (CPU).
void settle_key_tempo(DecodedMedia& media, std::string_view source, std::string_view hint,
                      KeyTempoAnalysis when = KeyTempoAnalysis::WhenMissing);

// Puts the track into the memory cache under `source`, with its key and tempo.
// Thread: any, holding no lock but the job table's. Blocks: briefly on the cache mutex.
// Allocates: yes (the cache entry).
void cache_loaded_track(std::string_view source, const DecodedMedia& media);

// Puts the track into the player at position 0 (the engine drops its pending
// advance), carries its key into the DSP parameters and its tempo, when known,
// into their bpm, re-seeds the live key tracker, ends the loading at 100 % and
// starts playback when `auto_play`. Returns the track the player held, for the
// caller to drop once it has let go of its locks.
// Thread: any, holding the state lock. Allocates: the key text. Blocks: no.
[[nodiscard]] SharedSamples install_player_track(NativeState& state, const DecodedMedia& media,
                                                 bool auto_play);

// Ends the player's loading (flag off, progress 0) when its media generation
// is still `generation`. Thread: any, holding the state lock. Allocates: no. Blocks: no.
void abandon_player_load(NativeState& state, std::uint64_t generation);

// The progress sink of a job: sets the job's progress while it is loading and
// not cancelled, and then the player's while its generation is the job's. A
// cancelled or superseded job moves neither.
// Thread: the job's. Allocates: no. Blocks: on the job table's lock, then the state's.
void report_load_job_progress(const SharedState& state, const LoadJobTable& jobs, const LoadJobTicket& job,
                              std::uint8_t percent);

// True once the job's load is no longer wanted: the player has moved past its
// generation (a newer load or an unload, whether or not a cancel pass reached
// the job), or it was cancelled, is no longer loading, or is gone from the table.
// Thread: the job's. Allocates: no. Blocks: on the job table's lock.
bool load_job_cancelled(const LoadJobTable& jobs, const LoadJobTicket& job);

// Cancels the jobs still loading for a generation older than `generation`:
// a newer load, whichever way it goes, makes them useless.
// Thread: any, holding no lock. Allocates: no. Blocks: on the job table's lock.
void cancel_older_load_jobs(const LoadJobTable& jobs, std::uint64_t generation);

// The job thread's body: loads the source, settles key and tempo, caches the
// track and installs it while the player's generation is the job's, ending
// "completed"; a job overtaken meanwhile ends "cancelled" without touching the
// player (a superseded load that failed as well), a failed load "error" with
// the ladder's message, a poisoned state "error" with kStatePoisonedMessage. A
// job cancelled by request ends as it is. The load itself stops (children
// killed within half a second, no further step of the ladder) once
// load_job_cancelled says so.
// Thread: the job's. Allocates: yes. Blocks: for the whole load.
void run_remote_load_job(const SharedState& state, const LoadJobTable& jobs, const LoadJobTicket& job,
                         const MediaLimits& limits = {});

// Starts run_remote_load_job on a detached thread holding its own references
// to the state and the table; false when no thread could start.
// Thread: any. Allocates: yes. Blocks: no.
bool spawn_remote_load_job(SharedState state, LoadJobTable jobs, LoadJobTicket job, MediaLimits limits = {});

}  // namespace melodara
