#include "engine/engine_thread.h"

#include <limits>
#include <thread>
#include <vector>

#include "core/counters.h"
#include "core/threads.h"
#include "dsp/float_mode.h"
#include "engine/device_callbacks.h"
#include "engine/device_list.h"
#include "engine/device_names.h"
#include "engine/engine_seams.h"
#include "engine/engine_streams.h"
#include "engine/system_defaults.h"
#include "engine/usb_recovery.h"
#include "engine/virtual_device_provisioning.h"

namespace melodara {

struct AudioEngine {
  EngineEnv env;
  SharedState state;
  std::shared_ptr<ProgramStream> backing_slot, primary_slot;
  EngineBlock block;

  // The captured frames of this block; the last one is where an underrun
  // decays from, also across blocks.
  BlockFrames captured{};
  StereoFrame last_captured;

  EngineStreams streams;
  BusOutput bus;
  std::uint64_t device_revision_at_open = 1;
  bool opened_while_stalled = false;
  std::uint64_t opens = 0;

  // Watchdogs: blocks since the open, the callback counts of the last check,
  // consecutive failed checks.
  std::uint64_t watch_blocks = 0;
  std::uint64_t seen_capture = 0, seen_playback = 0, seen_bus = 0;
  std::uint32_t stall_count = 0;

