#pragma once
// One engine block, from its inputs to its outputs: the captured frames and
// the engine's copies of the shared state in, the frames for the program
// streams, the monitor, the bus and the recorder out, with the backing track
// read from the engine's own reference and faded, the microphone prepared,
// the vocal chain run and the result mixed by routing mode. Nothing here takes
// a lock or touches a device; the runner (engine_thread.h) does, in this order:
//
//     pop 128 captured frames from the capture ring
//     if (state try-locked) engine_block_copy(block, state); else engine_block_keep(block);
//     engine_block_process(block, captured);
//     push block.signals.backing / .primary to the program streams
//     if (state try-locked) engine_block_publish(block, state);
//     push block.signals.bus and .monitor to their rings
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/realtime.h"
#include "core/retire_queue.h"
#include "dsp/vocal_dsp.h"
#include "engine/engine_meters.h"
#include "engine/engine_seams.h"
#include "engine/frame_ring.h"
#include "engine/recorder_capture.h"
#include "engine/routing_mix.h"
#include "state/native_state.h"

namespace melodara {

inline constexpr std::size_t kEngineBlock = 128;

using BlockFrames = std::array<StereoFrame, kEngineBlock>;
using BlockSamples = std::array<float, kEngineBlock>;
using TrackRef = std::shared_ptr<const std::vector<float>>;
using TrackRetireQueue = RetireQueue<TrackRef>;

// A block retires at most two references (its track and the faded one); a
// reclaimer that runs every 50 ms never lets the queue fill.
inline constexpr std::size_t kTrackRetireCapacity = 256;

// Every signal of one block, kept until the next one: the runner pushes the
// frames, tests and benchmarks read them.
struct BlockSignals {
  BlockSamples capture_left{}, capture_right{};  // as captured, non-finite samples as 0
  BlockSamples mic{};                            // the vocal chain's microphone input
  BlockSamples music_left{}, music_right{};      // the backing track after its fades
  BlockSamples out_left{}, out_right{};          // the vocal chain's output
  BlockFrames primary{}, backing{};              // the program-stream slots' frames
  BlockFrames monitor{}, bus{};                  // the monitor and bus rings' frames
  BlockFrames rec_mix{}, rec_vocal{}, rec_dry_mic{};
  DspMeters meters;
  MixMeterSums sums;
};

// Where the engine reads the backing track.
struct TrackCursor {
  TrackRef track;
  std::uint64_t channels = 2;
  std::uint64_t position = 0;  // frames
  bool playing = false;
};

// The live key tracker was last seeded with these (none yet when !seeded).
struct KeySeedMemo {
  bool seeded = false;
  std::uint64_t root = 0;
  bool minor = false;
  std::uint32_t bpm10 = 0;
};

// The key and tempo of the shared parameters at the last copy: the live key
// write-back sends only what the engine's tracker changed since.
struct CopiedKey {
  std::uint64_t root = 2;
  bool minor = true;
  float bpm = 70.0f;
};

// The engine's own state, kept across blocks; owned by the engine thread.
struct EngineBlock {
  VocalDsp dsp;  // its params are overwritten from the shared ones at every copy

  // Control copies: the last values read from the shared state.
  MixControls controls;
  std::uint64_t audio_revision = 1;
  std::uint64_t device_revision = 1;
  RoutingMixState mix;

  // The player as the engine plays it; `faded` is the previous block's
  // cursor, which the fades read.
  TrackCursor track;
  TrackCursor faded;
  std::uint64_t pending_advance = 0;  // played while the state lock was busy
  std::uint64_t last_serial = 0;      // the player's trackSerial at the last copy
  bool plays = false;                 // this block reads the track ...
  std::uint64_t play_from = 0;        // ... from here
  // The track references the engine lets go of, for another thread to drop:
  // the last reference to a track must never be dropped here.
  std::shared_ptr<TrackRetireQueue> retired;
  std::uint64_t retire_overflows = 0;  // dropped here anyway: the queue was full

  KeySeedMemo key_seed;
  CopiedKey copied_key;
  EngineVoiceCal voice_cal;
  CrackleState crackle;
  RecorderPending recorder;
  BlockSignals signals;
};

// The own vocal engine from the default parameters, the recorder's pending
// lists and the retire queue. Thread: engine start. Allocates: yes.
EngineBlock engine_block_new();

// At every stream (re)open: the per-open webcam gate constants, the control
// copies back to their initial values, the monitor as the feedback rule
// decided until the first copy, and the device revision the streams were
// opened at. Thread: engine. Allocates: no. Blocks: no.
void engine_block_open(EngineBlock& block, bool webcam_input, bool monitor_enabled,
                       std::uint64_t device_revision) noexcept;

// The first state access of a block, with the state locked by the caller:
// the control copies, the shared DspParams, the live key seeding, the
// player's advance by what was played meanwhile, the engine's reference to
// the track (the one it held goes to the retire queue), and this block's
// read (whose frames it adds to the player's position, clearing `playing` at
// the track's end). Thread: engine, holding the state lock. Allocates: no.
// Blocks: no. Frees: no.
void engine_block_copy(EngineBlock& block, NativeState& state) noexcept MELODARA_NONBLOCKING;

// The state lock was busy: the block plays on from the engine's own cursor
// and remembers the frames as pending advance.
// Thread: engine. Allocates: no. Blocks: no.
void engine_block_keep(EngineBlock& block) noexcept MELODARA_NONBLOCKING;

// The block itself: reads and fades the backing track, prepares the
// microphone from `captured`, runs the vocal chain, measures the block for
// voice calibration, mixes every destination into block.signals, gathers the
// recorder samples and updates the crackle meter. Thread: engine. Allocates: no. Blocks: no.
void engine_block_process(EngineBlock& block,
                          std::span<const StereoFrame, kEngineBlock> captured) noexcept MELODARA_NONBLOCKING;

// The second state access, with the state locked by the caller: the bus-audit
// and crackle meters, the recorder flush, the voice-calibration block, the
// live key written back, and the block's meters as telemetry. The live key
// goes back only where the engine's tracker changed the copied key or tempo,
// and only while no edit, load or seek came in since the copy: a newer choice
// is never undone.
// Thread: engine, holding the state lock. Allocates: no. Blocks: no.
void engine_block_publish(EngineBlock& block, NativeState& state) noexcept MELODARA_NONBLOCKING;

// At a restart: the engine retires its track references and stops playing.
// Thread: engine. Allocates: no. Blocks: no. Frees: no.
void engine_block_release_tracks(EngineBlock& block) noexcept;

}  // namespace melodara
