// Harmony voices (stage 21): up to four pitch-shifted copies of the singer, each an
// interval away and snapped into the song's key, slowly detuned, panned into a
// stereo pair and mixed under the lead. They run for the backing-harmony switch
// and for the "Shimmer", "Chorus" and "Melodic" modes; the stage turns the mono
// voice into the voice pair that the later stages process.
//
// Per block the chain calls harmony_prepare; per sample, while the voice path
// runs, harmony_sample with the lead and the pitch state of that sample.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "core/realtime.h"
#include "dsp/dsp_params.h"
#include "dsp/fx_modes.h"
#include "dsp/pitch_shifter.h"
#include "dsp/stereo_sample.h"

namespace melodara {

struct HarmonyState {
  float detune_phase = 0.0f;  // 0..1, 0.72 Hz; advances only while the stage runs
  // The harmony feed: a DC blocker, two one-pole low-passes and the voicing envelope.
  float feed_in = 0.0f;
  float feed_dc = 0.0f;
  float feed_lp1 = 0.0f;
  float feed_lp2 = 0.0f;
  float voicing = 0.0f;  // u, towards 1 while voiced and 0.18 otherwise
  // The bus filters per channel: DC blocker, then a one-pole low-pass.
  StereoSample bus_in, bus_dc, bus_lp;
  // Interval ratios snapped for one base pitch and reference; they change only when
  // a pitch analysis does, or with the block's key and intervals.
  bool ratios_stale = true;
  float ratios_hz = 0.0f;
  float ratios_reference = 0.0f;
  std::array<float, 4> ratios{1.0f, 1.0f, 1.0f, 1.0f};
  friend bool operator==(const HarmonyState&, const HarmonyState&) = default;
};

struct HarmonyBlock {
  bool active = false;   // chong_be_harmony, or a "Shimmer", "Chorus" or "Melodic" mode
  bool guard = false;    // the loudness guard: chong_be_harmony
  bool melodic = false;  // voices 1 and 3 trade places with the detune oscillator
  bool snap = true;      // !scale_chromatic
  std::uint64_t root = 0;
  bool minor = false;
  std::array<float, 4> intervals{1.0f, 1.0f, 1.0f, 1.0f};  // ratios before snapping
  std::array<float, 4> gains{};                            // g1..g4 (with "Melodic": the peak of 1 and 3)
  friend bool operator==(const HarmonyBlock&, const HarmonyBlock&) = default;
};

// What the stage reads of the sample besides the lead.
struct HarmonyInputs {
  float detected_hz = 0.0f;     // the detected pitch after median and hold, 0 unvoiced
  float corrected_hz = 0.0f;    // the pitch of the held note, 0 when none
  float reference_hz = 440.0f;  // the tuning reference the lead voice was snapped on
  float level = 0.0f;           // the input level follower e
};

// Marks the snapped ratios stale. Thread: engine. Allocates: no. Blocks: no.
HarmonyBlock harmony_prepare(HarmonyState& state, const DspParams& params,
                             const FxModes& modes) noexcept MELODARA_NONBLOCKING;

// The ratio of a harmony interval in semitones before snapping: a major third (4)
// in a minor key is a minor third; others are 2^(s/12) within two octaves.
// Thread: any. Allocates: no.
float harmony_interval_ratio(std::int32_t semitones, bool minor) noexcept MELODARA_NONBLOCKING;

// One sample: the lead in, the voice pair out (the lead on both channels while the
// stage is off). The feed runs every sample; the shifters only while the stage runs.
// Thread: engine. Allocates: no. Blocks: no.
StereoSample harmony_sample(HarmonyState& state, std::array<PitchShifter, 4>& shifters,
                            const HarmonyBlock& block, const HarmonyInputs& in,
                            float lead) noexcept MELODARA_NONBLOCKING;

// harmony_sample over a run: the lead and pitch of each sample in, the voice pair
// out; the spans are equally long. Thread: engine. Allocates: no. Blocks: no.
void harmony_run(HarmonyState& state, std::array<PitchShifter, 4>& shifters, const HarmonyBlock& block,
                 std::span<const HarmonyInputs> in, std::span<const float> lead,
                 std::span<StereoSample> out) noexcept MELODARA_NONBLOCKING;

}  // namespace melodara
