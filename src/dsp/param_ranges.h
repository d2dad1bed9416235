// The ranges that parameter updates keep the vocal parameters in: values the
// reverb, delay, limiter and imager were not tuned for fall back to their
// usual settings, and the gains the stages apply without bounds are clamped.
#pragma once

#include "dsp/dsp_params.h"

namespace melodara {

// Falls back, each test on its own group of fields: a pre-delay outside 2..90 ms
// to 20 ms; a reverb tone with highs below -1.5 dB, damping above 0.45 or lows
// above 0 dB to -2/0/0.5 dB and 0.28; delay filters below 140 Hz (high-pass) or
// 2 kHz (low-pass) to 240/5200 Hz; a limiter threshold above -2 dBFS to -4.2
// with its peak and vox stages; a stereo width outside 95..115 % to 102 % with
// the imager on. Thread: any. Allocates: no.
void repair_dsp_params(DspParams& params);

// repair_dsp_params, then clamps: input trim to -12..12 dB, each correction band
// to -4.5..4.5 dB, compressor makeup to -24..24 dB, reverse-reverb mix to 0..1
// and the key root to 0..11 (B). Thread: any. Allocates: no.
void keep_dsp_params_in_range(DspParams& params);

}  // namespace melodara
