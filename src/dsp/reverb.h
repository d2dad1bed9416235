// The reverbs of the vocal chain (stage 27): one network with three outputs added
// to the voice pair.
// - The main reverb: a pre-delayed pair of input lines tapped for early
//   reflections, two input diffusers per channel, a tank of eight damped,
//   cross-coupled combs per channel, two output all-passes per channel, a fixed
//   output equaliser and a mid/side stage, shaped in time by the reverse envelope.
// - The second bank: four combs and one all-pass per channel, fed by further taps
//   of the input lines, at the level of tc_vang_ngan_level.
// - The early-reflection cross term: a stereo difference of six taps.
// The input lines take the send pair and, while the echo is fed, a share of the
// echo's mid and side.
//
// Per block the chain calls reverb_prepare, then reverb_process_block over runs of
// samples with the sends of stage 25 and the echo of stage 26 of each sample. The
// meter reverb_active_gain is ReverbState::active_gain.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/realtime.h"
#include "dsp/backing.h"
#include "dsp/biquad.h"
#include "dsp/character_fx.h"
#include "dsp/dsp_params.h"
#include "dsp/fx_modes.h"
#include "dsp/stereo_sample.h"

namespace melodara {

inline constexpr std::size_t kReverbInputSize = 16384;

// The longest run reverb_process_block takes in one pass. Every line of the network
// is longer and no early-reflection tap is nearer than 384 samples, so within a
// run each line's reads see only values written before the run: each stage can run
// over the whole run in its own loop.
inline constexpr std::size_t kReverbRun = 128;
inline constexpr std::size_t kReverbTaps = 23;

// Working arrays of one run, preallocated with the engine. They hold nothing from
// one run to the next, so two engines compare equal whatever they hold.
struct ReverbScratch {
  using Run = std::array<float, kReverbRun>;
  Run predelay{};
  Run factor{}, delay{};  // tap factor and one tap's delays while the pre-delay moves
  std::array<Run, kReverbTaps> taps{};
  Run in_l{}, in_r{}, e_a{}, e_b{}, cross_x{}, cross_y{};
  std::array<Run, 8> tank_l{}, tank_r{};  // comb outputs, then their damped values
  Run sum_l{}, sum_r{}, mean_l{}, mean_r{};
  std::array<Run, 4> bank_comb_l{}, bank_comb_r{};
  Run bank_l{}, bank_r{};  // the second bank's all-pass outputs
  friend bool operator==(const ReverbScratch&, const ReverbScratch&) noexcept { return true; }
};

struct ReverbState {
  std::size_t input_write = 0;  // W of the input lines
  // Every line keeps its own index, wrapped at its own length.
  std::array<std::size_t, 8> comb_l{}, comb_r{};
  std::array<float, 8> damp_l{}, damp_r{};              // damping memories of the tank
  std::array<std::size_t, 4> allpass_l{}, allpass_r{};  // 0, 1 output; 2, 3 input diffusers
  std::array<std::size_t, 4> b_comb_l{}, b_comb_r{};
  std::array<float, 4> b_damp_l{}, b_damp_r{};
  std::size_t b_allpass_l = 0, b_allpass_r = 0;
  float predelay = 1152.0f;    // current pre-delay P, samples
  float reverse_phase = 0.0f;  // 0..1, once per beat
  float active_gain = 0.0f;    // G, the meter reverb_active_gain
  friend bool operator==(const ReverbState&, const ReverbState&) = default;
};

struct ReverbBlock {
  float predelay_target = 960.0f;  // samples, 384..2,400
  float comb_feedback = 0.9f;      // g of the tank, 0.74..0.908
  float damping = 0.25f;           // delta, 0.2..0.34
  float bank_feedback = 0.38f;     // h of the second bank, 0.28..0.44
  float mid_gain = 1.0f;           // Gm
  float high_gain = 1.0f;          // H
  float phase_step = 0.0f;         // reverse phase per sample
  bool envelope = false;           // the reverse envelope is on (and not flat)
  float envelope_mix = 0.0f;       // m, 0..1
  bool pk = false;                 // pk_mode_ducking
  bool echo_in = false;            // reverb_enabled: the echo reaches the input lines
  bool bank_on = false;            // tc_vang_ngan_level above 0.005
  float bank_gain = 0.0f;          // (0.22 or 0.05 with pk) x min(tc_vang_ngan_level, 1.2)
  float trim_level = 0.0f;         // 0.16 x clamp(tc_vang_ngan_level, 0, 1)
  friend bool operator==(const ReverbBlock&, const ReverbBlock&) = default;
};

// The reverb's output equaliser: a low-pass on each side of the main network's
// output, high-passes on its mid and side and on the second bank's.
struct ReverbEqSections {
  Biquad& output_left;  // 5,800 Hz
  Biquad& output_right;
  Biquad& main_mid;   // 350 Hz
  Biquad& main_side;  // 235 Hz
  Biquad& bank_mid;   // 360 Hz
  Biquad& bank_side;  // 235 Hz
};

// The engine's reverb lines (the lengths of its construction) and sections.
struct ReverbLines {
  std::span<float> input_l, input_r;  // kReverbInputSize each
  std::array<std::span<float>, 8> combs_l, combs_r;
  std::array<std::span<float>, 4> allpasses_l, allpasses_r;
  std::array<std::span<float>, 4> b_combs_l, b_combs_r;
  std::span<float> b_allpass_l, b_allpass_r;
  ReverbEqSections eq;
  ReverbScratch& scratch;
};

// Tap factor f of the early reflections at a pre-delay of P samples.
// Thread: any. Allocates: no.
float reverb_tap_factor(float predelay) noexcept MELODARA_NONBLOCKING;

// tempo is the effective tempo of the echo timing (bpm within 40..200, halved
// above 144). Thread: any. Allocates: no. Blocks: no.
ReverbBlock reverb_prepare(const DspParams& params, const FxModes& modes,
                           float tempo) noexcept MELODARA_NONBLOCKING;

// Per sample of voice, in order: the active gain follows the send target, the input
// lines take the sends and the echo, and the voice pair comes back with the reverb
// added (in place). sends and echo hold at least voice.size() samples; any length
// is taken, in runs of kReverbRun. Thread: engine. Allocates: no. Blocks: no.
void reverb_process_block(ReverbState& state, const ReverbLines& lines, const ReverbBlock& block,
                          std::span<const Sends> sends, std::span<const EchoOut> echo,
                          std::span<StereoSample> voice) noexcept MELODARA_NONBLOCKING;

// The builds of the run: the baseline on every x86-64 processor, AVX (eight lanes,
// no FMA) where the processor has it. Both give the same results to the bit; the
// overload above takes the fastest the processor offers.
enum class ReverbBuild : std::uint8_t { baseline, avx };
// Thread: any. Allocates: no.
bool reverb_avx_available() noexcept;
// reverb_process_block with a given build; avx needs reverb_avx_available().
// Thread: engine. Allocates: no. Blocks: no.
void reverb_process_block(ReverbState& state, const ReverbLines& lines, const ReverbBlock& block,
                          std::span<const Sends> sends, std::span<const EchoOut> echo,
                          std::span<StereoSample> voice, ReverbBuild build) noexcept MELODARA_NONBLOCKING;
// The build the overload without one (and so the chain) uses: the fastest the
// processor offers unless chosen otherwise. Tests choose each build to compare the
// chain on them; choose only a build the processor has, and not while an engine
// runs on another thread. Thread: any. Allocates: no.
void reverb_choose_build(ReverbBuild build) noexcept;
ReverbBuild reverb_fastest_build() noexcept;

// One sample of reverb_process_block. Thread: engine. Allocates: no. Blocks: no.
StereoSample reverb_process(ReverbState& state, const ReverbLines& lines, const ReverbBlock& block,
                            const Sends& sends, const EchoOut& echo,
                            StereoSample voice) noexcept MELODARA_NONBLOCKING;

}  // namespace melodara
