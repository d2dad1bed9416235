#include "engine/engine_thread.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "core/counters.h"
#include "core/unicode_text.h"
#include "engine/device_callbacks.h"
#include "engine/device_list.h"
#include "engine/device_names.h"
#include "engine/engine_seams.h"
#include "engine/routing_mode.h"
#include "engine/system_defaults.h"
#include "engine/usb_recovery.h"
#include "engine/virtual_device_provisioning.h"

namespace melodara {
namespace {

constexpr std::string_view kNoteNames[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};

// Raised-cosine fade-in weights over one block, n = 1..128.
const std::array<float, kEngineBlock>& fade_in_weights() {
  static const std::array<float, kEngineBlock> w = [] {
    std::array<float, kEngineBlock> out{};
    for (std::size_t i = 0; i < kEngineBlock; ++i)
      out[i] = float((1.0 - std::cos(std::numbers::pi * double(i + 1) / double(kEngineBlock))) / 2.0);
    return out;
  }();
  return w;
}

std::uint64_t frame_count(const TrackRef& track, std::uint64_t channels) {
  return track ? track->size() / std::max<std::uint64_t>(channels, 1) : 0;
}

// Reads up to one block from `position`; returns the frames read (fewer than a
// block means the track ended inside it). Adds `weight x sample` when given.
std::size_t read_track(const TrackRef& track, std::uint64_t channels, std::uint64_t position,
                       std::span<float> left, std::span<float> right, const float* weight = nullptr) {
  const std::uint64_t frames = frame_count(track, channels);
  const std::uint64_t ch = std::max<std::uint64_t>(channels, 1);
  std::size_t i = 0;
  for (; i < kEngineBlock; ++i) {
    if (position + i >= frames) break;
    const std::size_t at = std::size_t((position + i) * ch);
    const float l = (*track)[at];
    const float r = ch > 1 ? (*track)[at + 1] : l;
    const float g = weight ? weight[i] : 1.0f;
    left[i] += l * g;
    right[i] += r * g;
  }
  return i;
}

// Hands a released track reference over so the engine never drops the last one.
void retire(AudioEngine& e, TrackRef&& ref) {
  if (!ref) return;
  if (ref.use_count() > 1) {
    ref.reset();
    return;
  }
  for (auto& slot : e.retired)
    if (!slot) {
      slot = std::move(ref);
      return;
    }
  ref.reset();  // every slot taken: nothing else can be done
}

void replace_track(AudioEngine& e, TrackRef& field, const TrackRef& with) {
  if (field == with) return;
  TrackRef old = std::move(field);
  field = with;
  retire(e, std::move(old));
}

// Under the first lock: retired tracks go to the state, whose writers free them.
void hand_over_retired(AudioEngine& e, NativeState& st) {
  for (auto& slot : e.retired) {
    if (!slot) continue;
    if (st.engineRetiredTrack) return;  // the last one is not freed yet
    st.engineRetiredTrack = std::move(slot);
  }
}

void reset_controls(AudioEngine& e) {
  e.controls = MixControls{};
  e.routing.assign("program");
  e.controls.mode = RoutingMode::Program;
  e.audio_revision = 1;
  e.device_revision = e.device_revision_at_open;
}

// The frames as popped; the mix's preparation replaces non-finite samples.
void capture_pop(AudioEngine& e) {
  auto& ring = e.streams.capture_ring;
  if (!ring) {
    e.capture.fill(StereoFrame{});
    return;
  }
  auto g = ring->lock();
  if (g.poisoned()) {
    e.capture.fill(StereoFrame{});
    return;
  }
  for (std::size_t i = 0; i < kEngineBlock; ++i) {
    StereoFrame f;
    if (!g->pop_front(f)) f = {e.last_captured.left * 0.996f, e.last_captured.right * 0.996f};
    e.last_captured = f;
    e.capture[i] = f;
  }
}

void seed_live_key(AudioEngine& e, const NativeState& st) {
  const DspParams& p = st.dsp.params;
  if (p.send_key_to_autotune && st.player.detectedKey) {
    const double scaled = std::round(double(p.bpm) * 10.0);
    const std::uint32_t bpm10 = !(scaled > 0.0) ? 0u
                                : scaled >= double(std::numeric_limits<std::uint32_t>::max())
                                    ? std::numeric_limits<std::uint32_t>::max()
                                    : std::uint32_t(scaled);
    if (!e.key_seeded || p.root_key != e.seeded_root || p.scale_is_minor != e.seeded_minor ||
        bpm10 != e.seeded_bpm10) {
      engine_seed_live_key(e.dsp.key_tracker, p.root_key % 12, p.scale_is_minor,
                           std::clamp(p.bpm, 40.0f, 200.0f));
      e.key_seeded = true;
      e.seeded_root = p.root_key;
      e.seeded_minor = p.scale_is_minor;
      e.seeded_bpm10 = bpm10;
    }
  } else if (!st.player.samples || st.player.samples->empty()) {
    e.key_seeded = false;
  }
}

// The copy path, under the first lock. Returns whether the block read the
// track (`played`) and where it began.
void copy_path(AudioEngine& e, NativeState& st, bool& played, std::uint64_t& read_from) {
  e.device_revision = st.deviceRevision;
  e.controls.running = st.running;
  e.controls.monitor_enabled = st.monitorEnabled;
  e.controls.monitor_gain = st.monitorGain;
  e.controls.input_muted = st.inputMuted;
  e.controls.muted = st.muted;
  e.controls.mic_gain = st.micGain;
  e.controls.music_gain = st.musicGain;
  e.controls.master_gain = st.masterGain;
  e.routing.assign(st.routingMode);  // routing texts fit the reserved room
  e.controls.mode = routing_mode_of(e.routing);
  e.audio_revision = st.audioRevision;
  e.voice_cal.active = st.voiceCal.active;
  recorder_note_slots(e.recorder, st.recording, st.stageRecording);

  clone_dsp_params_into(e.dsp.params, st.dsp.params);
  seed_live_key(e, st);

  PlayerState& pl = st.player;
  if (e.pending_advance != 0 && pl.playing && pl.trackSerial == e.last_serial) {
    const std::uint64_t frames = frame_count(pl.samples, std::max<std::uint64_t>(pl.channels, 1));
    pl.position = std::min(pl.position + e.pending_advance, frames);
    if (pl.position >= frames) pl.playing = false;
  } else {
    e.last_serial = pl.trackSerial;
  }
  e.pending_advance = 0;

  replace_track(e, e.track, pl.samples);
  e.channels = std::max<std::uint64_t>(pl.channels, 1);
  e.position = pl.position;
  hand_over_retired(e, st);

  played = pl.playing;
  read_from = e.position;
  if (pl.playing) {
    const std::size_t n = read_track(e.track, e.channels, e.position, e.music_l, e.music_r);
    pl.position = e.position + n;
    if (n < kEngineBlock) pl.playing = false;
  }
  e.position = pl.position;
  e.playing = pl.playing;
}

void busy_path(AudioEngine& e, bool& played, std::uint64_t& read_from) {
  played = e.playing;
  read_from = e.position;
  if (!e.playing) return;
  const std::size_t n = read_track(e.track, e.channels, e.position, e.music_l, e.music_r);
  e.position += n;
  e.pending_advance += n;
  if (n < kEngineBlock) e.playing = false;
}

void apply_fades(AudioEngine& e, bool played, std::uint64_t read_from) {
  const auto& w = fade_in_weights();
  std::array<float, kEngineBlock> out_w;
  for (std::size_t i = 0; i < kEngineBlock; ++i) out_w[i] = 1.0f - w[i];
  const bool crossfade =
      played && e.fade_playing && (e.track != e.fade_track || read_from != e.fade_position);
  if (played && (!e.fade_playing || crossfade)) {
    for (std::size_t i = 0; i < kEngineBlock; ++i) {
      e.music_l[i] *= w[i];
      e.music_r[i] *= w[i];
    }
  }
  if ((!played && e.fade_playing) || crossfade)
    read_track(e.fade_track, e.fade_channels, e.fade_position, e.music_l, e.music_r, out_w.data());

  // Remember this block for the next one's fades.
  replace_track(e, e.fade_track, e.track);
  e.fade_channels = e.channels;
  e.fade_position = e.position;
  e.fade_playing = played;
}

void second_lock(AudioEngine& e, NativeState& st) {
  write_bus_audit(st, e.sums, e.crackle);
  recorder_flush(e.recorder, st.recording, st.stageRecording, *st.recorderPool);
  engine_voice_cal_block(st, e.voice_cal);

  const LiveKeyTracker& tracker = e.dsp.key_tracker;
  if (st.dsp.params.send_key_to_autotune && tracker.stable_count > 2) {
    st.dsp.params.root_key = e.dsp.params.root_key;
    st.dsp.params.scale_is_minor = e.dsp.params.scale_is_minor;
    st.dsp.params.bpm = e.dsp.params.bpm;
    if (!st.player.detectedKey || tracker.state == 3) {
      // At most three bytes: the string keeps them inline, nothing allocates.
      const std::string_view note = kNoteNames[std::min<std::uint64_t>(e.dsp.params.root_key, 11)];
      if (!st.player.detectedKey) st.player.detectedKey.emplace();
      st.player.detectedKey->assign(note);
      if (e.dsp.params.scale_is_minor) st.player.detectedKey->push_back('m');
      st.player.detectedBpm = e.dsp.params.bpm;
    }
  }
  st.telemetry = e.meters;
}

void push_capped(FrameRing& ring, const std::array<StereoFrame, kEngineBlock>& block,
                 std::optional<std::size_t>* fill_after) {
  auto g = ring.lock();
  if (g.poisoned()) {
    if (fill_after) *fill_after = kPlaybackTargetFill;
    return;
  }
  for (const StereoFrame& f : block) g->push_back_capped(f);
  if (fill_after) *fill_after = g->size();
}

// Opens the bus output unit on the virtual bus device, when one is found.
void open_bus(AudioEngine& e) {
  AudioHost& host = *e.env.platform.audio;
  auto ids = host.devices();
  if (!ids) return;
  struct Candidate {
    DeviceId id;
    std::string name;
  };
  std::vector<Candidate> found;
  for (DeviceId id : *ids) {
    if (!host.has_output(id)) continue;
    auto name = host.device_name(id);
    const std::optional<std::string_view> view = name ? std::optional<std::string_view>(*name) : std::nullopt;
    if (!is_virtual_loopback_device(view, e.streams.output_name, e.streams.input_name)) continue;
    found.push_back({id, *name});
  }
  if (found.empty()) return;
  auto pick = [&](auto test) -> const Candidate* {
    for (const auto& c : found)
      if (test(unicode_lower(c.name))) return &c;
    return nullptr;
  };
  const Candidate* bus =
      pick([](const std::string& n) { return n.find("melodara_virtual_bus") != std::string::npos; });
  if (!bus)
    bus = pick([](const std::string& n) {
      return n.find("melodara") != std::string::npos || n.find("tunewerk") != std::string::npos;
    });
  if (!bus) bus = &found.front();
  if (e.env.set_bus_name) e.env.set_bus_name(bus->name.empty() ? std::string(kVirtualBusName) : bus->name);

  e.bus.ring = std::make_shared<FrameRing>(kBusRingStartFill);
  e.bus.counter = std::make_shared<CallbackCounter>(0);
  OutputUnitHost& units = *e.env.platform.units;
  auto format = units.device_format(bus->id);
  if (!format) return;
  auto state = std::make_shared<PlaybackCallbackState>(
      make_playback_state(e.bus.ring, e.bus.counter, format->sample_rate, format->channels));
  OutputCallback render;
  if (format->format == SampleFormat::f32)
    render = OutputCallbackF32([state](std::span<float> b) { bus_output_callback_f32(*state, b); });
  else if (format->format == SampleFormat::i16)
    render = OutputCallbackI16([state](std::span<std::int16_t> b) { bus_output_callback_i16(*state, b); });
  else
    return;
  auto unit = units.open_output_unit(bus->id, std::move(render));
  if (unit) e.bus.unit = std::move(*unit);
}

void sleep_for(AudioEngine& e, std::chrono::nanoseconds d) { e.env.clock.sleep_until(e.env.clock.now() + d); }

bool stalled(const AudioEngine& e) { return e.env.enumeration_stalled && e.env.enumeration_stalled(); }

// Every 375th block: restarts streams whose callbacks stopped; three failed
// checks in a row leave the loop. A start skipped for an enumeration stall is
// retried here once the stall is over.
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

std::unique_ptr<AudioEngine> audio_engine_new(EngineEnv env, SharedState state,
                                              std::shared_ptr<ProgramStream> backing,
                                              std::shared_ptr<ProgramStream> primary) {
  auto e = std::make_unique<AudioEngine>();
  e->env = std::move(env);
  e->state = std::move(state);
  e->backing_slot = std::move(backing);
  e->primary_slot = std::move(primary);
  provision_virtual_devices(
      {e->env.platform, e->env.enumeration_stalled, e->env.device_snapshot, e->env.set_bus_name,
       [engine = e.get()](std::chrono::nanoseconds d) { sleep_for(*engine, d); }, running_executable()});
  e->dsp = vocal_dsp_new(dsp_params_default());
  e->routing.reserve(64);
  e->routing.assign("program");
  e->recorder = recorder_pending_new();
  return e;
}

void engine_open_streams(AudioEngine& e) {
  std::string input_id, output_id;
  {
    auto g = e.state->lock();
    if (!g.poisoned()) {
      clone_dsp_params_into(e.dsp.params, g->dsp.params);
      input_id = g->inputDeviceId.value_or("");
      output_id = g->outputDeviceId.value_or("");
      e.device_revision_at_open = g->deviceRevision;
      // Off the realtime path: the tracks the engine let go of are freed here
      // unless a request thread did it first.
      g->engineRetiredTrack.reset();
    }
  }

  const bool stall = stalled(e);
  AudioHost& host = *e.env.platform.audio;
  std::string input_name = input_id, output_name = output_id;
  if (!stall) {
    const ResolvedDevices r = resolve_engine_devices(host, input_id, output_id);
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
  e.streams = open_engine_streams(host, stall, input_name, output_name,
                                  [&e](std::chrono::nanoseconds d) { sleep_for(e, d); });
  e.opened_while_stalled = stall;
  if (!stall) open_bus(e);

  if (e.bus.unit) (void)e.bus.unit->start();

  routing_mix_open(e.mix, webcam);
  reset_controls(e);
  // Until the first copy the monitor follows the feedback rule, as the state
  // does before the host chooses.
  e.controls.monitor_enabled = !risk;
  e.watch_blocks = 0;
  e.seen_capture = e.seen_playback = e.seen_bus = 0;
  e.stall_count = 0;
  e.pacer.base = e.env.clock.now();
  e.pacer.blocks = 0;
  ++e.opens;
}

BlockOutcome engine_run_block(AudioEngine& e) {
  capture_pop(e);
  e.music_l.fill(0.0f);
  e.music_r.fill(0.0f);

  bool played = false;
  std::uint64_t read_from = 0;
  if (auto g = e.state->try_lock()) {
    copy_path(e, **g, played, read_from);
  } else {
    busy_path(e, played, read_from);
  }
  apply_fades(e, played, read_from);

  if (e.device_revision != e.device_revision_at_open) return BlockOutcome::device_change;

  const ChainGains gains =
      routing_mix_prepare_mic(e.mix, e.controls, e.capture, e.capture_l, e.capture_r, e.mic);
  e.dsp.params.beat_volume = gains.beat_volume;
  e.dsp.params.vocal_gain = gains.vocal_gain;
  e.meters = vocal_chain_process(e.dsp, e.mic, e.music_l, e.music_r, e.out_l, e.out_r);
  e.meters.latency_ms = kEngineLatencyMs;
  engine_voice_cal_measure(e.voice_cal, e.mic, gains.mic_rms, e.meters.detected_vocal_hz);

  const MixOutputs outputs{e.primary_block, e.backing_block,   e.monitor_block, e.bus_block,
                           e.rec_mix_block, e.rec_vocal_block, e.rec_dry_block};
  e.sums = routing_mix_block(
      e.mix, e.controls, routing_mix_inputs(e.capture_l, e.capture_r, e.mic, e.out_l, e.out_r, e.dsp.stems),
      outputs);
  for (std::size_t i = 0; i < kEngineBlock; ++i)
    engine_push_program_frames(e.primary_slot.get(), e.backing_slot.get(), e.audio_revision,
                               e.primary_block[i], e.backing_block[i]);
  recorder_capture_block(e.recorder, {e.rec_mix_block, e.rec_vocal_block, e.rec_dry_block, e.backing_block});
  crackle_update(e.crackle, e.sums);

  if (auto g = e.state->try_lock()) second_lock(e, **g);

  e.watch_blocks = saturating_next(e.watch_blocks);
  const bool tick = e.watch_blocks % kWatchdogBlocks == 0;
  if (e.bus.ring) {
    push_capped(*e.bus.ring, e.bus_block, nullptr);
    if (tick) bus_watchdog(e);
  }

  // Only a monitor output reads the monitor ring: without one, pushing would
  // fill it up and steer the clock by a ring nobody drains.
  std::optional<std::size_t> fill;
  if (e.streams.monitor_stream && e.streams.monitor_ring)
    push_capped(*e.streams.monitor_ring, e.monitor_block, &fill);
  e.last_monitor_fill = fill;

  if (tick) {
    if (auto outcome = stream_watchdog(e)) return *outcome;
  }
  return BlockOutcome::next;
}

PaceResult engine_pace(AudioEngine& e) { return pace_block(e.pacer, e.last_monitor_fill, e.env.clock); }

bool engine_usb_recover(UsbRegistry& registry, std::string_view input_name, std::string_view output_name) {
  auto named = [](std::string_view n) { return !n.empty() && !ascii_iequals(n, "default"); };
  auto entries = registry.matching_services(usb_host_device_matching_name());
  if (!entries) return false;
  for (auto& entry : *entries)
    if (entry.name && !named(*entry.name)) entry.name.reset();
  const auto hit = match_usb_device(*entries, named(input_name) ? input_name : std::string_view{},
                                    named(output_name) ? output_name : std::string_view{});
  if (!hit) return false;
  (void)registry.reset_device((*entries)[*hit].service);
  return true;
}

void engine_restart(AudioEngine& e, BlockOutcome cause) {
  retire(e, std::move(e.track));
  retire(e, std::move(e.fade_track));
  e.playing = e.fade_playing = false;
  e.bus = BusOutput{};
  const std::string input_name = std::move(e.streams.input_name);
  const std::string output_name = std::move(e.streams.output_name);
  e.streams = EngineStreams{};
  if (cause != BlockOutcome::stalled_streams) return;
  if (is_builtin_or_system_device(input_name) && is_builtin_or_system_device(output_name)) return;
  if (e.env.platform.usb && engine_usb_recover(*e.env.platform.usb, input_name, output_name))
    sleep_for(e, std::chrono::milliseconds(900));
}

void run_engine_loop(AudioEngine& e, const std::function<bool()>& keep_running) {
  engine_open_streams(e);
  while (keep_running()) {
    const BlockOutcome outcome = engine_run_block(e);
    if (outcome != BlockOutcome::next) {
      engine_restart(e, outcome);
      engine_open_streams(e);
      continue;
    }
    engine_pace(e);
  }
}

void run_audio_engine(SharedState state, std::shared_ptr<ProgramStream> backing,
                      std::shared_ptr<ProgramStream> primary) {
  auto engine =
      audio_engine_new(default_engine_env(), std::move(state), std::move(backing), std::move(primary));
  run_engine_loop(*engine, [] { return true; });
  for (;;) sleep_for(*engine, std::chrono::hours(1));
}

}  // namespace melodara
