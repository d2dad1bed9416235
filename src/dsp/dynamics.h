// Dynamics stages of the vocal chain: pre-compressor (11), de-esser (12),
// compressor with its program-dependent envelope, peak stage, makeup and vocal
// rider (16), the second de-esser pass (17), and the voice level and punch stages
// (29) on the voice pair and the track pairs.
//
// dynamics_prepare turns the parameters into the block's constants; the sample
// functions take this stage's state, those constants and the values of the sample
// that other stages produced. The de-esser and compressor gains of each sample are
// left in a ReductionGains record so that the frame can report the block's largest
// reductions.
#pragma once

#include <span>
#include "core/realtime.h"

#include "dsp/biquad.h"
#include "dsp/denoise_gate.h"
#include "dsp/dsp_params.h"
#include "dsp/pow_memo.h"
#include "dsp/stereo_sample.h"

namespace melodara {

struct DynamicsState {
  float deesser_env = 0.0f;      // d1
  float comp_slow_level = 0.0f;  // A
  float comp_env = 0.0f;         // E
  float rider_target = 1.0f;     // R1
  float rider_gain = 1.0f;       // R2
  float voice_peak = 0.0f;       // F, the voice peak follower (b of the output sum)
  float makeup_exponent = 0.0f;  // w x the makeup of the last sample, and its exponential
  float makeup_gain = 1.0f;
  PowMemo track_pull;  // the level stage's pull towards the track, at rest while the track level is clamped
  friend bool operator==(const DynamicsState&, const DynamicsState&) = default;
};

// Constants derived from the parameters once per block.
struct DynamicsBlock {
  float release_fast = 0.0f;  // rA
  float release_slow = 0.0f;  // rB
  float attack = 0.0f;        // cK
  float release_span = 0.0f;  // rB - rA
  float attack_take = 1.0f;   // 1 - cK
  float release_take = 1.0f;  // 1 - rA
  float pre_comp_exponent = 0.0f;
  float deesser_floor = 0.015f;   // max(dp, 0.015): the de-esser threshold's floor
  float deesser_amount = 0.42f;   // a = max(deesser_amount, 0.42)
  float deesser2_amount = 0.0f;   // deesser_amount x 2.8
  float knee_start = 0.0f;        // K1
  float knee_end = 0.0f;          // K2
  float knee_width = 0.0001f;     // W
  float slope = 0.33f;            // s
  float knee_joint = 1.0f;        // J
  float makeup_ln = 0.0f;         // full makeup in nepers: (0.52 makeup + mb) ln 10 / 20
  float track_boost = 1.0f;       // B
  float punch = 0.0f;             // pv
  float punch_voice_gain = 1.0f;  // 1 + 0.065 pv
  float punch_voice_low = 0.0f;   // 0.1 pv
  float punch_track_gain = 1.0f;  // 1 + 0.035 pv
  float punch_track_low = 0.0f;   // 0.05 pv
  float punch_side_high = 0.0f;   // 0.12 pv
  bool pre_comp = false;
  bool deesser = false;
  bool deesser2 = false;  // deesser_enabled, tc_pultronic_enabled and an amount above 0.01
  bool compressor = false;
  bool punch_on = false;  // audio_chain_mode 1 and tc_vitamin_enabled
  friend bool operator==(const DynamicsBlock&, const DynamicsBlock&) = default;
};

// Gains the de-esser passes and the compressor applied to one sample (1: none).
struct ReductionGains {
  float deesser = 1.0f;     // both passes multiplied
  float compressor = 1.0f;  // g after its floor, before makeup and rider
};

// The punch stage's sections: low-passes at 220 Hz on the voice's and the track's
// mid, high-passes at 2,594 Hz on the track's two sides.
struct PunchSections {
  Biquad& voice_low;
  Biquad& track_low;
  Biquad& side_high_left;
  Biquad& side_high_right;
};

// The pairs of stage 29: the voice, the track as mixed and the track without ducking.
struct LevelStagePairs {
  StereoSample voice;
  StereoSample track;
  StereoSample undocked;
};

// Also rewrites the de-esser's detector section with its design.
// Thread: engine. Allocates: no. Blocks: no.
DynamicsBlock dynamics_prepare(const DspParams& params,
                               Biquad& deesser_detector) noexcept MELODARA_NONBLOCKING;

// Stage 11; level is the input level follower e.
// Thread: engine. Allocates: no. Blocks: no.
float pre_comp_sample(const DynamicsBlock& block, float x, float level) noexcept MELODARA_NONBLOCKING;

// Stage 12. Thread: engine. Allocates: no. Blocks: no.
float deesser_sample(DynamicsState& state, const DynamicsBlock& block, Biquad& detector, float x, float level,
                     ReductionGains& gains) noexcept MELODARA_NONBLOCKING;

// Stage 16. track_level is the backing track's level follower as the previous
// sample left it. Thread: engine. Allocates: no. Blocks: no.
float compressor_sample(DynamicsState& state, const DynamicsBlock& block, float x, const GateSample& gate,
                        float track_level, ReductionGains& gains) noexcept MELODARA_NONBLOCKING;

// The second de-esser pass of stage 17: air_band is this sample's output of the
// 6,500 Hz band on x and air_level its follower (the tone stage runs both).
// Thread: engine. Allocates: no. Blocks: no.
float second_deesser_sample(const DynamicsBlock& block, float x, float air_band, float air_level, float level,
                            ReductionGains& gains) noexcept MELODARA_NONBLOCKING;

// Stage 29 on the pairs in place: the voice level stage, then the punch stage.
// track_level is the backing track's effective level a'.
// Thread: engine. Allocates: no. Blocks: no.
void level_stage_sample(DynamicsState& state, const DynamicsBlock& block, const PunchSections& punch,
                        LevelStagePairs& pairs, float track_level) noexcept MELODARA_NONBLOCKING;

// ---- The stages' runs: each over the run's samples in turn, as its sample form.
// gate holds the gate's values of each sample; the spans are equally long.

// Stages 11 and 12 on voice in place; the de-esser's gain of each sample into
// deesser_gain. Thread: engine. Allocates: no. Blocks: no.
void deesser_run(DynamicsState& state, const DynamicsBlock& block, Biquad& detector, std::span<float> voice,
                 std::span<const GateSample> gate,
                 std::span<float> deesser_gain) noexcept MELODARA_NONBLOCKING;

// Stage 16 on voice in place. Each sample reads the backing track's level as the
// previous sample left it: track_level before the run, then track_after[j - 1].
// Returns the run's least compressor gain. Thread: engine. Allocates: no. Blocks: no.
float compressor_run(DynamicsState& state, const DynamicsBlock& block, std::span<float> voice,
                     std::span<const GateSample> gate, float track_level,
                     std::span<const float> track_after) noexcept MELODARA_NONBLOCKING;

// The second de-esser pass on voice in place, with each sample's air band, air
// level after it and first de-esser gain. Returns the run's least product of
// both passes' gains. Thread: engine. Allocates: no. Blocks: no.
float second_deesser_run(const DynamicsBlock& block, std::span<float> voice, std::span<const float> air_band,
                         std::span<const float> air_level, std::span<const GateSample> gate,
                         std::span<const float> deesser_gain) noexcept MELODARA_NONBLOCKING;

}  // namespace melodara