  BlockPacer pacer;
  std::optional<std::size_t> last_monitor_fill;  // after this block's push; none without a monitor stream
};

void AudioEngineDelete::operator()(AudioEngine* engine) const noexcept { delete engine; }

namespace {

void capture_pop(AudioEngine& e) {
  auto& ring = e.streams.capture_ring;
  if (!ring) {
    e.captured.fill(StereoFrame{});
    return;
  }
  auto g = ring->lock_realtime();
  if (g.poisoned()) {
    e.captured.fill(StereoFrame{});
    return;
  }
  for (StereoFrame& f : e.captured) {
    if (!g->pop_front(f)) f = {e.last_captured.left * 0.996f, e.last_captured.right * 0.996f};
    e.last_captured = f;
  }
}

// The state is only ever tried inside the loop. Neither the try nor the
// unlock waits; a poisoned try unlocks at once.
std::optional<Mutex<NativeState>::Guard> try_lock_state(Mutex<NativeState>& state) noexcept {
  const RealtimeException allow("the state's try-lock unlocks at once when poisoned, never waiting");
  return state.try_lock();
}

void unlock_state(Mutex<NativeState>::Guard& guard) noexcept {
  const RealtimeException allow("the unlock of the try-locked state never waits; it may wake a request");
  guard.release();
}

void push_program_frames(AudioEngine& e) {
  const BlockSignals& s = e.block.signals;
  for (std::size_t i = 0; i < kEngineBlock; ++i)
    engine_push_program_frames(e.primary_slot.get(), e.backing_slot.get(), e.block.audio_revision,
                               s.primary[i], s.backing[i]);
}

void push_capped(FrameRing& ring, const BlockFrames& block, std::optional<std::size_t>* fill_after) {
  auto g = ring.lock_realtime();
  if (g.poisoned()) {
    if (fill_after) *fill_after = kPlaybackTargetFill;
    return;
  }
  for (const StereoFrame& f : block) g->push_back_capped(f);
  if (fill_after) *fill_after = g->size();
}

void sleep_for(AudioEngine& e, std::chrono::nanoseconds d) { e.env.clock.sleep_until(e.env.clock.now() + d); }

bool stalled(const AudioEngine& e) { return e.env.enumeration_stalled && e.env.enumeration_stalled(); }

// Restarts streams whose callbacks stopped; three failed checks in a row
// leave the loop. A start skipped for an enumeration stall is retried once
// the stall is over.
std::optional<BlockOutcome> stream_watchdog(AudioEngine& e) {
  if (e.opened_while_stalled && !stalled(e)) return BlockOutcome::reopen_after_stall;
  bool failed = false;
  auto check = [&](const std::unique_ptr<AudioStream>& stream,
                   const std::shared_ptr<CallbackCounter>& counter, std::uint64_t& seen) {
    if (!stream || !counter) return;
    const std::uint64_t now = counter->load(std::memory_order_relaxed);
    if (now - seen < 12) {
      (void)stream->play();
      failed = true;
    }
    seen = now;
  };
  check(e.streams.capture_stream, e.streams.capture_counter, e.seen_capture);
  check(e.streams.monitor_stream, e.streams.playback_counter, e.seen_playback);
  if (failed) {
    if (e.stall_count < std::numeric_limits<std::uint32_t>::max()) ++e.stall_count;
  } else {
    e.stall_count = 0;
  }
  if (e.stall_count > 2) return BlockOutcome::stalled_streams;
  return std::nullopt;
}

void bus_watchdog(AudioEngine& e) {
  if (!e.bus.unit || !e.bus.counter) return;
  const std::uint64_t now = e.bus.counter->load(std::memory_order_relaxed);
  if (now - e.seen_bus <= 11) (void)e.bus.unit->start();
  e.seen_bus = now;
}

}  // namespace

EngineEnv default_engine_env() {
  EngineEnv env;
  env.platform = platform();
  env.enumeration_stalled = [] { return enumeration_stalled(); };
  env.device_snapshot = [] { return device_snapshot(); };
  env.set_bus_name = [](std::string name) { set_bus_device_name(std::move(name)); };
  env.clock = steady_engine_clock();
  return env;
}

AudioEnginePtr audio_engine_new(EngineEnv env, SharedState state, std::shared_ptr<ProgramStream> backing,
                                std::shared_ptr<ProgramStream> primary) {
  AudioEnginePtr e(new AudioEngine);
  e->env = std::move(env);
  e->state = std::move(state);
  e->backing_slot = std::move(backing);
  e->primary_slot = std::move(primary);
  provision_virtual_devices(
      {e->env.platform, e->env.enumeration_stalled, e->env.device_snapshot, e->env.set_bus_name,
       [engine = e.get()](std::chrono::nanoseconds d) { sleep_for(*engine, d); }, running_executable()});
  e->block = engine_block_new();
  return e;
}

void engine_open_streams(AudioEngine& e) {
  std::string input_id, output_id;
  {
    auto g = e.state->lock();
    if (!g.poisoned()) {
      clone_dsp_params_into(e.block.dsp.params, g->dsp.params);
      input_id = g->inputDeviceId.value_or("");
      output_id = g->outputDeviceId.value_or("");
      e.device_revision_at_open = g->deviceRevision;
    }
  }

  const bool stall = stalled(e);
  std::string input_name = input_id, output_name = output_id;
  if (!stall) {
    const ResolvedDevices r = resolve_engine_devices(*e.env.platform.system, input_id, output_id);
    if (r.input) input_name = r.input->loopback ? "loopback:" + r.input->name : r.input->name;
    if (r.output) output_name = r.output->name;
  }
  const bool webcam = is_webcam_device(input_name, input_name);
  const bool risk = webcam && !is_daw_or_loopback_device(input_name, input_name) &&
                    !is_headphone_device(output_name, output_name);
  {
    auto g = e.state->lock();
    if (!g.poisoned()) {
      if (!stall) {
        if (!input_name.empty()) g->inputDeviceId = input_name;
        if (!output_name.empty()) g->outputDeviceId = output_name;
      }
      g->acousticFeedbackRisk = risk;
      g->antiHowlActive = webcam;
      if (!g->monitorChoice) g->monitorEnabled = !risk;
    }
  }

  if (!stall && e.env.platform.system)
    ensure_system_default_devices(*e.env.platform.system, input_name, output_name);
  e.streams = open_engine_streams(e.env.platform, stall, input_name, output_name,
                                  [&e](std::chrono::nanoseconds d) { sleep_for(e, d); });
  e.opened_while_stalled = stall;
  if (!stall) {
    if (auto bus = open_bus_output(e.env.platform, e.streams.output_name, e.streams.input_name)) {
      if (e.env.set_bus_name) e.env.set_bus_name(bus->name);
      e.bus = std::move(*bus);
    }
  }

  if (e.bus.unit) (void)e.bus.unit->start();

  // Until the first copy the monitor follows the feedback rule, as the state
  // does before the host chooses.
  engine_block_open(e.block, webcam, !risk, e.device_revision_at_open);
  e.watch_blocks = 0;
  e.seen_capture = e.seen_playback = e.seen_bus = 0;
  e.stall_count = 0;
  e.pacer.base = e.env.clock.now();
  e.pacer.blocks = 0;
  ++e.opens;
}

BlockOutcome engine_run_block(AudioEngine& e) noexcept MELODARA_NONBLOCKING {
  capture_pop(e);
  if (auto g = try_lock_state(*e.state)) {
    engine_block_copy(e.block, **g);
    unlock_state(*g);
  } else {
    engine_block_keep(e.block);
  }
  if (e.block.device_revision != e.device_revision_at_open) return BlockOutcome::device_change;

  engine_block_process(e.block, e.captured);
  push_program_frames(e);
  if (auto g = try_lock_state(*e.state)) {
    engine_block_publish(e.block, **g);
    unlock_state(*g);
  }

  if (e.bus.ring) push_capped(*e.bus.ring, e.block.signals.bus, nullptr);
  // Only a monitor output reads the monitor ring: without one, pushing would
  // fill it up and steer the clock by a ring nobody drains.
  std::optional<std::size_t> fill;
  if (e.streams.monitor_stream && e.streams.monitor_ring)
    push_capped(*e.streams.monitor_ring, e.block.signals.monitor, &fill);
  e.last_monitor_fill = fill;
  return BlockOutcome::next;
}

BlockOutcome engine_watch(AudioEngine& e) {
  e.watch_blocks = saturating_next(e.watch_blocks);
  if (e.watch_blocks % kWatchdogBlocks != 0) return BlockOutcome::next;
  bus_watchdog(e);
  return stream_watchdog(e).value_or(BlockOutcome::next);
}

PaceResult engine_pace(AudioEngine& e) { return pace_block(e.pacer, e.last_monitor_fill, e.env.clock); }

void engine_restart(AudioEngine& e, BlockOutcome cause) {
  engine_block_release_tracks(e.block);
  e.bus = BusOutput{};
  const std::string input_name = std::move(e.streams.input_name);
  const std::string output_name = std::move(e.streams.output_name);
  e.streams = EngineStreams{};
  if (cause != BlockOutcome::stalled_streams) return;
  if (is_builtin_or_system_device(input_name) && is_builtin_or_system_device(output_name)) return;
  if (e.env.platform.usb && reset_matching_usb_device(*e.env.platform.usb, input_name, output_name))
    sleep_for(e, std::chrono::milliseconds(900));
}

void run_engine_loop(AudioEngine& e, const std::function<bool()>& keep_running) {
  // The thread's float mode is the chain's, set once: no block pays for a switch.
  set_chain_float_mode();
  engine_open_streams(e);
  while (keep_running()) {
    BlockOutcome outcome = engine_run_block(e);
    if (outcome == BlockOutcome::next) outcome = engine_watch(e);
    if (outcome != BlockOutcome::next) {
      engine_restart(e, outcome);
      engine_open_streams(e);
      continue;
    }
    engine_pace(e);
  }
}

const std::shared_ptr<TrackRetireQueue>& engine_retire_queue(const AudioEngine& e) noexcept {
  return e.block.retired;
}

bool start_track_reclaimer(std::shared_ptr<TrackRetireQueue> queue, std::chrono::milliseconds period) {
  return spawn_detached("melodara-retire", [queue = std::move(queue), period] {
    for (;;) {
      queue->reclaim();
      std::this_thread::sleep_for(period);
    }
  });
}

void run_audio_engine(SharedState state, std::shared_ptr<ProgramStream> backing,
                      std::shared_ptr<ProgramStream> primary) {
  auto engine =
      audio_engine_new(default_engine_env(), std::move(state), std::move(backing), std::move(primary));
  if (!start_track_reclaimer(engine_retire_queue(*engine))) die("failed to spawn thread");
  run_engine_loop(*engine, [] { return true; });
  for (;;) sleep_for(*engine, std::chrono::hours(1));
}

const BlockSignals& engine_signals(const AudioEngine& e) noexcept { return e.block.signals; }

const DspParams& engine_dsp_params(const AudioEngine& e) noexcept { return e.block.dsp.params; }

EngineStatus engine_status(const AudioEngine& e) {
  EngineStatus s;
  s.opens = e.opens;
  s.input_name = e.streams.input_name;
  s.output_name = e.streams.output_name;
  s.capture_stream = e.streams.capture_stream != nullptr;
  s.monitor_stream = e.streams.monitor_stream != nullptr;
  s.bus_output = e.bus.unit != nullptr;
  s.capture_ring = e.streams.capture_ring;
  s.monitor_ring = e.streams.monitor_ring;
  s.pending_advance = e.block.pending_advance;
  s.retire_overflows = e.block.retire_overflows;
  s.mode = e.block.controls.mode;
  s.webcam_input = e.block.mix.webcam_input;
  s.gate_floor = e.block.mix.gate_floor;
  return s;
}

}  // namespace melodara
