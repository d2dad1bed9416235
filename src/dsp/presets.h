// Vocal presets, audio-chain modes and reverb modes: one word of the host's
// menus that rewrites a fixed set of parameters to fixed values. The words are
// closed vocabularies matched exactly (case-sensitive); any other word, the
// empty one included, selects the fallback group, never an error.
#pragma once

#include <cstdint>
#include <string_view>

#include "dsp/dsp_params.h"

namespace melodara {

enum class VocalPresetGroup { RnB, Remix, Bolero, Pk, Pop };
enum class ReverbGroup { Off, Room, Plate, Deep, Hall };

// Thread: any. Allocates: no.
VocalPresetGroup vocal_preset_group(std::string_view preset_id);

// The preset's common reset, then its group's fields; the rest is left alone.
// Thread: any. Allocates: no.
void apply_vocal_preset_params(DspParams& params, std::string_view preset_id);

// 0 for "Caldane", "AutoVocalTools" and "Studio Warm", else 1. Thread: any. Allocates: no.
std::uint8_t audio_chain_mode_of(std::string_view chain_name);

// Tests in order: Off, Room, Plate, Deep (exact words, prefixes, substrings).
// Thread: any. Allocates: no.
ReverbGroup reverb_mode_group(std::string_view mode);

// The reverb mode's common reset, then its group's fields; `reverb_bpm_sync`
// and the levels are left alone. Thread: any. Allocates: no.
void apply_reverb_mode_params(DspParams& params, std::string_view mode);

}  // namespace melodara
