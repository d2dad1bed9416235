#include "state/dsp_edits.h"

#include "core/counters.h"
#include "dsp/presets.h"
#include "dsp/voice_profiles.h"
#include "state/voice_calibration.h"

namespace melodara {

void apply_vocal_preset(NativeState& state, std::string_view preset_id) {
  state.presetId = preset_id;
  DspParams& p = state.dsp.params;
  apply_vocal_preset_params(p, preset_id);
  state.micGain = clamp_gain(p.vocal_gain);
  state.musicGain = clamp_gain(p.beat_volume);
  bump(state.audioRevision);
}

void apply_audio_chain(NativeState& state, std::string_view chain_name) {
  state.audioChain = chain_name;
  state.dsp.params.audio_chain_mode = audio_chain_mode_of(chain_name);
  bump(state.audioRevision);
}

void apply_reverb_mode(NativeState& state, std::string_view mode) {
  state.reverbMode = mode;
  apply_reverb_mode_params(state.dsp.params, mode);
  bump(state.audioRevision);
}

void apply_voice_profile(NativeState& state, std::string_view profile) {
  const VoiceProfileGroup group = voice_profile_group(profile);
  // The saved profile must be on disk before it is read.
  if (group == VoiceProfileGroup::Saved) write_pending_voice_profile(state);
  apply_voice_profile_params(state.dsp.params, group);
  state.voiceProfile = voice_profile_label(group);
  bump(state.audioRevision);
}

}  // namespace melodara
