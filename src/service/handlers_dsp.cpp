// Vocal-parameter and telemetry operations. Each answers the DSP snapshot; a
// word that is absent or not a text changes nothing.
#include "service/dsp_set.h"
#include "service/handlers.h"
#include "service/payload.h"
#include "service/snapshots.h"
#include "state/dsp_edits.h"

namespace melodara {
namespace {

template <class Edit>
HandlerResult edit_by_word(NativeState& state, const Json& payload, std::string_view key, Edit edit) {
  if (auto word = payload_text(payload, {key})) edit(state, *word);
  return dsp_state_json(state);
}

}  // namespace

HandlerResult handle_dsp_get(NativeState& state, const Json&) { return dsp_state_json(state); }

HandlerResult handle_dsp_set(NativeState& state, const Json& payload) {
  apply_dsp_set(state, payload);
  return dsp_state_json(state);
}

HandlerResult handle_dsp_preset(NativeState& state, const Json& payload) {
  return edit_by_word(state, payload, "preset", apply_vocal_preset);
}

HandlerResult handle_dsp_reverb_mode(NativeState& state, const Json& payload) {
  return edit_by_word(state, payload, "mode", apply_reverb_mode);
}

HandlerResult handle_dsp_audio_chain(NativeState& state, const Json& payload) {
  return edit_by_word(state, payload, "chain", apply_audio_chain);
}

HandlerResult handle_dsp_voice_profile(NativeState& state, const Json& payload) {
  return edit_by_word(state, payload, "profile", apply_voice_profile);
}

HandlerResult handle_dsp_routing(NativeState& state, const Json& payload) {
  return edit_by_word(state, payload, "mode", parse_routing_mode);
}

}  // namespace melodara
