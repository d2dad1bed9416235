// The float parameters each late effect of the chain reads, for tests that set
// them to values no control sends.
#pragma once

#include "dsp/dsp_params.h"

namespace melodara::test {

using FloatField = float DspParams::*;

inline constexpr FloatField kReverbFields[] = {&DspParams::bpm,
                                               &DspParams::reverb_room_size,
                                               &DspParams::reverb_damping,
                                               &DspParams::reverb_predelay_ms,
                                               &DspParams::reverb_mid_gain_db,
                                               &DspParams::reverb_high_gain_db,
                                               &DspParams::reverse_reverb_mix,
                                               &DspParams::tc_vang_ngan_level};

inline constexpr FloatField kEchoFields[] = {&DspParams::bpm, &DspParams::delay_feedback,
                                             &DspParams::delay_mix, &DspParams::tc_delay_level,
                                             &DspParams::delay_auto_sens};

// The rest that the chain reads for these stages: sends, echo filters, the
// doubler and the beat gate.
inline constexpr FloatField kOtherEffectFields[] = {&DspParams::reverb_volume,
                                                    &DspParams::tc_vang_dai_level,
                                                    &DspParams::delay_hp_hz,
                                                    &DspParams::delay_lp_hz,
                                                    &DspParams::autodj_filter_cutoff_hz,
                                                    &DspParams::doubler_mix,
                                                    &DspParams::mod_feedback_pct,
                                                    &DspParams::mod_delay_ms,
                                                    &DspParams::beat_gate_mix};

// The harmony voices and the backing track's stages.
inline constexpr FloatField kHarmonyAndBackingFields[] = {
    &DspParams::stereo_width_pct, &DspParams::vocal_cancel_pct, &DspParams::autopitch_mix,
    &DspParams::beat_fine_cents,  &DspParams::duck_amount_db,   &DspParams::denoise_gate_db};

}  // namespace melodara::test
