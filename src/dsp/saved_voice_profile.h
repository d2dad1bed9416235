// The singer's saved voice profile: the personal preset that voice calibration
// computed, kept in "Tunewerk_Saved_VoiceProfile.json" across runs.
#pragma once

#include <optional>
#include <string>

#include "dsp/dsp_params.h"

namespace melodara {

// Lays the saved profile's tone-shaping values over `params` and returns its
// label "My Vocal"; without a usable saved profile returns nothing and leaves
// `params` as they were. Thread: request or start-up thread. Allocates: yes.
// Blocks: reads files.
std::optional<std::string> load_saved_voice_profile(DspParams& params);

}  // namespace melodara
