// Time-based stages of the voice pair: the beat gate (22) that chops the voice in
// sixteenth notes, the stereo modulated delay (23) that doubles or thickens it,
// and the timing of the tempo-synchronised echo (26): its target and current
// delay time, the wobble phase and the echo level. The echo path that uses the
// timing is in character_fx.h.
//
// Per block the chain prepares each stage's values from the parameter copy; per
// sample it runs the gate and the delay in the order mod_routing_order gives
// (0: gate then delay, 1: delay then gate, anything else: neither) and, in the
// late stages, the timing before the echo path.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/realtime.h"
#include "dsp/dsp_params.h"
#include "dsp/fx_modes.h"
#include "dsp/stereo_sample.h"

namespace melodara {

// ---- Beat gate (stage 22)

struct BeatGateState {
  float gain = 1.0f;  // the smoothed gate gain g
  friend bool operator==(const BeatGateState&, const BeatGateState&) = default;
};

struct BeatGateBlock {
  std::array<float, 16> targets{};  // gain target per step: 1 on an open step or with the gate off
  friend bool operator==(const BeatGateBlock&, const BeatGateBlock&) = default;
};

// Thread: any. Allocates: no. Blocks: no.
BeatGateBlock beat_gate_prepare(const DspParams& params, const FxModes& modes) noexcept MELODARA_NONBLOCKING;
// The voice pair times the gate gain at sixteenth step (0..15).
// Thread: engine. Allocates: no. Blocks: no.
StereoSample beat_gate_process(BeatGateState& state, const BeatGateBlock& block, std::uint64_t step,
                               StereoSample voice) noexcept MELODARA_NONBLOCKING;

// ---- Modulated delay (stage 23)

inline constexpr std::size_t kModLineSize = 8192;

struct ModDelayState {
  std::size_t write = 0;   // shared write index of both lines
  float lfo_phase = 0.0f;  // 0..1, 0.65 Hz
  StereoSample feedback;   // fbA, fbB: the cross-coupled taps of the last sample
  friend bool operator==(const ModDelayState&, const ModDelayState&) = default;
};

struct ModDelayBlock {
  bool bypass = false;       // mod_routing_order 2 or send_to_phone_mono: nothing runs
  bool doubler = false;      // amount f above 0.01
  bool side_signal = false;  // idle doubler: the faint 460/470-sample side signal
  float centre_a = 672.0f;   // tap delays before the LFO, samples
  float centre_b = 1032.0f;
  float feedback = 0.0f;  // c
  float wet = 0.0f;       // o = min(f, 1) x 0.22
  float dry = 1.0f;       // p = 1 - 0.12 o
  friend bool operator==(const ModDelayBlock&, const ModDelayBlock&) = default;
};

// The engine's two lines of kModLineSize samples.
struct ModDelayLines {
  std::span<float> left, right;
};

// Thread: any. Allocates: no. Blocks: no.
ModDelayBlock mod_delay_prepare(const DspParams& params, const FxModes& modes) noexcept MELODARA_NONBLOCKING;
// One stereo sample of the voice through the modulated delay.
// Thread: engine. Allocates: no. Blocks: no.
StereoSample mod_delay_process(ModDelayState& state, const ModDelayLines& lines, const ModDelayBlock& block,
                               StereoSample voice) noexcept MELODARA_NONBLOCKING;

// ---- Tempo-delay timing (stage 26)

// bpm within 40..200, halved above 144. Thread: any. Allocates: no.
float effective_tempo(float bpm) noexcept MELODARA_NONBLOCKING;
// Beats of a delay_note_div text ("1/2", "1/4D", ...); any other text is an eighth.
// Thread: any. Allocates: no.
float note_division_beats(std::string_view division) noexcept MELODARA_NONBLOCKING;
// Target echo time in samples at an effective tempo: 4,080 for "Slapback", else
// the division's length within 2,400..47,360. Thread: any. Allocates: no.
float echo_target_samples(float tempo, float beats, bool slapback) noexcept MELODARA_NONBLOCKING;
// The echo level e, raised to at least 0.72 by an echo mode word.
// Thread: any. Allocates: no.
float echo_level(const DspParams& params, const FxModes& modes) noexcept MELODARA_NONBLOCKING;

struct TempoTimingState {
  float echo_time = 0.0f;     // current time D, samples
  float wobble_phase = 0.0f;  // 0..1; also sweeps the echo low-pass
  friend bool operator==(const TempoTimingState&, const TempoTimingState&) = default;
};

struct TempoTimingBlock {
  float tempo = 70.0f;  // effective tempo b
  float beats = 0.5f;   // division of delay_note_div
  float target = 20571.43f;
  bool accel = false;                    // the division follows the wobble phase
  std::array<float, 4> accel_targets{};  // targets of 1, 0.5, 0.375 and 0.25 beats
  float wobble_step = 0.0f;              // phase advance per sample
  friend bool operator==(const TempoTimingBlock&, const TempoTimingBlock&) = default;
};

// The timing of one sample as the echo path reads it.
struct EchoTime {
  float samples = 0.0f;       // D
  float beats = 0.5f;         // the division in use
  float wobble_phase = 0.0f;  // after this sample's advance
};

// Thread: any. Allocates: no. Blocks: no.
TempoTimingBlock tempo_timing_prepare(const DspParams& params,
                                      const FxModes& modes) noexcept MELODARA_NONBLOCKING;
// Moves the current time toward the target (directly while singer_level is below
// 0.015 or the gap exceeds 32 samples) and advances the wobble phase.
// Thread: engine. Allocates: no. Blocks: no.
EchoTime tempo_timing_sample(TempoTimingState& state, const TempoTimingBlock& block,
                             float singer_level) noexcept MELODARA_NONBLOCKING;

// ---- The stages' state in the engine

struct ModulationState {
  BeatGateState beat_gate;
  ModDelayState mod_delay;
  TempoTimingState timing;
  friend bool operator==(const ModulationState&, const ModulationState&) = default;
};

struct ModulationBlock {
  BeatGateBlock beat_gate;
  ModDelayBlock mod_delay;
  TempoTimingBlock timing;
  friend bool operator==(const ModulationBlock&, const ModulationBlock&) = default;
};

// Thread: any. Allocates: no. Blocks: no.
ModulationBlock modulation_prepare(const DspParams& params,
                                   const FxModes& modes) noexcept MELODARA_NONBLOCKING;

// The beat gate and the modulated delay over a run of the voice pair in place, in
// the order routing gives (mod_routing_order: 0 gate then delay, 1 delay then
// gate, anything else neither); steps holds each sample's sixteenth step.
// Thread: engine. Allocates: no. Blocks: no.
void modulation_run(ModulationState& state, const ModDelayLines& lines, const ModulationBlock& block,
                    std::uint8_t routing, std::span<const std::uint64_t> steps,
                    std::span<StereoSample> voice) noexcept MELODARA_NONBLOCKING;

}  // namespace melodara
