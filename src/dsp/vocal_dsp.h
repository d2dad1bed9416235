// The vocal DSP engine: the parameter copy and every delay line, shifter, filter
// and tracker of the realtime vocal chain, built once by vocal_dsp_new, and the
// chain itself, vocal_chain_process, which turns one block of microphone and
// backing-track samples into the processed stereo voice and the block's meters.
//
// Start-up builds an engine from the parameters and keeps the meters of one block
// of silence as the first telemetry:
//
//     melodara::VocalDsp warm = melodara::vocal_dsp_new(params);   // allocates
//     std::array<float, 64> silence{}, out_l{}, out_r{};
//     melodara::DspMeters first_telemetry = melodara::vocal_chain_process(
//         warm, silence, silence, silence, out_l, out_r);
//
// The engine thread builds its own engine the same way, then per 128-frame block
// copies the shared parameters in (clone_dsp_params_into(engine.params, shared))
// and calls vocal_chain_process; afterwards engine.stems[0..5] hold the voice pair,
// the track pair as mixed, and the track pair without ducking.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/realtime.h"
#include "dsp/backing.h"
#include "dsp/biquad.h"
#include "dsp/character_fx.h"
#include "dsp/denoise_gate.h"
#include "dsp/dsp_meters.h"
#include "dsp/dsp_params.h"
#include "dsp/dynamics.h"
#include "dsp/fx_modes.h"
#include "dsp/harmony.h"
#include "dsp/key_tracker.h"
#include "dsp/modulation.h"
#include "dsp/pitch_correction.h"
#include "dsp/pitch_shifter.h"
#include "dsp/reverb.h"
#include "dsp/tone_colour.h"

namespace melodara {

// The engine's two banks of sections, tables A and B of its construction. The
// stages reach them only through the views below.
using FilterBankA = std::array<Biquad, 23>;
using FilterBankB = std::array<Biquad, 42>;

// Blocks up to this length never touch the heap: the stems are reserved for it.
inline constexpr std::size_t kMaxBlockFrames = 4096;
inline constexpr std::size_t kStemCount = 6;

// Values the chain derives from the parameters once per block (stages read them).
struct BlockSetup {
  float voice_high = 0.0f;          // voice-type factor of a high voice, 0..1
  float voice_low = 0.0f;           // voice-type factor of a low voice, 0..1
  float formant_scale = 0.94f;      // 0.82..1.08
  float mic_trim = 1.0f;            // t
  std::uint8_t corr_eq_mask = 0;    // correction-EQ bands that change the signal
  float input_gain = 1.0f;          // vocal_gain x t
  std::uint64_t step_length = 600;  // beat-gate step L, samples
  float ceiling = 1.0f;             // C
  float clip_threshold = 0.9f;      // t of the limiter and the soft clip
  float release_knee = 0.828f;      // k
  float clip_headroom = 0.1f;       // h
  float l2_gain = 1.0f;             // G2
  DenoiseGateBlock gate;
  DynamicsBlock dynamics;
  ToneBlock tone;
  FxModes modes;
  HarmonyBlock harmony;
  ModulationBlock modulation;
  BackingBlock backing;
  SendsBlock sends;
  EchoBlock echo;
  ReverbBlock reverb;

  friend bool operator==(const BlockSetup&, const BlockSetup&) = default;
};

// The limiter's look-back: the peak of the last 24 samples.
inline constexpr std::size_t kLimiterWindow = 24;

// State of the chain's own frame: step counter, output stage and quality meters.
struct ChainFrameState {
  std::uint64_t sample_counter = 0;
  std::uint64_t beat_step = 0;
  std::array<float, kLimiterWindow> limiter_ring{};
  std::size_t limiter_index = 0;
  float limiter_prev_peak = 0.0f;
  float limiter_slow = 1.0f;  // s2
  float limiter_gain = 1.0f;  // G
  float tape_speed = 1.0f;    // s
  float meter_m1 = 0.0f;      // previous two mono output samples
  float meter_m2 = 0.0f;
  float crackle = 0.2f;
  float warmth = 95.0f;
  float purity = 52.0f;

