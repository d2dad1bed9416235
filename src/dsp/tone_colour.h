// Tone bands and colour stages of the vocal chain: the once-per-block design of
// the adaptive bands (with the echo filters, the de-esser's neighbour bands and the
// howl detector that steers the notches), the voice EQ with its adaptive body and
// presence tail, the colour stage and the howl notches (stages 13 and 14), the
// bass stage around the compressor (15) and the tube stage with the air shelf and
// the air level (17).
//
// The bands follow the singer: their centres scale with the formant scale and
// their gains with the voice-type factors; slow followers of the EQ's output steer
// a warmth offset, two presence cuts, a boom reduction and a bass lift.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/realtime.h"
#include "dsp/biquad.h"
#include "dsp/character_fx.h"
#include "dsp/denoise_gate.h"
#include "dsp/dsp_params.h"

namespace melodara {

struct ToneState {
  float warmth = 0.0f;         // W, dB added to the body band
  float mud_level = 0.0f;      // m220
  float presence_low = 0.0f;   // m1450
  float presence_high = 0.0f;  // m2650
  float cut_low = 0.0f;        // c1450, dB
  float cut_high = 0.0f;       // c2650, dB
  float bass_level = 0.0f;     // mb
  float bass_lift = 0.0f;      // gb
  float tube_lowpass = 0.0f;   // lt
  float air_level = 0.0f;      // ma, the 6,500 Hz band's follower
  float notch_gain_a = 0.0f;   // Na, dB, never above 0
  float notch_gain_b = 0.0f;   // Nb
  float howl_freq = 0.0f;      // ft, the previous block's tone estimate
  std::uint32_t howl_count = 0;
  friend bool operator==(const ToneState&, const ToneState&) = default;
};

// The voice EQ's sections in their order (stages 13 and 14), with the followers'
// bands and the howl notches.
struct VoiceEqSections {
  Biquad& body;                   // adaptive, at F1: W + Gb
  std::span<Biquad, 5> formants;  // about 335, 665, 1,620, 2,550 and 555 Hz
  std::span<Biquad, 3> colour;    // about 195, 465 and 3,600 Hz
  Biquad& tail_low_mid;           // about 480 Hz
  Biquad& tail_mid;               // 1,450 Hz
  Biquad& mud_band;               // band-pass 220 Hz, for the mud follower
  Biquad& presence_low_band;      // band-pass 1,450 Hz
  Biquad& presence_high_band;     // band-pass 2,650 Hz
  Biquad& cut_low;                // adaptive presence cuts at 1,450 and 2,650 Hz
  Biquad& cut_high;
  Biquad& notch_a;  // the howl notches at notch_freqs
  Biquad& notch_b;
};

// Stage 15's bass band and its smoothing low-pass.
struct BassSections {
  Biquad& band;
  Biquad& smooth;
};

// Stage 17's tube sections in their order, the air shelf and low-pass after them,
// and the 6,500 Hz air band.
struct TubeAirSections {
  std::span<Biquad, 3> tube;
  Biquad& air_shelf;
  Biquad& air_lowpass;
  Biquad& air_band;
};

// The engine's sections that the tone stages run and design: their own, and the
// echo's feedback filters, which follow the parameters with them.
struct ToneSections {
  VoiceEqSections eq;
  BassSections bass;
  TubeAirSections tube_air;
  EchoFeedbackFilters echo;
  std::array<float, 2>& notch_freqs;
};

// What the block design reads besides the parameters.
struct ToneInputs {
  float voice_high = 0.0f;  // voice-type factors, 0..1
  float voice_low = 0.0f;
  float formant_scale = 0.94f;   // fs, 0.82..1.08
  std::uint64_t voiced_run = 0;  // samples
  float vibrato_phase = 0.0f;    // 0..1
  float gate_gain = 0.0f;        // g_gate
  float level = 0.0f;            // input level follower e
  float input_gain = 1.0f;       // vocal_gain x microphone trim
  float wobble_phase = 0.0f;     // of the tempo delay, 0..1
  std::span<const float> mic;    // the block's raw microphone samples
  bool echo_sweep = false;       // "Up-Down", "Ramp" or "Riser": the echo low-pass follows the wobble
};

// Values of the block that the sample functions read.
struct ToneBlock {
  PeakingShape body_shape;  // the body section at F1, Q 0.7
  float body_gain = 0.0f;   // Gb: the body section's gain is W + Gb
  float voice_high = 0.0f;
  float bass_threshold = 0.28f;  // theta
  float boom_scale = 0.0f;       // (1.1 - 0.4 ic) (0.24 + 0.08 low)
  float lift_scale = 0.0f;       // min(intensity, 1) x 0.24, 0 when the lift is off
  float tube_emphasis = 0.015f;  // 0.015 + 0.025 dr
  float tube_drive = 0.0f;       // 0.14 dr
  bool eq = true;
  bool colour = true;
  bool tube = true;
  bool notches = false;  // Na below -0.05 dB: the notches are in the path
  bool autotune = true;
  friend bool operator==(const ToneBlock&, const ToneBlock&) = default;
};

// Designs the block's bands, echo filters and notches; runs the howl detector on
// the microphone block and moves the notches.
// Thread: engine. Allocates: no. Blocks: no.
ToneBlock tone_prepare(ToneState& state, const ToneSections& sections, const DspParams& params,
                       const ToneInputs& inputs) noexcept MELODARA_NONBLOCKING;

// Stages 13 and 14: voice EQ, colour, EQ tail with its adaptive updates (on every
// 16th sample of the block, index i), then the howl notches. level is e.
// Thread: engine. Allocates: no. Blocks: no.
float voice_eq_sample(ToneState& state, const ToneBlock& block, const VoiceEqSections& sections, float x,
                      float level, std::size_t i) noexcept MELODARA_NONBLOCKING;

// Stage 15 before the compressor: the bass band and the boom reduction.
struct BassSplit {
  float voice = 0.0f;     // x after the boom reduction
  float smoothed = 0.0f;  // bl, the smoothed bass the lift adds back
  float ratio = 0.0f;     // rb, bass level over the input level
};
// Thread: engine. Allocates: no. Blocks: no.
BassSplit bass_boom_sample(ToneState& state, const ToneBlock& block, const BassSections& sections, float x,
                           float level) noexcept MELODARA_NONBLOCKING;

// Stage 15 after the compressor: the bass lift. open_weight is the gate's w,
// pitch_hz the detected pitch. Thread: engine. Allocates: no. Blocks: no.
float bass_lift_sample(ToneState& state, const ToneBlock& block, const BassSplit& bass, float x,
                       float open_weight, float pitch_hz) noexcept MELODARA_NONBLOCKING;

// Stage 17: tube saturation, air shelf and 12.2 kHz low-pass (when on), then the
// 6,500 Hz air band and its level, which the second de-esser pass reads.
struct TubeOut {
  float voice = 0.0f;
  float air_band = 0.0f;  // the band's output on voice
};
// Thread: engine. Allocates: no. Blocks: no.
TubeOut tube_air_sample(ToneState& state, const ToneBlock& block, const TubeAirSections& sections,
                        float x) noexcept MELODARA_NONBLOCKING;

// ---- The stages' runs: each over the run's samples in turn, as its sample form.
// gate holds the gate's values of each sample; the spans are equally long.

// Stages 13 and 14 on voice in place; first is the block index of the run's
// first sample. Thread: engine. Allocates: no. Blocks: no.
void voice_eq_run(ToneState& state, const ToneBlock& block, const VoiceEqSections& sections,
                  std::span<float> voice, std::span<const GateSample> gate,
                  std::size_t first) noexcept MELODARA_NONBLOCKING;

// Stage 15 before the compressor on voice in place (the voice after the boom
// reduction); each sample's split into split. Thread: engine. Allocates: no. Blocks: no.
void bass_boom_run(ToneState& state, const ToneBlock& block, const BassSections& sections,
                   std::span<float> voice, std::span<const GateSample> gate,
                   std::span<BassSplit> split) noexcept MELODARA_NONBLOCKING;

// Stage 15 after the compressor on voice in place; pitch_hz the detected pitch
// of each sample. Thread: engine. Allocates: no. Blocks: no.
void bass_lift_run(ToneState& state, const ToneBlock& block, std::span<const BassSplit> split,
                   std::span<float> voice, std::span<const GateSample> gate,
                   std::span<const float> pitch_hz) noexcept MELODARA_NONBLOCKING;

// Stage 17's tube and air on voice in place; each sample's air band and the air
// level after it. Thread: engine. Allocates: no. Blocks: no.
void tube_air_run(ToneState& state, const ToneBlock& block, const TubeAirSections& sections,
                  std::span<float> voice, std::span<float> air_band,
                  std::span<float> air_level) noexcept MELODARA_NONBLOCKING;

}  // namespace melodara
