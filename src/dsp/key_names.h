// Musical key names: the short label of a key ("F#m", "A"), its long form
// ("F# Minor"), and the reading of a key name ("C#m", "A Minor", "Bb") into a
// root and a mode.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/fixed_text.h"
#include "core/realtime.h"
#include "dsp/dsp_params.h"

namespace melodara {

// Pitch classes 0..11, sharps only.
inline constexpr std::array<std::string_view, 12> kNoteNames = {"C",  "C#", "D",  "D#", "E",  "F",
                                                                "F#", "G",  "G#", "A",  "A#", "B"};

// The note name of min(root_key, 11), with "m" for a minor key.
// Thread: any. Allocates: no (at most three bytes, held inline).
std::string key_label(std::uint64_t root_key, bool minor);

// A short key label held inline, for the engine thread.
using KeyLabel = FixedText<3>;

// The short label of a key as `key_label`, without a heap.
// Thread: any. Allocates: no. Blocks: no.
KeyLabel key_label_inline(std::uint64_t root_key, bool minor) noexcept MELODARA_NONBLOCKING;

// "F# Minor", "C Major": the note name of min(root, 11), a blank and the mode.
// Thread: any. Allocates: yes. Blocks: no.
std::string key_long_name(std::uint64_t root, bool minor);

// What a key name says: minor when it ends in "m" or contains "Minor"; the root
// from what is left once trailing "Minor", "Major", "_" and "m" are stripped
// ("C".."G", "A", "B", or a sharp or flat of two characters), none otherwise.
// Thread: any. Allocates: no. Blocks: no.
struct KeyNameReading {
  std::optional<std::uint64_t> root;
  bool minor = false;
};
KeyNameReading read_key_name(std::string_view key_name);

// A key name in its sharp long form; a root that does not read is D.
// Thread: any. Allocates: yes. Blocks: no.
struct NormalizedKey {
  std::uint64_t root = 2;
  bool minor = false;
  std::string long_form;  // "A# Minor"
};
NormalizedKey normalize_key_name(std::string_view key_name);

// Sets `scale_is_minor` from the name, always, and `root_key` when the name's
// root reads ("C".."B", or a sharp or flat of two characters); an unreadable root
// ("H", "c", "") keeps the previous `root_key`. Thread: any. Allocates: no.
void apply_key_name_to_dsp_params(DspParams& params, std::string_view key_name);

}  // namespace melodara