  friend bool operator==(const ChainFrameState&, const ChainFrameState&) = default;
};

// The chain runs each stage over up to kChainRun samples before the next: every
// delay line is longer, so no stage reads what its own run wrote. The backing's
// and the reverb's runs take that many in one pass.
inline constexpr std::size_t kChainRun = 128;
static_assert(kBackingRun >= kChainRun && kReverbRun >= kChainRun);

// What the chain's stages hand on per sample of one run of at most kChainRun
// samples: each stage runs over the whole run before the next. Holds nothing from
// one run to the next, so two engines compare equal whatever it holds.
struct ChainRun {
  // The input stages' results: the voice after pitch correction (the mic sample
  // when the chain is off), the gate's values, the pitch the later stages read, the
  // singer's levels for the sends and the beat step.
  std::array<float, kChainRun> mono{};
  std::array<GateSample, kReverbRun> gate{};
  std::array<HarmonyInputs, kReverbRun> pitch{};
  std::array<SingerInputs, kReverbRun> singer{};
  std::array<std::uint64_t, kReverbRun> beat_step{};
  std::array<float, kReverbRun> pitch_hz{};      // the detected pitch, as the bass lift reads it
  std::array<float, kReverbRun> deesser_gain{};  // the first de-esser's gain, which the second multiplies
  std::array<BassSplit, kReverbRun> bass{};      // the bass stage's split, before the compressor
  std::array<float, kReverbRun> air_band{}, air_level{};  // the tube stage's, for the second de-esser
  std::array<Sends, kReverbRun> sends{};
  std::array<float, kReverbRun> send_left{}, send_right{};  // the send filters' input, then output
  std::array<EchoOut, kReverbRun> echo{};
  std::array<StereoSample, kReverbRun> voice{};
  std::array<BackingOut, kReverbRun> backing{};
  std::array<float, kReverbRun> track_level{};  // the backing's follower after the sample
  BackingScratch backing_scratch{};
  // The limiter's inputs: the output pair before it, the pair's peak p after the
  // previous sample's, the rising peak q after the 23 before the run, and the
  // window's peak of each sample.
  std::array<float, kReverbRun> pre_left{}, pre_right{};
  std::array<float, 1 + kReverbRun> pair_peak{};
  std::array<float, kLimiterWindow - 1 + kReverbRun> rise_peak{};
  std::array<float, kReverbRun> window_peak{};
  friend bool operator==(const ChainRun&, const ChainRun&) noexcept { return true; }
};

struct VocalDsp {
  DspParams params;

  std::vector<float> short_line_a, short_line_b, short_line_c;  // 1,024 each
  PitchShifter main_shifter;                                    // window 1,536
  std::vector<float> mod_line_a, mod_line_b;                    // 8,192 each
  std::array<PitchShifter, 4> harmony_shifters;                 // 760, 960, 1,140, 860
  PitchState pitch_state;
  PitchShifter music_shifter;                     // 2,048: track low band
  PitchShifter music_shifter_l, music_shifter_r;  // 1,536 each
  PitchShifter aux_shifter_l, aux_shifter_r;      // 1,024 each: tape stop
  std::array<std::vector<float>, 8> reverb_combs_l, reverb_combs_r;
  std::array<std::vector<float>, 4> reverb_allpasses_l, reverb_allpasses_r;
  std::vector<float> long_line_l, long_line_r;  // 16,384 each
  std::array<std::vector<float>, 4> reverb_b_combs_l, reverb_b_combs_r;
  std::vector<float> reverb_b_allpass_l, reverb_b_allpass_r;  // 263 and 277
  std::vector<float> tempo_line_l, tempo_line_r;              // 96,000 each
  FilterBankA filter_bank_a;
  // Three constant words of the effect stages (the other five of the group are
  // the reverb's pre-delay, reverse phase, mid gain, high gain and active gain).
  std::array<float, 3> fx_words{12000.0f, 0.37f, 0.0f};
  LiveKeyTracker key_tracker;
  std::array<std::vector<float>, 6> lines_2048;
  std::array<Biquad, 6> corr_eq;
  FilterBankB filter_bank_b;
  Biquad band_l;            // meter band-pass 280 Hz
  Biquad band_r;            // meter band-pass 6,800 Hz
  Biquad notch_a, notch_b;  // howl notches
  std::array<float, 2> notch_freqs{2500.0f, 5000.0f};

