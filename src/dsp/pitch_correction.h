// Pitch detection, scale snapping and pitch correction (stages 8 to 10 of the
// vocal chain): the detector, the held target note, the smoothed correction ratio,
// vibrato and the voice-effect modes, feeding the main pitch shifter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/realtime.h"
#include "dsp/detector_kernels.h"
#include "dsp/dsp_params.h"
#include "dsp/fx_modes.h"
#include "dsp/pitch_shifter.h"

namespace melodara {

// The analysis reads a frame of 1,152 samples, so the ring keeps that much history.
inline constexpr std::size_t kPitchFrame = 1152;

// The voice effect of dj_fx_mode on the correction ratio, read once per block.
enum class VoiceEffect : std::uint8_t { none, chipmunk, monster, riser };

struct PitchState {
  std::vector<float> analysis_ring;  // band-limited voice, kPitchFrame samples
  std::vector<float> frame;          // scratch: the ring unrolled, oldest first
  std::size_t ring_write = 0;
  std::uint64_t hop_counter = 0;    // samples since the last analysis
  std::uint64_t voiced_run = 0;     // consecutive voiced samples
  std::uint64_t unvoiced_hops = 0;  // analyses in a row without a pitch
  std::array<float, 3> median_slots{};
  std::size_t median_index = 0;
  std::uint64_t last_key = 99;  // root seen at the previous sample (99: none yet)
  bool last_minor = false;
  float detected_hz = 0.0f;   // meter detected_vocal_hz
  float corrected_hz = 0.0f;  // meter corrected_vocal_hz
  float applied_ratio = 1.0f;
  float vibrato_phase = 0.0f;
  float smoothed_hz = 0.0f;
  float held_note = 0.0f;  // MIDI note; up to 10 means none
  float jitter = 0.0f;     // cents
  float reference_hz = 440.0f;
  float dc_in = 0.0f;  // detector input filter memories
  float dc_out = 0.0f;
  float lp1 = 0.0f;
  float lp2 = 0.0f;
  float tremolo = 1.0f;  // tremolo gain of the last sample
  // The correction's distance in cents for the ratio last asked, which changes
  // once a hop: the logarithm is not taken again for every sample.
  float correction_ratio = 0.0f;
  float correction_cents = 0.0f;
  VoiceEffect effect = VoiceEffect::none;
  friend bool operator==(const PitchState&, const PitchState&) = default;
};

// Result of one analysis frame: a pitch in Hz, or none.
struct PitchEstimate {
  bool voiced = false;
  float hz = 0.0f;
};

// The detector on one frame of kPitchFrame band-limited samples, oldest first:
// loudness floor, normalised difference function on the frame decimated to
// 24 kHz, octave check, refinement at 48 kHz. Thread: any. Allocates: no.
PitchEstimate analyse_pitch_frame(std::span<const float> frame) MELODARA_NONBLOCKING;

// The builds of the detector's inner sums (detector_kernels.h) all give the same
// results to the bit; the overload above takes the chosen one.
// analyse_pitch_frame with a given build; avx needs detector_avx_available(),
// avx512 detector_avx512_available().
// Thread: any. Allocates: no.
PitchEstimate analyse_pitch_frame(std::span<const float> frame, DetectorBuild build) MELODARA_NONBLOCKING;
// The build the one-argument form (and so the chain) uses: the fastest the
// processor offers unless chosen otherwise. Tests choose each build to compare the
// chain on them; choose only a build the processor has, and not while an engine
// runs on another thread. Thread: any. Allocates: no.
void detector_choose_build(DetectorBuild build);

// Snaps a frequency to the nearest note of the key (root 0..11 = C..B) or of the
// chromatic scale, with tuning reference reference_hz. Shared with the harmony voices.
// Thread: any. Allocates: no.
float snap_to_scale(std::uint64_t root, bool minor, bool chromatic, float freq_hz,
                    float reference_hz) MELODARA_NONBLOCKING;

// Per-block set-up. Thread: engine. Allocates: no. Blocks: no.
void pitch_correction_prepare(PitchState& state, const FxModes& modes) noexcept MELODARA_NONBLOCKING;
// Stages 8 to 10 on the gated voice; returns the corrected voice.
// Thread: engine. Allocates: no. Blocks: no.
float pitch_correction_sample(PitchState& state, PitchShifter& shifter, const DspParams& params,
                              float gated) noexcept MELODARA_NONBLOCKING;

}  // namespace melodara
