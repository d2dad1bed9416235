// One-word edits of the shared vocal parameters: vocal preset, audio-chain
// mode, reverb mode and voice profile. Each stores the word as given (an unknown
// word selects its fallback group), rewrites its fields and bumps the audio
// revision once; the engine picks the parameters up at its next copy.
#pragma once

#include <string_view>

#include "state/native_state.h"

namespace melodara {

// Also mirrors `vocal_gain` and `beat_volume` into the mixer's gains, each kept within 0..2.
// Thread: request thread, holding the state lock. Allocates: the stored word. Blocks: no.
void apply_vocal_preset(NativeState& state, std::string_view preset_id);

// Thread: request thread, holding the state lock. Allocates: the stored word. Blocks: no.
void apply_audio_chain(NativeState& state, std::string_view chain_name);

// Thread: request thread, holding the state lock. Allocates: the stored word. Blocks: no.
void apply_reverb_mode(NativeState& state, std::string_view mode);

// Stores the group's label, not the word ("My Vocal" whether or not a saved profile exists).
// Thread: request thread, holding the state lock. Allocates: yes.
// Blocks: "My Vocal" reads the profile file (after saving a pending one).
void apply_voice_profile(NativeState& state, std::string_view profile);

}  // namespace melodara
