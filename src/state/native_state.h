#pragma once
// The shared engine and session record (`NativeState`) and the table of load
// jobs (`LoadJobTable`), each behind one poisoning mutex. Every handler, the
// engine thread and the load jobs hold a counted reference; neither is ever torn
// down while the process runs. Lock order: job table before state;
// the response output only with no other lock held.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/mutex.h"
#include "core/shared_samples.h"
#include "dsp/dsp_meters.h"
#include "dsp/vocal_dsp.h"
#include "dsp/voice_cal_status.h"
#include "state/recorder_slot.h"

namespace melodara {

struct ProgramStream;       // a program-stream slot: queue, state and publisher thread
struct VoiceProfileWriter;  // wakes the thread that saves calibrated profiles

// The player's media generation as an atomic copy: a running load watches it
// without the state lock, to stop once a newer load or an unload has moved
// the player past its own generation.
using GenerationWatch = std::shared_ptr<const std::atomic<std::uint64_t>>;

struct PlayerState {
  std::string title;
  std::string source;
  std::optional<std::string> loadJobId;
  std::optional<std::string> detectedKey;
  std::optional<float> detectedBpm;
  // The decoded track, interleaved; shared with the media cache and the engine.
  SharedSamples samples = std::make_shared<const std::vector<float>>();
  std::uint64_t channels = 2;
  std::uint64_t position = 0;  // frames
  std::uint64_t trackSerial = 0;
  double durationSeconds = 0.0;
  std::uint64_t mediaGeneration = 0;
  // `mediaGeneration`'s copy for GenerationWatch; written by bump_media_generation alone.
  std::shared_ptr<std::atomic<std::uint64_t>> generationCopy =
      std::make_shared<std::atomic<std::uint64_t>>(0);
  std::uint32_t mediaSampleRate = 48000;
  bool playing = false;
  bool loading = false;
  std::uint8_t loadProgress = 0;
};

// A track is loaded: its sample list is not empty.
// Thread: any, holding the state lock. Allocates: no. Blocks: no.
inline bool player_loaded(const PlayerState& player) { return player.samples && !player.samples->empty(); }

// Moves the player to its next media generation and publishes it to the
// watchers; returns the new generation.
// Thread: any, holding the state lock. Allocates: no. Blocks: no.
std::uint64_t bump_media_generation(PlayerState& player);

// True once the watched generation has moved past `generation`; a load with
// no watch is never superseded this way.
// Thread: any, no lock needed. Allocates: no. Blocks: no.
bool generation_moved_past(const GenerationWatch& watch, std::uint64_t generation);

// Whole frames of the player's track (none for an empty one).
// Thread: any, holding the state lock. Allocates: no. Blocks: no.
inline std::uint64_t player_frames(const PlayerState& player) {
  return player.samples ? player.samples->size() / std::max<std::uint64_t>(player.channels, 1) : 0;
}

struct NativeState {
  std::string routingMode = "program";
  std::string presetId = "Pop Ballad";
  std::string reverbMode = "hall";
  std::string audioChain = "Studio Pro";
  std::string voiceProfile = "Giong Nam";

  // The shared DSP engine; its `params` are what the DSP operations edit and
  // the engine thread copies every block.
  VocalDsp dsp;
  DspMeters telemetry;  // the latest meters of the vocal chain
  VoiceCalStatus voiceCal = voice_cal_default_state();
  // The parameters of a calibration the engine completed, until the profile
  // writer saves them (the engine thread writes no files).
  std::optional<DspParams> pendingVoiceProfile;
  std::shared_ptr<VoiceProfileWriter> voiceProfileWriter;

  RecorderSlot recording;
  RecorderSlot stageRecording;
  // The chunks the slots' lists grow from; its keeper thread starts with the first take.
  std::shared_ptr<RecorderPool> recorderPool =
      std::make_shared<RecorderPool>(kRecorderPoolStock, std::chrono::milliseconds(20), "melodara-record");
  PlayerState player;

  std::optional<std::string> inputDeviceId;
  std::optional<std::string> outputDeviceId;
  std::shared_ptr<ProgramStream> programStream;
  std::shared_ptr<ProgramStream> backingStream;

  std::uint64_t sessionEpoch = 1;
  std::uint64_t audioRevision = 1;
  std::uint64_t deviceRevision = 1;
  std::uint32_t sampleRate = 48000;
  std::uint32_t bufferSize = 128;

  float micGain = 1.0f;  // each gain kept within 0..2
  float musicGain = 1.0f;
  float masterGain = 1.0f;
  float monitorGain = 1.0f;

  float primaryUplinkRmsDb = -96.0f;
  float primaryUplinkPeakDb = -96.0f;
  float backingUplinkRmsDb = -96.0f;
  float backingUplinkPeakDb = -96.0f;
  float monitorRmsDb = -96.0f;
  float monitorPeakDb = -96.0f;
  float monitorCracklePct = 0.15f;

  bool running = true;
  bool monitorEnabled = true;
  bool acousticFeedbackRisk = false;
  bool antiHowlActive = false;
  bool inputMuted = false;
  bool muted = false;
  std::optional<bool> monitorChoice;  // the host's explicit monitor choice
};

// The slot of a target. Thread: any, holding the state lock. Allocates: no. Blocks: no.
RecorderSlot& recorder_slot(NativeState& state, RecorderTarget target);

// Clamps a mixer gain into 0..2 (NaN reads as 0). Thread: any. Allocates: no. Blocks: no.
float clamp_gain(float gain);

using SharedState = std::shared_ptr<Mutex<NativeState>>;

enum class LoadJobStatus { Loading, Completed, Cancelled, Error };
// "loading", "completed", "cancelled" or "error". Thread: any. Allocates: no. Blocks: no.
const char* load_job_status_text(LoadJobStatus status);

struct LoadJob {
  LoadJobStatus status = LoadJobStatus::Loading;
  std::optional<std::string> error;
  std::uint64_t mediaGeneration = 0;
  bool cancelled = false;
  std::uint8_t progress = 10;
};

// Job ids are hashed with a per-process random key, so ids chosen by a peer
// cannot be aimed at one bucket.
struct JobIdHash {
  std::size_t seed = std::random_device{}();
  std::size_t operator()(const std::string& id) const {
    return std::hash<std::string>{}(id) ^ (seed + 0x9e3779b97f4a7c15ull);
  }
};

struct LoadJobTableData {
  std::unordered_map<std::string, LoadJob, JobIdHash> jobs;
  std::uint64_t sequence = 0;
};

using LoadJobTable = std::shared_ptr<Mutex<LoadJobTableData>>;

// Registers the next job id ("load-1", "load-2", ...).
// Thread: any, holding the job table's lock. Allocates: yes. Blocks: no.
std::string next_load_job_id(LoadJobTableData& table);

// Adds `job` under the next id and returns the id.
// Thread: any, holding the job table's lock. Allocates: yes. Blocks: no.
std::string add_load_job(LoadJobTableData& table, LoadJob job);

// Marks every job still loading for a generation older than `generation` as
// cancelled: a newer load has taken the player over.
// Thread: any, holding the job table's lock. Allocates: no. Blocks: no.
void cancel_superseded_load_jobs(LoadJobTableData& table, std::uint64_t generation);

}  // namespace melodara
