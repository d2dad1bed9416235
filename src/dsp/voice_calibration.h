// Voice calibration's measuring and deciding: the six band filters the engine
// runs over the microphone while a calibration is active, the per-block
// analysis of level, pitch and spectrum into `VoiceCalStatus`, and the
// completion that turns the measurements into the personal preset, the voice
// type and the Vietnamese summary.
//
// Once `voice_cal_started` has prepared the record (pitch list and texts
// reserved), analysis and completion neither allocate nor block, so both may
// run on the engine thread:
//
//     status = voice_cal_started(wanted_sec, params, status);  // request thread
//     voice_cal_measure_bands(bands, active, mic);             // engine, every block
//     if (voice_cal_analyze(status, {rms, pitch, bands.energy}))
//       voice_cal_complete(status, params);
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "dsp/biquad.h"
#include "dsp/dsp_params.h"
#include "dsp/voice_cal_status.h"

namespace melodara {

inline constexpr std::size_t kVoiceCalBands = 6;

// Band-pass filters at 110, 300, 650, 1,600, 3,200 and 10,000 Hz and the
// block's mean square in each.
struct VoiceCalBands {
  std::array<Biquad, kVoiceCalBands> filters;
  std::array<float, kVoiceCalBands> energy{};
};

// Filters designed, states at zero. Thread: any. Allocates: no.
VoiceCalBands voice_cal_bands_new();

// While `active`, runs the filters over the block and sets each band's mean
// square; otherwise the filters rest and the energies are 0. The states carry
// over between blocks and between calibrations.
// Thread: engine. Allocates: no. Blocks: no.
void voice_cal_measure_bands(VoiceCalBands& bands, bool active, std::span<const float> mic) noexcept;

// What one engine block tells the analysis.
struct VoiceCalBlock {
  float mic_rms = 0.0f;   // RMS of the gained microphone block
  float pitch_hz = 0.0f;  // detected pitch; 65 or below when none
  std::array<float, kVoiceCalBands> band_energy{};
};

// The wanted seconds of voice kept within 1.5..1.8 (NaN: 1.8).
// Thread: any. Allocates: no.
float voice_cal_target_seconds(float wanted_sec);

// A fresh active record for a run wanting `wanted_sec` of voice, with room
// reserved for every pitch sample and text of the run. The switches to restore
// at the end come from `params`, or, when `previous` is itself still active,
// from `previous`: they were switched off by its start and are not the
// singer's. Thread: request thread. Allocates: yes.
VoiceCalStatus voice_cal_started(float wanted_sec, const DspParams& params, const VoiceCalStatus& previous);

// Switches the measurement would hear off: reverb, delay, autotune, vibrato
// and harmony off, sends muted, input trim and correction bands flat.
// Thread: any. Allocates: no.
void voice_cal_quiet_params(DspParams& params);

// Puts back the switches (and the trim and correction bands) saved at the start.
// Thread: any. Allocates: no.
void voice_cal_restore_params(const VoiceCalStatus& status, DspParams& params);

// One analysed block of an active run; true when enough voice has been heard.
// Thread: engine, holding the state. Allocates: no (on a record from voice_cal_started).
bool voice_cal_analyze(VoiceCalStatus& status, const VoiceCalBlock& block) noexcept;

// Ends the run with a result: restores the switches, derives the personal
// preset into `params` and writes the voice type, timbre and summary texts.
// The caller sets the mixer's microphone gain to 1 and the profile label.
// Thread: any, holding the state. Allocates: no (on a record from voice_cal_started).
void voice_cal_complete(VoiceCalStatus& status, DspParams& params);

}  // namespace melodara
