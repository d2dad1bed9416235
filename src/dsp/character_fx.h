// Character effects of the vocal chain and the echo: the flanger (stage 18), the
// radio filter shared by tc_lofi_radio (19) and the "Megaphone" mode (20), the
// echo path of the tempo delay (26: what the two echo lines are fed, how they are
// read, fed back crosswise through filters and a soft limiter, and turned into a
// stereo echo pair) and the echo gain with its ducking (28).
//
// Per block the chain prepares EchoBlock; per sample it runs the timing of
// modulation.h, then echo_process, the reverbs (which take the EchoOut), then
// echo_mix, which adds the pair to the voice.
#pragma once

#include <cstddef>
#include <span>

#include "core/realtime.h"
#include "dsp/backing.h"
#include "dsp/biquad.h"
#include "dsp/dsp_params.h"
#include "dsp/fx_modes.h"
#include "dsp/modulation.h"
#include "dsp/stereo_sample.h"

namespace melodara {

// ---- Flanger (stage 18)

inline constexpr std::size_t kFlangerLineSize = 1024;

struct FlangerState {
  std::size_t write = 0;  // index into the engine's short_line_b
  float phase = 0.0f;     // 0..1, 0.18 Hz
  friend bool operator==(const FlangerState&, const FlangerState&) = default;
};

// The mono voice through a delay sweeping between 68.64 and 142.56 samples; the
// line holds at most +-1.5. Thread: engine. Allocates: no. Blocks: no.
float flanger_process(FlangerState& state, std::span<float> line, float x) noexcept MELODARA_NONBLOCKING;

// ---- Radio filter (stages 19 and 20)

// The radio filter's band limit in its order, and the band-pass beside it.
struct RadioSections {
  Biquad& highpass;  // 350 Hz
  Biquad& lowpass;   // 3,200 Hz
  Biquad& peak;      // peaking 1,350 Hz, +5.5 dB
  Biquad& band;      // band-pass 1,450 Hz
};

// Band-limits and saturates the mono voice. Run it once per sample even when both
// switches ask for it. Thread: engine. Allocates: no. Blocks: no.
float radio_process(const RadioSections& sections, float x) noexcept MELODARA_NONBLOCKING;

// ---- Echo path (stage 26) and echo gain (stage 28)

inline constexpr std::size_t kEchoLineSize = 96000;

struct EchoState {
  std::size_t write = 0;  // shared write index of tempo_line_l and tempo_line_r
  // Samples in a row written unfed (zeros), up to kEchoLineSize: at that count both
  // lines hold only zeros, as only echo_process writes them.
  std::size_t unfed_run = 0;
  friend bool operator==(const EchoState&, const EchoState&) = default;
};

struct EchoBlock {
  bool slapback = false;   // S
  bool ping_pong = false;  // P, the "Ping-Pong" word
  bool wobble = false;     // W: "Up-Down", "Ramp", "Melodic", "Riser" or "Accel"
  bool spread = false;     // delay_ping_pong: the left line read 6 % later
  float level = 0.0f;      // e
  float feedback = 0.04f;  // fb
  float gain_left = 0.58f;
  float gain_right = 0.54f;
  bool feed = false;           // the parameters let the lines be fed
  bool mute_on_pause = false;  // ... but not while the track is silent
  bool mix = false;            // W, reverb_enabled, P or S: the pair may reach the voice
  bool pk = false;             // pk_mode_ducking
  float mode_gain = 0.055f;    // kE: 0.45 with any echo word
  bool auto_duck = false;
  float duck_slope = 0.0f;  // 1.6 + 1.8 clamp(delay_auto_sens, 0.15, 1)
  friend bool operator==(const EchoBlock&, const EchoBlock&) = default;
};

// The filters on the crossed feedback, a high-pass then a low-pass into each line.
// The tone stage designs them each block.
struct EchoFeedbackFilters {
  Biquad& highpass_left;
  Biquad& highpass_right;
  Biquad& lowpass_left;
  Biquad& lowpass_right;
};

// The engine's echo lines (kEchoLineSize each) and their sections.
struct EchoLines {
  std::span<float> left, right;
  EchoFeedbackFilters feedback;
  Biquad& mid_highpass;  // 280 Hz, on the pair's mid
};

// One sample of the echo, as the reverbs and the echo gain read it. active means
// the lines were fed this sample; while it is clear the reverbs take none of the
// echo and the voice gets none of it, though the pair may still carry the old
// contents of the lines. mid and side are the mid and side of the pair:
// left = mid + side, right = mid - side.
struct EchoOut {
  StereoSample pair;   // EL, ER
  float mid = 0.0f;    // eM
  float side = 0.0f;   // eS
  float level = 0.0f;  // E, the echo level e
  bool active = false;
};

// Thread: any. Allocates: no. Blocks: no.
EchoBlock echo_prepare(const DspParams& params, const FxModes& modes) noexcept MELODARA_NONBLOCKING;
// Reads the taps at the sample's timing, writes the lines (the send pair and the
// crossed feedback, or zeros when not fed) and forms the echo pair.
// Thread: engine. Allocates: no. Blocks: no.
EchoOut echo_process(EchoState& state, const EchoLines& lines, const EchoBlock& block, const EchoTime& time,
                     const Sends& sends) noexcept MELODARA_NONBLOCKING;
// Stage 28: the voice pair plus the echo pair at its gain, ducked while the
// singer is loud. Thread: engine. Allocates: no. Blocks: no.
StereoSample echo_mix(const EchoBlock& block, const EchoOut& echo, const Sends& sends,
                      StereoSample voice) noexcept MELODARA_NONBLOCKING;

// ---- The stages' runs: each over the run's samples in turn, as its sample form.

// The flanger and the radio filter on the mono voice in place.
// Thread: engine. Allocates: no. Blocks: no.
void flanger_run(FlangerState& state, std::span<float> line,
                 std::span<float> voice) noexcept MELODARA_NONBLOCKING;
void radio_run(const RadioSections& sections, std::span<float> voice) noexcept MELODARA_NONBLOCKING;

// Per sample the echo timing (modulation.h) on the singer's level of the send,
// then the echo path; out as long as sends. Thread: engine. Allocates: no. Blocks: no.
void echo_run(EchoState& state, TempoTimingState& timing, const EchoLines& lines, const EchoBlock& block,
              const TempoTimingBlock& timing_block, std::span<const Sends> sends,
              std::span<EchoOut> out) noexcept MELODARA_NONBLOCKING;

// ---- The stages' state in the engine

struct CharacterFxState {
  FlangerState flanger;
  EchoState echo;
  friend bool operator==(const CharacterFxState&, const CharacterFxState&) = default;
};

}  // namespace melodara
