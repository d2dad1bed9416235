#include "engine/engine_block.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string_view>

#include "core/counters.h"
#include "dsp/key_names.h"
#include "engine/engine_seams.h"

namespace melodara {
namespace {

// Raised-cosine fade-in weights over one block, n = 1..128 (set before main,
// so the block never runs an initialiser).
const BlockSamples kFadeIn = [] {
  BlockSamples w{};
  for (std::size_t i = 0; i < kEngineBlock; ++i)
    w[i] =
        static_cast<float>((1.0 - std::cos(std::numbers::pi * double(i + 1) / double(kEngineBlock))) / 2.0);
  return w;
}();

std::uint64_t frame_count(const TrackRef& track, std::uint64_t channels) {
  return track ? track->size() / std::max<std::uint64_t>(channels, 1) : 0;
}

// The frames a block reads from `position`: fewer than a block when the
// track ends inside it.
std::size_t frames_to_read(const TrackCursor& c) {
  const std::uint64_t frames = frame_count(c.track, c.channels);
  return c.position < frames
             ? static_cast<std::size_t>(std::min<std::uint64_t>(frames - c.position, kEngineBlock))
             : 0;
}

// Adds up to one block of the track from `position`, times `weight` when given.
void add_track(const TrackCursor& c, std::uint64_t position, BlockSamples& left, BlockSamples& right,
               const BlockSamples* weight = nullptr) {
  const std::uint64_t frames = frame_count(c.track, c.channels);
  const std::uint64_t ch = std::max<std::uint64_t>(c.channels, 1);
  for (std::size_t i = 0; i < kEngineBlock && position + i < frames; ++i) {
    const std::size_t at = static_cast<std::size_t>((position + i) * ch);
    const float l = (*c.track)[at];
    const float r = ch > 1 ? (*c.track)[at + 1] : l;
    const float g = weight ? (*weight)[i] : 1.0f;
    left[i] += l * g;
    right[i] += r * g;
  }
}

// A released reference goes to the retire queue, whoever else may hold the
// track: a use count read here could be stale by the time it is dropped.
void retire(EngineBlock& b, TrackRef&& ref) {
  if (!ref || b.retired->retire(std::move(ref))) return;
  // Only when the reclaimer has stopped for 128 blocks: freeing here beats
  // keeping tracks alive without end.
  bump(b.retire_overflows);
  ref.reset();
}

void replace_track(EngineBlock& b, TrackRef& field, const TrackRef& with) {
  if (field == with) return;
  TrackRef old = std::move(field);
  field = with;
  retire(b, std::move(old));
}

void seed_live_key(EngineBlock& b, const NativeState& st) {
  const DspParams& p = st.dsp.params;
  KeySeedMemo& memo = b.key_seed;
  if (p.send_key_to_autotune && st.player.detectedKey) {
    const double scaled = std::round(double(p.bpm) * 10.0);
    const std::uint32_t bpm10 = !(scaled > 0.0) ? 0u
                                : scaled >= double(std::numeric_limits<std::uint32_t>::max())
                                    ? std::numeric_limits<std::uint32_t>::max()
                                    : static_cast<std::uint32_t>(scaled);
    if (!memo.seeded || p.root_key != memo.root || p.scale_is_minor != memo.minor || bpm10 != memo.bpm10) {
      engine_seed_live_key(b.dsp.key_tracker, p.root_key % 12, p.scale_is_minor,
                           std::clamp(p.bpm, 40.0f, 200.0f));
      memo = {true, p.root_key, p.scale_is_minor, bpm10};
    }
  } else if (!st.player.samples || st.player.samples->empty()) {
    memo.seeded = false;
  }
}

// The tracker's key and tempo as the engine's chain handed them over, into
// the shared parameters and, while the player has no key of its own or the
// tracker confirmed a key change, into the player's key and tempo.
void write_back_live_key(const EngineBlock& b, NativeState& st) {
  DspParams& shared = st.dsp.params;
  const LiveKeyTracker& tracker = b.dsp.key_tracker;
  if (!shared.send_key_to_autotune || tracker.stable_count <= 2) return;
  // An edit, a load or a seek since the copy is newer than the block's key;
  // the next copy brings it in.
  if (st.audioRevision != b.audio_revision || st.player.trackSerial != b.last_serial) return;
  const DspParams& own = b.dsp.params;
  const CopiedKey& copied = b.copied_key;
  if (own.root_key != copied.root && shared.root_key == copied.root) shared.root_key = own.root_key;
  if (own.scale_is_minor != copied.minor && shared.scale_is_minor == copied.minor)
    shared.scale_is_minor = own.scale_is_minor;
  if (own.bpm != copied.bpm && shared.bpm == copied.bpm) shared.bpm = own.bpm;

  // The player's key only from a key the tracker has found (the chain hands
  // it over from five agreeing analyses on): before that the parameters hold
  // the default key, which would then seed and lock the tracker. And an
  // empty player has no key to detect (an unload cleared it).
  PlayerState& player = st.player;
  const bool tracked = tracker.stable_count >= 5 && (!tracker.key_given || tracker.state == 3);
  if (!tracked || !player.samples || player.samples->empty()) return;
  if (!player.detectedKey || tracker.state == 3) {
    // At most three bytes: the strings keep them inline, nothing allocates or frees.
    if (!player.detectedKey) player.detectedKey.emplace();
    player.detectedKey->assign(key_label_inline(shared.root_key, shared.scale_is_minor).view());
    player.detectedBpm = shared.bpm;
  }
}

void apply_fades(EngineBlock& b) {
  BlockSignals& s = b.signals;
  const bool played = b.plays;
  const bool crossfade =
      played && b.faded.playing && (b.track.track != b.faded.track || b.play_from != b.faded.position);
  if (played && (!b.faded.playing || crossfade)) {
    for (std::size_t i = 0; i < kEngineBlock; ++i) {
      s.music_left[i] *= kFadeIn[i];
      s.music_right[i] *= kFadeIn[i];
    }
  }
  if ((!played && b.faded.playing) || crossfade) {
    BlockSamples fade_out;
    for (std::size_t i = 0; i < kEngineBlock; ++i) fade_out[i] = 1.0f - kFadeIn[i];
    add_track(b.faded, b.faded.position, s.music_left, s.music_right, &fade_out);
  }
  // Remember this block for the next one's fades.
  replace_track(b, b.faded.track, b.track.track);
  b.faded.channels = b.track.channels;
  b.faded.position = b.track.position;
  b.faded.playing = played;
}

}  // namespace

EngineBlock engine_block_new() {
  EngineBlock b;
  b.dsp = vocal_dsp_new(dsp_params_default());
  b.recorder = recorder_pending_new();
  b.retired = std::make_shared<TrackRetireQueue>(kTrackRetireCapacity);
  return b;
}

void engine_block_open(EngineBlock& b, bool webcam_input, bool monitor_enabled,
                       std::uint64_t device_revision) noexcept {
  routing_mix_open(b.mix, webcam_input);
  b.controls = MixControls{};
  b.controls.monitor_enabled = monitor_enabled;
  b.audio_revision = 1;
  b.device_revision = device_revision;
}

void engine_block_copy(EngineBlock& b, NativeState& st) noexcept MELODARA_NONBLOCKING {
  b.device_revision = st.deviceRevision;
  MixControls& c = b.controls;
  c.running = st.running;
  c.monitor_enabled = st.monitorEnabled;
  c.monitor_gain = st.monitorGain;
  c.input_muted = st.inputMuted;
  c.muted = st.muted;
  c.mic_gain = st.micGain;
  c.music_gain = st.musicGain;
  c.master_gain = st.masterGain;
  c.mode = routing_mode_of(st.routingMode);
  b.audio_revision = st.audioRevision;
  b.voice_cal.active = st.voiceCal.active;
  recorder_note_slots(b.recorder, st.recording, st.stageRecording);

  clone_dsp_params_into(b.dsp.params, st.dsp.params);
  b.copied_key = {st.dsp.params.root_key, st.dsp.params.scale_is_minor, st.dsp.params.bpm};
  seed_live_key(b, st);

  PlayerState& pl = st.player;
  if (b.pending_advance != 0 && pl.playing && pl.trackSerial == b.last_serial) {
    const std::uint64_t frames = frame_count(pl.samples, std::max<std::uint64_t>(pl.channels, 1));
    pl.position = std::min(pl.position + b.pending_advance, frames);
    if (pl.position >= frames) pl.playing = false;
  } else {
    b.last_serial = pl.trackSerial;
  }
  b.pending_advance = 0;

  replace_track(b, b.track.track, pl.samples);
  b.track.channels = std::max<std::uint64_t>(pl.channels, 1);
  b.track.position = pl.position;

  b.plays = pl.playing;
  b.play_from = pl.position;
  if (pl.playing) {
    const std::size_t n = frames_to_read(b.track);
    pl.position += n;
    if (n < kEngineBlock) pl.playing = false;
  }
  b.track.position = pl.position;
  b.track.playing = pl.playing;
}

void engine_block_keep(EngineBlock& b) noexcept MELODARA_NONBLOCKING {
  b.plays = b.track.playing;
  b.play_from = b.track.position;
  if (!b.track.playing) return;
  const std::size_t n = frames_to_read(b.track);
  b.track.position += n;
  b.pending_advance += n;
  if (n < kEngineBlock) b.track.playing = false;
}

void engine_block_process(EngineBlock& b,
                          std::span<const StereoFrame, kEngineBlock> captured) noexcept MELODARA_NONBLOCKING {
  BlockSignals& s = b.signals;
  s.music_left.fill(0.0f);
  s.music_right.fill(0.0f);
  if (b.plays) add_track(b.track, b.play_from, s.music_left, s.music_right);
  apply_fades(b);

  const ChainGains gains =
      routing_mix_prepare_mic(b.mix, b.controls, captured, s.capture_left, s.capture_right, s.mic);
  b.dsp.params.beat_volume = gains.beat_volume;
  b.dsp.params.vocal_gain = gains.vocal_gain;
  s.meters = vocal_chain_process(b.dsp, s.mic, s.music_left, s.music_right, s.out_left, s.out_right);
  s.meters.latency_ms = kEngineLatencyMs;
  engine_voice_cal_measure(b.voice_cal, s.mic, gains.mic_rms, s.meters.detected_vocal_hz);

  const MixOutputs outputs{s.primary, s.backing, s.monitor, s.bus, s.rec_mix, s.rec_vocal, s.rec_dry_mic};
  s.sums = routing_mix_block(
      b.mix, b.controls,
      routing_mix_inputs(s.capture_left, s.capture_right, s.mic, s.out_left, s.out_right, b.dsp.stems),
      outputs);
  recorder_capture_block(b.recorder, {s.rec_mix, s.rec_vocal, s.rec_dry_mic, s.backing});
  crackle_update(b.crackle, s.sums);
}

void engine_block_publish(EngineBlock& b, NativeState& st) noexcept MELODARA_NONBLOCKING {
  write_bus_audit(st, b.signals.sums, b.crackle);
  recorder_flush(b.recorder, st.recording, st.stageRecording, *st.recorderPool);
  engine_voice_cal_block(st, b.voice_cal);

  write_back_live_key(b, st);
  st.telemetry = b.signals.meters;
}

void engine_block_release_tracks(EngineBlock& b) noexcept {
  retire(b, std::move(b.track.track));
  retire(b, std::move(b.faded.track));
  b.track.playing = b.faded.playing = false;
}

}  // namespace melodara
