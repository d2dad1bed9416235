// Voice profiles: the tone colour for a female, default or male voice, or the
// singer's own saved profile. Profile words are matched exactly
// (case-sensitive); any other word, the empty one included, is the male voice.
#pragma once

#include <string_view>

#include "dsp/dsp_params.h"

namespace melodara {

enum class VoiceProfileGroup { Female, Default, Saved, Male };

// Thread: any. Allocates: no.
VoiceProfileGroup voice_profile_group(std::string_view profile);

// The label the service reports for the group: "Giong Nu", "Default", "My Vocal", "Giong Nam".
// Thread: any. Allocates: no.
std::string_view voice_profile_label(VoiceProfileGroup group);

// Sets the group's tone fields; the saved group lays the saved profile over
// the parameters when one exists and changes nothing otherwise.
// Thread: request thread. Allocates: yes (saved group only). Blocks: saved group reads a file.
void apply_voice_profile_params(DspParams& params, VoiceProfileGroup group);

}  // namespace melodara
