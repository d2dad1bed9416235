#pragma once
// The realtime engine thread: provisioning, its own DSP engine, the stream
// (re)open, and the block loop: per 128 frames it pops the capture ring,
// copies the control state under a try-lock (or runs on its last copies when
// the lock is busy), plays the backing track with fades, runs the vocal
// chain, mixes, feeds the program streams, the monitor ring and the bus ring,
// writes meters, telemetry and recordings under a second try-lock, watches
// its streams, and paces itself on the monotonic clock against the monitor
// ring's fill. Inside the loop the state lock is only ever tried.
//
// The pieces are public so a test can step the loop on a manual clock:
//
//     auto engine = audio_engine_new(env, state, backing, primary);
//     engine_open_streams(*engine);
//     for (;;) { if (engine_run_block(*engine) != BlockOutcome::next) break; engine_pace(*engine); }
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dsp/vocal_dsp.h"
#include "engine/device_snapshot.h"
#include "engine/engine_clock.h"
#include "engine/engine_meters.h"
#include "engine/engine_seams.h"
#include "engine/engine_streams.h"
#include "engine/recorder_capture.h"
#include "engine/routing_mix.h"
#include "platform/platform.h"
#include "state/native_state.h"

namespace melodara {

inline constexpr std::size_t kEngineBlock = 128;
inline constexpr std::size_t kBusRingStartFill = 1792;
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
EngineEnv default_engine_env();

using TrackRef = std::shared_ptr<const std::vector<float>>;

struct BusOutput {
  std::shared_ptr<FrameRing> ring;
  std::shared_ptr<CallbackCounter> counter;
  std::unique_ptr<OutputUnit> unit;  // dropping it stops it
};

enum class BlockOutcome { next, device_change, stalled_streams, reopen_after_stall };

struct AudioEngine {
  EngineEnv env;
  SharedState state;
  std::shared_ptr<ProgramStream> backing_slot, primary_slot;
  VocalDsp dsp;

  // Control copies; controls.mode follows the copied routing text.
  MixControls controls;
  std::string routing;
  std::uint64_t audio_revision = 1;
  std::uint64_t device_revision = 1;
  std::uint64_t device_revision_at_open = 1;
  RoutingMixState mix;

  // Player.
  TrackRef track;
  std::uint64_t channels = 2;
  std::uint64_t position = 0;
  bool playing = false;
  std::uint64_t pending_advance = 0;
  std::uint64_t last_serial = 0;
  // The previous block's track, for the fades.
  TrackRef fade_track;
  std::uint64_t fade_channels = 2;
  std::uint64_t fade_position = 0;
  bool fade_playing = false;
  // Released tracks wait here to be handed to the state, so the engine never
  // frees a track itself.
  std::array<TrackRef, 4> retired;

  // Block buffers. capture holds the popped frames as they came; capture_l/r
  // are its channels with non-finite samples replaced by 0.
  StereoFrame last_captured;
  std::array<StereoFrame, kEngineBlock> capture{};
  std::array<float, kEngineBlock> capture_l{}, capture_r{}, mic{}, music_l{}, music_r{}, out_l{}, out_r{};
  // The routing mix's outputs for this block.
  std::array<StereoFrame, kEngineBlock> primary_block{}, backing_block{}, monitor_block{}, bus_block{},
      rec_mix_block{}, rec_vocal_block{}, rec_dry_block{};
  DspMeters meters;
  MixMeterSums sums;
  CrackleState crackle;
  RecorderPending recorder;

  EngineVoiceCal voice_cal;

  // Key seeding memo.
  bool key_seeded = false;
  std::uint64_t seeded_root = 0;
  bool seeded_minor = false;
  std::uint32_t seeded_bpm10 = 0;

  // Streams and their watch.
  EngineStreams streams;
  BusOutput bus;
  bool opened_while_stalled = false;
  std::uint64_t watch_blocks = 0;
  std::uint64_t seen_capture = 0, seen_playback = 0, seen_bus = 0;
  std::uint32_t stall_count = 0;
  BlockPacer pacer;
  std::optional<std::size_t> last_monitor_fill;  // after this block's push; none without a monitor stream
  std::uint64_t opens = 0;                       // stream (re)opens so far
};

// Phases 1 and 2: provisioning, then the own engine and its buffers.
// Thread: engine. Allocates: yes.
std::unique_ptr<AudioEngine> audio_engine_new(EngineEnv env, SharedState state,
                                              std::shared_ptr<ProgramStream> backing,
                                              std::shared_ptr<ProgramStream> primary);

// Stream (re)open: blocking state locks, device resolution, system defaults,
// engine and bus streams, then a fresh pacing base.
// Thread: engine. Allocates: yes. Blocks: yes.
void engine_open_streams(AudioEngine& e);

// One block, steps capture to watchdog.
// Thread: engine. Allocates: no. Blocks: ring mutexes only (state lock only tried).
BlockOutcome engine_run_block(AudioEngine& e);

// Sleeps to the next block's deadline. Thread: engine. Allocates: no.
PaceResult engine_pace(AudioEngine& e);

// Tears the streams down; after a stream stall, resets a matching USB device
// and waits 900 ms when one was found. Thread: engine. Blocks: yes.
void engine_restart(AudioEngine& e, BlockOutcome cause);

// Open, then blocks and restarts while `keep_running()` says so.
void run_engine_loop(AudioEngine& e, const std::function<bool()>& keep_running);

// Resets the USB registry entry that matches the input or output name; names
// that are empty or "default" (either side) match nothing. True when a device
// was found. Thread: engine. Blocks: on the registry.
bool engine_usb_recover(UsbRegistry& registry, std::string_view input_name, std::string_view output_name);

// The thread body of "melodara-tunewerk-realtime-dsp": never returns.
[[noreturn]] void run_audio_engine(SharedState state, std::shared_ptr<ProgramStream> backing,
                                   std::shared_ptr<ProgramStream> primary);

}  // namespace melodara
