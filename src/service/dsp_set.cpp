#include "service/dsp_set.h"

#include <cmath>

#include "core/counters.h"
#include "dsp/key_names.h"
#include "dsp/param_ranges.h"
#include "service/handlers.h"
#include "service/payload.h"
#include "state/key_tracker_seed.h"

namespace melodara {
namespace {

// A level the payload gives drives the mixer; otherwise the mixer's level is
// copied back, so the two never drift apart.
void sync_level(const Json& payload, std::string_view key, float& param, float& mixer_gain) {
  if (payload_number(payload, {key}))
    mixer_gain = clamp_gain(param);
  else
    param = mixer_gain;
}

// A manual key becomes the player's key; otherwise the loaded track's key and
// tempo override what the payload gave, while the key is sent to the autotune.
void follow_key(NativeState& state, bool manual) {
  DspParams& p = state.dsp.params;
  PlayerState& player = state.player;
  if (manual) {
    player.detectedKey = key_label(p.root_key, p.scale_is_minor);
    seed_key_tracker(state);
  } else if (p.send_key_to_autotune) {
    if (player.detectedKey) apply_key_name_to_dsp_params(p, *player.detectedKey);
    if (player.detectedBpm && std::isfinite(*player.detectedBpm)) p.bpm = *player.detectedBpm;
    if (player.detectedKey) seed_key_tracker(state);
  }
}

}  // namespace

void apply_dsp_set(NativeState& state, const Json& payload) {
  if (auto mode = payload_text(payload, {"routingMode"})) parse_routing_mode(state, *mode);
  const bool manual_key = payload_bool(payload, {"manual_scale_override"}).value_or(false);

  DspParams& p = state.dsp.params;
  if (payload.is_object()) {
    if (auto merged = dsp_params_overlay_json(p, payload)) p = *merged;
  }
  keep_dsp_params_in_range(p);
  sync_level(payload, "vocal_gain", p.vocal_gain, state.micGain);
  sync_level(payload, "beat_volume", p.beat_volume, state.musicGain);
  follow_key(state, manual_key);
  bump(state.audioRevision);
}

}  // namespace melodara
