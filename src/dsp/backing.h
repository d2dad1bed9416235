// Backing-track processing (stage 24) and the sends (stage 25) of the vocal chain.
//
// Stage 24 takes the track through a karaoke vocal remover, a stereo imager with a
// synthesised side, an optional key shift through three pitch shifters, a bass
// manager, a slow leveller and a "vocal pocket" that dips two mid bands while the
// singer is present, then scales it by beat_volume and the ducking gain. It runs
// every sample whatever the voice path does; its track level follower also feeds
// the compressor, the output sum and the key hand-over.
//
// Stage 25 forms, from the singer's level and the track's, the send levels and
// flags that the echo and the reverbs use and the filtered send pair that enters
// them. It runs only while the late stages do.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "core/realtime.h"
#include "dsp/biquad.h"
#include "dsp/dsp_params.h"
#include "dsp/fx_modes.h"
#include "dsp/pitch_shifter.h"
#include "dsp/stereo_sample.h"

namespace melodara {

inline constexpr std::size_t kSynthLineSize = 1024;

// The key shift of the track, in semitones, that the shifters can give: ratios
// 0.35..2.
inline constexpr float kTrackShiftMin = -18.174185f;  // 12 log2(0.35)
inline constexpr float kTrackShiftMax = 12.0f;

struct BackingState {
  std::size_t synth_write = 0;  // write index of the synthesis line
  float edge = 0.0f;            // edge smoother E
  float presence = 0.0f;        // vocal presence vp, 0..0.64
  float bass_level = 0.0f;      // bass follower lb
  float track_level = 0.0f;     // track level follower tl
  friend bool operator==(const BackingState&, const BackingState&) = default;
};

struct BackingBlock {
  float remover = 0.0f;           // r
  float keep_mid = 1.0f;          // 1 - r
  float side_gain = 0.0f;         // (0.96 + 0.14 r) w
  float synth_gain = 0.0f;        // 0.24 max(w, 0.75), 0 for the phone's mono
  bool shift = false;             // the key shift is active
  float ratio = 1.0f;             // rho
  float mix = 0.0f;               // k
  float dry = 1.0f;               // 1 - k
  float low_gain = 1.0f;          // g0
  float high_gain = 1.0f;         // g1
  float gate_level = 0.0f;        // Lg = T G
  float duck_level = 0.0f;        // 1.5 Lg
  float presence_span = 0.0001f;  // max(2 Lg, 0.0001)
  float duck_gain = 1.0f;         // u while ducking: 0.28 with pk_mode_ducking, else Gd
  bool pk = false;                // pk_mode_ducking
  bool ducker = false;            // ducker_enabled
  float volume = 0.78f;           // beat_volume
  float ducked_volume = 0.78f;    // beat_volume x u while ducking
  friend bool operator==(const BackingBlock&, const BackingBlock&) = default;
};

// Stage 24's sections.
struct BackingSections {
  Biquad& mid_lowpass;     // 150 Hz: the remover keeps the mid below it
  Biquad& side_highpass;   // 180 Hz
  Biquad& synth_highpass;  // 260 Hz, on the remover's mid
  Biquad& high_band_left;  // 85 Hz high-pass: the key shift's upper band
  Biquad& high_band_right;
  Biquad& low_band;     // 85 Hz low-pass of the mid: the key shift's low band
  Biquad& pocket_low;   // peaking 230 Hz, -1.8 dB
  Biquad& pocket_high;  // peaking 1,650 Hz, -2.2 dB
};

// The engine's memories that stage 24 runs on.
struct BackingLines {
  std::span<float> synth;  // kSynthLineSize samples: the high-passed mid of the track
  BackingSections sections;
  PitchShifter& low;   // the track's band below 85 Hz (window 2,048)
  PitchShifter& left;  // the band above, left and right (1,536 each)
  PitchShifter& right;
};

// What the sends read of the singer, from the input analysis and the gate.
struct SingerInputs {
  float level = 0.0f;           // e
  float raw_level = 0.0f;       // e / G
  float gate_gain = 0.0f;       // g_gate
  float voice_activity = 0.0f;  // va
  float sibilance = 0.0f;       // hs
};

// What stage 24 hands on for one sample.
struct BackingOut {
  StereoSample track;  // as mixed into the output
  float level = 0.0f;  // the track's effective level t: its follower times its gains
  float mid = 0.0f;    // processed mid, before beat_volume and ducking
  float side = 0.0f;   // processed side, same point
};

// The gains of the key shift's low band (g0) and upper band (g1) for a shift of
// s semitones. Thread: any. Allocates: no.
struct ShiftBandGains {
  float low = 1.0f;
  float high = 1.0f;
};
ShiftBandGains track_shift_band_gains(float semitones) noexcept MELODARA_NONBLOCKING;

// The track's key shift in semitones from beat_semitone_shift and beat_fine_cents,
// within kTrackShiftMin..kTrackShiftMax; fine cents that are not a number count
// as none. Thread: any. Allocates: no.
float track_shift_semitones(const DspParams& params) noexcept MELODARA_NONBLOCKING;

// gate_level is T and input_gain G of the gate (Lg = T G).
// Thread: any. Allocates: no. Blocks: no.
BackingBlock backing_prepare(const DspParams& params, float gate_level,
                             float input_gain) noexcept MELODARA_NONBLOCKING;

// Stage 24 on one music frame; level is the singer's input level follower e. The
// chain runs backing_run; this form is its reference, sample by sample.
// Thread: engine. Allocates: no. Blocks: no.
BackingOut backing_sample(BackingState& state, const BackingLines& lines, const BackingBlock& block,
                          StereoSample music, float level) noexcept MELODARA_NONBLOCKING;

// The longest run backing_run takes.
inline constexpr std::size_t kBackingRun = 128;

// One run of stage 24: per sample the music frame and the singer (its level e) in,
// and out what stage 24 hands on and the track level follower after the sample.
struct BackingRunIo {
  std::span<const float> left, right;
  std::span<const SingerInputs> singer;
  std::span<BackingOut> out;
  std::span<float> track_level;
};

// backing_run's working arrays.
struct BackingScratch {
  std::array<float, kBackingRun> left{}, right{};       // the pair l1, r1, then l2, r2 before the leveller
  std::array<float, kBackingRun> presence{};            // vp after the sample
  std::array<float, kBackingRun> low{}, low_shifted{};  // the low band, and shifted
  std::array<float, kBackingRun> high_left{}, high_right{};  // the high bands, then shifted
  std::array<float, kBackingRun> gain{};                     // the leveller's gain
};

// Stage 24 over a run of n samples, n the shortest of io's spans and at most
// kBackingRun: the results of backing_sample on each sample in turn, stage by stage.
// Thread: engine. Allocates: no. Blocks: no.
void backing_run(BackingState& state, const BackingLines& lines, const BackingBlock& block,
                 const BackingRunIo& io, BackingScratch& scratch) noexcept MELODARA_NONBLOCKING;

// ---- Sends (stage 25)

// What the sends stage hands to the echo (26), the reverbs (27) and the echo
// ducking (28) for one sample. The default is a sample with every send off.
struct Sends {
  StereoSample pair;          // the filtered send pair sL, sR
  float singer_level = 0.0f;  // v
  float track_level = 0.0f;   // t, the track's effective level (a' of the echo)
  float vang_dai = 0.0f;      // V
  float duck = 1.0f;          // D = clamp(1 - 0.55 v, 0.78, 1)
  float volume_ratio = 0.0f;  // Vr = max(reverb_volume / 0.58, 0)
  float track_boost = 1.0f;   // B: 1 below t = 0.005, up to 1.06 with the track
  float target_gain = 0.0f;   // g_s, the target of the reverb's active gain
  bool off = true;            // the send-off flag
};

struct SendsBlock {
  bool gated = true;           // denoise_enabled or gate_enabled: v is the gated raw level
  float volume_ratio = 0.0f;   // Vr
  float vang_dai = 0.0f;       // V
  bool off = true;             // reverb off or every send muted
  bool mute_on_pause = false;  // auto_mute_reverb_on_pause
  bool pk = false;             // pk_mode_ducking: g_s = 0.12 V
  friend bool operator==(const SendsBlock&, const SendsBlock&) = default;
};

// Thread: any. Allocates: no. Blocks: no.
SendsBlock sends_prepare(const DspParams& params, const FxModes& modes) noexcept MELODARA_NONBLOCKING;

// Stage 25 on the voice pair and the track pair, before its filters; track_level is
// t. The result's pair is what the send filters take. Thread: any. Allocates: no.
Sends sends_sample(const SendsBlock& block, const SingerInputs& singer, StereoSample voice,
                   StereoSample track, float track_level) noexcept MELODARA_NONBLOCKING;

// One side's send filters, in their order in series.
struct SendFilterChain {
  Biquad& lowpass;   // 6,200 Hz
  Biquad& highpass;  // 245 Hz
  Biquad& cut_530;   // peaking -7.8 dB at 530, 660 and 2,500 Hz
  Biquad& cut_660;
  Biquad& cut_2500;
};
struct SendFilters {
  SendFilterChain left, right;
};

// The send filters over a run, in place; they run whatever the send-off flag. The
// spans are equally long. Thread: engine. Allocates: no. Blocks: no.
void sends_filter_run(const SendFilters& filters, std::span<float> left,
                      std::span<float> right) noexcept MELODARA_NONBLOCKING;

// Stage 25 over a run: sends_sample on each sample's singer, voice and track,
// then the send filters on the run's pairs (through left and right, working
// arrays at least as long as out). Thread: engine. Allocates: no. Blocks: no.
void sends_run(const SendsBlock& block, const SendFilters& filters, std::span<const SingerInputs> singer,
               std::span<const StereoSample> voice, std::span<const BackingOut> backing, std::span<Sends> out,
               std::span<float> left, std::span<float> right) noexcept MELODARA_NONBLOCKING;

}  // namespace melodara