  // Stage state, each owned by its stage's file.
  DenoiseGateState denoise_gate;
  DynamicsState dynamics;
  ToneState tone;
  CharacterFxState character_fx;
  HarmonyState harmony;
  ModulationState modulation;
  BackingState backing;
  ReverbState reverb;
  ChainFrameState frame;
  BlockSetup block;

  // Working arrays of one run (value-initialised, so touched before the first block).
  ReverbScratch reverb_scratch{};
  ChainRun run{};

  // Stems of the last block: voice L, voice R, track L, track R (as mixed), and the
  // track L, R without ducking. Each holds at least the last block's n samples.
  std::array<std::vector<float>, kStemCount> stems;

  friend bool operator==(const VocalDsp&, const VocalDsp&) = default;
};

// The six correction-EQ sections for the given band gains (dB): peaking 110, 310,
// 650, 1,650 and 3,100 Hz, high shelf 9,500 Hz. Thread: any. Allocates: no.
std::array<Biquad, 6> design_corr_eq(const DspF32x6& gains_db) MELODARA_NONBLOCKING;

// Views of the engine's sections and lines for the stages that run on them: a
// stage reaches only its own, and only these know where in banks A and B a
// stage's sections sit. Thread: engine. Allocates: no. Blocks: no.
Biquad& low_cut_section(VocalDsp& dsp) noexcept MELODARA_NONBLOCKING;
Biquad& deesser_detector(VocalDsp& dsp) noexcept MELODARA_NONBLOCKING;
PunchSections punch_sections(VocalDsp& dsp) noexcept MELODARA_NONBLOCKING;
ToneSections tone_sections(VocalDsp& dsp) noexcept MELODARA_NONBLOCKING;
RadioSections radio_sections(VocalDsp& dsp) noexcept MELODARA_NONBLOCKING;
SendFilters send_filters(VocalDsp& dsp) noexcept MELODARA_NONBLOCKING;
ModDelayLines mod_delay_lines(VocalDsp& dsp) noexcept MELODARA_NONBLOCKING;
EchoLines echo_lines(VocalDsp& dsp) noexcept MELODARA_NONBLOCKING;
ReverbLines reverb_lines(VocalDsp& dsp) noexcept MELODARA_NONBLOCKING;
BackingLines backing_lines(VocalDsp& dsp) noexcept MELODARA_NONBLOCKING;

// Builds an engine from the parameters (taken over). Allocates about 1.4 MB; never
// call it from the block loop. Thread: any. Allocates: yes. Blocks: no.
VocalDsp vocal_dsp_new(DspParams params);

// Runs the chain over one block. n = the smallest of the five buffer lengths; the
// outputs' first n samples are written. Runs with flush-to-zero and
// denormals-are-zero (float_mode.h) whatever the caller's mode, and gives the
// caller its mode back: on the engine thread, which sets that mode once for
// itself, this costs one read of the control word.
// Thread: engine (or start-up, before the engine thread exists).
// Allocates: no for n <= kMaxBlockFrames. Blocks: no.
DspMeters vocal_chain_process(VocalDsp& engine, std::span<const float> mic, std::span<const float> music_left,
                              std::span<const float> music_right, std::span<float> out_left,
                              std::span<float> out_right) MELODARA_NONBLOCKING;

}  // namespace melodara
