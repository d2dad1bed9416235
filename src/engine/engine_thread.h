#pragma once
// The realtime engine thread's runner: provisioning, the stream (re)open, the
// per-block work around the block itself (engine_block.h): the capture pop,
// the two try-locks of the state, the pushes to the program streams and the
// rings; the watchdogs, the restart and the pacing on the monotonic clock
// against the monitor ring's fill. Inside the loop the state lock is only
// ever tried.
//
// The steps are public so a test can run the loop on a manual clock:
//
//     auto engine = audio_engine_new(env, state, backing, primary);
//     engine_open_streams(*engine);
//     for (;;) {
//       BlockOutcome outcome = engine_run_block(*engine);
//       if (outcome == BlockOutcome::next) outcome = engine_watch(*engine);
//       if (outcome != BlockOutcome::next) { engine_restart(*engine, outcome); engine_open_streams(*engine);
//       continue; } engine_pace(*engine);
//     }
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/realtime.h"
#include "engine/device_snapshot.h"
#include "engine/engine_block.h"
#include "engine/engine_clock.h"
#include "engine/frame_ring.h"
#include "engine/program_stream.h"
#include "platform/platform.h"
#include "state/native_state.h"

namespace melodara {

inline constexpr std::uint64_t kWatchdogBlocks = 375;

// What the engine runs on: the platform, the device enumeration, a clock.
struct EngineEnv {
  Platform platform;
  std::function<bool()> enumeration_stalled;
  std::function<DeviceSnapshot()> device_snapshot;
  std::function<void(std::string)> set_bus_name;
  EngineClock clock;
};

// The process platform, the process-wide enumerator and the steady clock.
// Thread: any. Allocates: yes.
EngineEnv default_engine_env();

// The runner's record: the block, the streams and rings, the watchdogs' memo
// and the pacer. Owned by the engine thread.
struct AudioEngine;
struct AudioEngineDelete {
  void operator()(AudioEngine* engine) const noexcept;
};
using AudioEnginePtr = std::unique_ptr<AudioEngine, AudioEngineDelete>;

enum class BlockOutcome { next, device_change, stalled_streams, reopen_after_stall };

// Phases 1 and 2: provisioning, then the own engine and its buffers. Null
// slots are not fed. Thread: engine. Allocates: yes. Blocks: on the platform.
AudioEnginePtr audio_engine_new(EngineEnv env, SharedState state, std::shared_ptr<ProgramStream> backing,
                                std::shared_ptr<ProgramStream> primary);

// Stream (re)open: blocking state locks, device resolution, system defaults,
// engine and bus streams, then a fresh pacing base.
// Thread: engine. Allocates: yes. Blocks: yes.
void engine_open_streams(AudioEngine& e);

// One block: capture pop, the state copy (or the busy path), the restart test
// (device_change), the block, the program-stream frames, the meters under the
// second try-lock, the bus and monitor pushes.
// Thread: engine. Allocates: no. Blocks: ring mutexes only (the state lock is only tried).
BlockOutcome engine_run_block(AudioEngine& e) noexcept MELODARA_NONBLOCKING;

// After every block; every 375th call restarts a bus unit or streams whose
// callbacks stopped, and reports a third failed check in a row
// (stalled_streams) or the end of an enumeration stall that kept the streams
// closed (reopen_after_stall). Thread: engine. Blocks: on the platform.
BlockOutcome engine_watch(AudioEngine& e);

// Sleeps to the next block's deadline. Thread: engine. Allocates: no. Blocks: the sleep.
PaceResult engine_pace(AudioEngine& e);

// Tears the streams down; after a stream stall, resets a matching USB device
// and waits 900 ms when one was found. Thread: engine. Blocks: yes.
void engine_restart(AudioEngine& e, BlockOutcome cause);

// Sets the chain's float mode (flush-to-zero, denormals-are-zero) on the calling
// thread and leaves it, then opens, then blocks and restarts while
// `keep_running()` says so.
// Thread: engine. Blocks: yes.
// Allocates: yes, while it opens and restarts streams; not in the block loop.
void run_engine_loop(AudioEngine& e, const std::function<bool()>& keep_running);

// The track references the engine let go of: whoever runs the engine drops
// them off the engine thread, now and then (run_audio_engine starts a
// reclaimer for it). Thread: any. Allocates: no.
const std::shared_ptr<TrackRetireQueue>& engine_retire_queue(const AudioEngine& e) noexcept;

// Starts the detached thread "melodara-retire" that reclaims `queue` every
// `period`, for the life of the process, so nothing accumulates even when no
// request arrives. False when the thread cannot start. Thread: any. Allocates: yes.
bool start_track_reclaimer(std::shared_ptr<TrackRetireQueue> queue,
                           std::chrono::milliseconds period = std::chrono::milliseconds(50));

// The thread body of "melodara-tunewerk-realtime-dsp": never returns.
[[noreturn]] void run_audio_engine(SharedState state, std::shared_ptr<ProgramStream> backing,
                                   std::shared_ptr<ProgramStream> primary);

// What tests and benchmarks look at between blocks.
// The last block's signals. Thread: engine (or the caller stepping it).
const BlockSignals& engine_signals(const AudioEngine& e) noexcept;
// The own vocal engine's parameters as the last block ran them.
const DspParams& engine_dsp_params(const AudioEngine& e) noexcept;

struct EngineStatus {
  std::uint64_t opens = 0;  // stream (re)opens so far
  std::string input_name;   // resolved at the last open, empty when none
  std::string output_name;
  bool capture_stream = false;
  bool monitor_stream = false;
  bool bus_output = false;  // a bus unit is open
  std::shared_ptr<FrameRing> capture_ring;
  std::shared_ptr<FrameRing> monitor_ring;
  std::uint64_t pending_advance = 0;   // frames played while the state lock was busy
  std::uint64_t retire_overflows = 0;  // track references dropped on the engine thread
  RoutingMode mode = RoutingMode::Program;
  bool webcam_input = false;
  float gate_floor = 1.0f;
};
// Thread: engine (or the caller stepping it). Allocates: yes.
EngineStatus engine_status(const AudioEngine& e);

}  // namespace melodara
