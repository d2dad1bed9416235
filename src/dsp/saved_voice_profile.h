// The singer's saved voice profile: the personal preset that voice calibration
// computed, kept in "Tunewerk_Saved_VoiceProfile.json" across runs.
//
// It is read from "recordings/" under the working folder when a readable UTF-8
// file is there (even a malformed one), else from ".config/Melodara" under the
// home folder. It is written to the home folder's copy and, when the working
// folder's copy exists, over that one too, so what is saved is what loads.
// Every write goes through a temporary file synced to disk and a rename.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dsp/dsp_params.h"
#include "dsp/voice_cal_status.h"

namespace melodara {

inline constexpr std::string_view kSavedVoiceProfileFile = "Tunewerk_Saved_VoiceProfile.json";
// The profile's id (also the voice-profile label it applies) and its display label.
inline constexpr std::string_view kMyVocalProfile = "My Vocal";
inline constexpr std::string_view kMyVocalLabel = "⭐ Hồ Sơ Giọng Của Tôi (My Vocal)";

// The places to read, in order: the working folder's copy, then the home
// folder's (none without HOME or USERPROFILE). Thread: any. Allocates: yes.
std::vector<std::filesystem::path> saved_voice_profile_paths();

// Removes, in the folders of both copies, the profile's temporaries
// ("Tunewerk_Saved_VoiceProfile.json.tmp-<pid>-<n>") whose writer is gone or
// has our pid: what a run killed mid-save left. Returns how many went.
// Thread: start-up, before the profile writer runs. Allocates: yes. Blocks: file I/O.
std::size_t remove_stale_voice_profile_temporaries();

// The file's text: the whole parameter record, the profile's id and label and
// a summary of the calibration, as pretty JSON with sorted keys.
// Thread: any. Allocates: yes.
std::string saved_voice_profile_text(const DspParams& params, const VoiceCalStatus& calibration);

// Writes the profile; failures leave the previous files and are not reported.
// Thread: off the engine thread. Allocates: yes. Blocks: file I/O.
void write_saved_voice_profile(const DspParams& params, const VoiceCalStatus& calibration);

// The stored parameter record of a profile file's text ("dsp_params", else
// "params"), or none when the text is not a usable profile.
// Thread: any. Allocates: yes.
std::optional<DspParams> parse_saved_voice_profile(std::string_view text);

// A personal profile keeps the delay off: no ping-pong, send or mix, feedback 0.1.
// Thread: any. Allocates: no.
void switch_profile_delay_off(DspParams& params);

// Lays the stored record's tone-shaping values over `target`, each kept in a
// safe range, switches the delay off and repairs reverb, delay, limiter and
// width values the chain was not tuned for. Thread: any. Allocates: no.
void apply_saved_voice_profile(DspParams& target, const DspParams& stored);

// Lays the saved profile over `params` and returns its label "My Vocal";
// without a usable saved profile returns nothing and leaves `params` as they
// were. Thread: request or start-up thread. Allocates: yes. Blocks: reads files.
std::optional<std::string> load_saved_voice_profile(DspParams& params);

}  // namespace melodara
