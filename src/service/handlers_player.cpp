// Player operations: they change the player part of the locked state, which
// the engine reads at its next state copy, and answer the player's status.
// Every change of position or track bumps `trackSerial`, so the engine drops
// the advance it counted since its last copy instead of adding it on top.
#include <cmath>
#include <limits>

#include "core/counters.h"
#include "dsp/key_names.h"
#include "media/load_jobs.h"
#include "media/media_analysis.h"
#include "service/handlers.h"
#include "service/payload.h"
#include "service/snapshots.h"
#include "state/key_tracker_seed.h"

namespace melodara {
namespace {

std::optional<double> payload_position(const Json& payload) {
  return payload_number(payload, {"position_seconds", "positionSeconds"});
}

// A seek within this much of the end of a track longer than kEndRuleMinSeconds ends it.
constexpr double kEndRuleSeconds = 0.15;
constexpr double kEndRuleMinSeconds = 0.5;

// Seconds from a payload, not below 0 (NaN reads as 0) and not past the
// track's duration (unless the duration is not a number).
double clamp_seconds(double seconds, double duration) {
  double t = std::isnan(seconds) ? 0.0 : std::fmax(seconds, 0.0);
  if (!std::isnan(duration)) t = std::fmin(t, duration);
  return t;
}

// t × rate in whole frames, saturating: below 0 gives 0, beyond the range the
// largest value.
std::uint64_t saturating_frames(double t, double rate) {
  const double frames = t * rate;
  if (!(frames > 0.0)) return 0;
  if (frames >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(frames);
}

double player_rate(const PlayerState& p) { return p.mediaSampleRate == 0 ? 1.0 : double(p.mediaSampleRate); }

}  // namespace

HandlerResult handle_player_status(NativeState& state, const Json&) { return player_status_json(state); }

HandlerResult handle_player_play(NativeState& state, const Json& payload) {
  PlayerState& p = state.player;
  if (!player_loaded(p)) return std::unexpected(invalid_request("Chưa nạp bài hát vào Player."));
  const std::uint64_t frames = player_frames(p);
  if (const auto seconds = payload_position(payload)) {
    const double t = clamp_seconds(*seconds, p.durationSeconds);
    p.position = std::min(saturating_frames(t, player_rate(p)), frames);
    bump(p.trackSerial);
  } else if (p.position >= frames) {
    p.position = 0;  // played to its end: start again
    bump(p.trackSerial);
  }
  p.playing = true;
  return player_status_json(state);
}

HandlerResult handle_player_pause(NativeState& state, const Json&) {
  state.player.playing = false;
  return player_status_json(state);
}

HandlerResult handle_player_seek(NativeState& state, const Json& payload) {
  PlayerState& p = state.player;
  const std::uint64_t frames = player_frames(p);
  const double t = clamp_seconds(payload_position(payload).value_or(0.0), p.durationSeconds);
  const std::uint64_t frame = saturating_frames(t, player_rate(p));
  const double duration = p.durationSeconds;
  if (frames == 0) {
    p.position = 0;
  } else if (frame >= frames || (duration > kEndRuleMinSeconds && t >= duration - kEndRuleSeconds)) {
    p.position = frames;  // at the end: the track stops there
    p.playing = false;
  } else {
    p.position = frame;  // a seek does not start playback
  }
  bump(p.trackSerial);
  return player_status_json(state);
}

HandlerResult handle_player_recalculate_key(NativeState& state, const Json&) {
  PlayerState& p = state.player;
  if (!player_loaded(p)) return std::unexpected(invalid_request("Chưa nạp bài hát để dò tông."));
  MediaAnalysis found = analyze_key_tempo(*p.samples, analysis_hint(p.title, p.source));
  if (found.detected_key) apply_key_name_to_dsp_params(state.dsp.params, *found.detected_key);
  if (found.tempo_known != 0) state.dsp.params.bpm = found.tempo_bpm;
  p.detectedKey = std::move(found.detected_key);
  p.detectedBpm = found.tempo_known != 0 ? std::optional<float>(found.tempo_bpm) : std::nullopt;
  seed_key_tracker(state);
  return player_status_json(state);
}

HandlerResult handle_player_unload(NativeState& state, const Json&) {
  PlayerState& p = state.player;
  bump_media_generation(p);  // a load still running stops and does not install
  bump(p.trackSerial);
  // The engine keeps its own reference to the old track until its next copy.
  p.samples = std::make_shared<const std::vector<float>>();
  p.channels = 2;
  p.mediaSampleRate = 48000;
  p.durationSeconds = 0.0;
  p.position = 0;
  p.title.clear();
  p.source.clear();
  p.loadJobId.reset();
  p.detectedKey.reset();
  p.detectedBpm.reset();
  p.playing = false;
  p.loading = false;
  p.loadProgress = 0;
  state.dsp.key_tracker.key_given = false;  // the live tracker looks for the key itself again
  return player_status_json(state);
}

}  // namespace melodara
