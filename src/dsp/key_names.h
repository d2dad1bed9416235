// Musical key names: the short label of a key ("F#m", "A") and the reading of a
// key name ("C#m", "A Minor", "Bb") into the parameters' root and mode.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "dsp/dsp_params.h"

namespace melodara {

// Pitch classes 0..11, sharps only.
inline constexpr std::array<std::string_view, 12> kNoteNames = {"C",  "C#", "D",  "D#", "E",  "F",
                                                                "F#", "G",  "G#", "A",  "A#", "B"};

// The note name of min(root_key, 11), with "m" for a minor key.
// Thread: any. Allocates: no (at most three bytes, held inline).
std::string key_label(std::uint64_t root_key, bool minor);

// Sets `scale_is_minor` from the name, always, and `root_key` when the name's
// root reads ("C".."B", or a sharp or flat of two characters); an unreadable root
// ("H", "c", "") keeps the previous `root_key`. Thread: any. Allocates: no.
void apply_key_name_to_dsp_params(DspParams& params, std::string_view key_name);

}  // namespace melodara
