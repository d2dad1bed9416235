#include "dsp/modulation.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "dsp/delay_line.h"
#include "dsp/dsp_math.h"

namespace melodara {
namespace {

constexpr float kTwoPi = 2.0f * std::numbers::pi_v<float>;

// What the "BeatGate" and "Chop" words play when every step of the pattern is open.
constexpr std::array<std::uint8_t, 16> kBuiltInPattern{1, 0, 1, 0, 1, 1, 0, 1, 1, 0, 1, 0, 1, 1, 0, 1};

// "Accel": the division over the four quarters of a wobble cycle.
constexpr std::array<float, 4> kAccelBeats{1.0f, 0.5f, 0.375f, 0.25f};

inline float wrap_phase(float phase) noexcept { return phase >= 1.0f ? phase - 1.0f : phase; }

}  // namespace

BeatGateBlock beat_gate_prepare(const DspParams& p, const FxModes& modes) noexcept MELODARA_NONBLOCKING {
  const bool by_mode = modes.beat_gate || modes.chop;
  const bool active = p.beat_gate_enabled || by_mode;
  const bool all_open = std::ranges::all_of(p.beat_gate_steps, [](std::uint8_t s) { return s != 0; });
  const DspU8x16& pattern = by_mode && all_open ? kBuiltInPattern : p.beat_gate_steps;
  const float closed = 1.0f - 0.92f * clamp_f(p.beat_gate_mix, 0.0f, 1.0f);
  BeatGateBlock b;
  for (std::size_t k = 0; k < 16; ++k) b.targets[k] = !active || pattern[k] != 0 ? 1.0f : closed;
  return b;
}

StereoSample beat_gate_process(BeatGateState& s, const BeatGateBlock& b, std::uint64_t step,
                               StereoSample voice) noexcept MELODARA_NONBLOCKING {
  // About 4 ms of smoothing, so a step edge does not click.
  s.gain = 0.994805217f * s.gain + 0.00519478321f * b.targets[step & 15u];
  return {voice.left * s.gain, voice.right * s.gain};
}

ModDelayBlock mod_delay_prepare(const DspParams& p, const FxModes& modes) noexcept MELODARA_NONBLOCKING {
  const bool chorus = modes.chorus || modes.shimmer;
  float amount = p.doubler_mix;
  if (chorus) {
    amount = max_f(amount, 0.68f);
  } else if (p.chong_be_harmony) {
    amount = max_f(amount, 0.42f);
  }
  ModDelayBlock b;
  b.bypass = p.mod_routing_order == 2 || p.send_to_phone_mono;
  b.doubler = amount > 0.01f;
  b.side_signal = p.reverb_enabled && !p.pk_mode_ducking && !p.tc_mute_all_sends;
  b.centre_a = min_f(max_f(clamp_f(p.mod_delay_ms, 8.0f, 35.0f) * 48.0f, 48.0f), 4096.0f);
  b.centre_b = min_f(max_f(clamp_f(p.mod_delay_ms + 7.5f, 12.0f, 42.0f) * 48.0f, 64.0f), 4096.0f);
  b.feedback =
      chorus || p.chong_be_harmony ? 0.08f : clamp_f(p.mod_feedback_pct, 0.0f, 90.0f) / 100.0f * 0.3f;
  b.wet = min_f(amount, 1.0f) * 0.22f;
  b.dry = 1.0f - 0.12f * b.wet;
  return b;
}

StereoSample mod_delay_process(ModDelayState& s, const ModDelayLines& lines, const ModDelayBlock& b,
                               StereoSample voice) noexcept MELODARA_NONBLOCKING {
  if (b.bypass) return voice;
  s.lfo_phase = wrap_phase(s.lfo_phase + 0.0000135417f);  // 0.65 Hz
  const std::size_t w = s.write;
  s.write = (w + 1) & (kModLineSize - 1);

  if (b.doubler) {
    const float t = 43.2f * std::sin(kTwoPi * s.lfo_phase);
    // Tap B swings against tap A.
    const float a = read_behind(lines.left, w, min_f(max_f(b.centre_a + t, 16.0f), 8190.0f));
    const float c = read_behind(lines.right, w, min_f(max_f(b.centre_b - t, 16.0f), 8190.0f));
    lines.left[w] = clamp_f(voice.left + b.feedback * s.feedback.left, -1.2f, 1.2f);
    lines.right[w] = clamp_f(voice.right + b.feedback * s.feedback.right, -1.2f, 1.2f);
    s.feedback = {0.86f * a - 0.14f * c, 0.86f * c - 0.14f * a};
    return {b.dry * voice.left + b.wet * s.feedback.left, b.dry * voice.right + b.wet * s.feedback.right};
  }

  // Idle: the lines keep filling, so switching the doubler on starts with a history.
  float u = 0.0f;
  if (b.side_signal) u = 0.018f * (read_behind(lines.left, w, 460.0f) - read_behind(lines.right, w, 470.0f));
  lines.left[w] = clamp_f(voice.left, -1.2f, 1.2f);
  lines.right[w] = clamp_f(voice.right, -1.2f, 1.2f);
  return b.side_signal ? StereoSample{voice.left + u, voice.right - u} : voice;
}

float effective_tempo(float bpm) noexcept MELODARA_NONBLOCKING {
  const float b = clamp_f(bpm, 40.0f, 200.0f);
  return b > 144.0f ? 0.5f * b : b;
}

namespace {
struct Division {
  std::string_view text;
  float beats;
};
constexpr Division kDivisions[] = {{"1/2", 2.0f},       {"1/4", 1.0f},   {"1/4D", 1.5f},
                                   {"1/2T", 1.333333f}, {"1/8D", 0.75f}, {"1/4T", 0.666667f},
                                   {"1/8T", 0.333333f}, {"1/16", 0.25f}};
}  // namespace

float note_division_beats(std::string_view division) noexcept MELODARA_NONBLOCKING {
  for (const Division& d : kDivisions) {
    if (d.text == division) return d.beats;
  }
  return 0.5f;
}

float echo_target_samples(float tempo, float beats, bool slapback) noexcept MELODARA_NONBLOCKING {
  if (slapback) return 4080.0f;
  return clamp_f(60.0f / tempo * beats * 48000.0f, 2400.0f, 47360.0f);
}

float echo_level(const DspParams& p, const FxModes& modes) noexcept MELODARA_NONBLOCKING {
  const float level = max_f(p.tc_delay_level, 0.0f);
  float e = p.delay_mix <= 0.005f
                ? min_f(1.0f, level)
                : min_f(1.0f, max_f(0.0f, min_f(p.delay_mix / 0.14f, 1.4f) * min_f(level, 1.2f)));
  if (modes.slapback || modes.ping_pong || modes.up_down || modes.ramp || modes.melodic || modes.riser ||
      modes.accel) {
    e = max_f(e, 0.72f);
  }
  return e;
}

TempoTimingBlock tempo_timing_prepare(const DspParams& p,
                                      const FxModes& modes) noexcept MELODARA_NONBLOCKING {
  TempoTimingBlock b;
  b.tempo = effective_tempo(p.bpm);
  b.beats = note_division_beats(p.delay_note_div.view());
  b.target = echo_target_samples(b.tempo, b.beats, modes.slapback);
  b.accel = modes.accel;
  for (std::size_t k = 0; k < 4; ++k)
    b.accel_targets[k] = echo_target_samples(b.tempo, kAccelBeats[k], modes.slapback);
  b.wobble_step = clamp_f(b.tempo / 120.0f, 0.35f, 1.25f) / 48000.0f;
  return b;
}

EchoTime tempo_timing_sample(TempoTimingState& s, const TempoTimingBlock& b,
                             float singer_level) noexcept MELODARA_NONBLOCKING {
  float beats = b.beats;
  float target = b.target;
  if (b.accel) {
    // The echo speeds up over each wobble cycle.
    const std::size_t quarter = static_cast<std::size_t>(clamp_f(s.wobble_phase * 4.0f, 0.0f, 3.0f));
    beats = kAccelBeats[quarter];
    target = b.accel_targets[quarter];
  }
  const float gap = target - s.echo_time;
  if (singer_level < 0.015f || std::fabs(gap) > 32.0f) {
    s.echo_time = target;
  } else {
    s.echo_time += clamp_f(gap * 0.00002f, -0.002f, 0.002f);
  }
  s.wobble_phase = wrap_phase(s.wobble_phase + b.wobble_step);
  return {s.echo_time, beats, s.wobble_phase};
}

ModulationBlock modulation_prepare(const DspParams& p, const FxModes& modes) noexcept MELODARA_NONBLOCKING {
  return {beat_gate_prepare(p, modes), mod_delay_prepare(p, modes), tempo_timing_prepare(p, modes)};
}

void modulation_run(ModulationState& s, const ModDelayLines& lines, const ModulationBlock& b,
                    std::uint8_t routing, std::span<const std::uint64_t> steps,
                    std::span<StereoSample> voice) noexcept MELODARA_NONBLOCKING {
  if (routing == 0) {
    for (std::size_t j = 0; j < voice.size(); ++j) {
      const StereoSample gated = beat_gate_process(s.beat_gate, b.beat_gate, steps[j], voice[j]);
      voice[j] = mod_delay_process(s.mod_delay, lines, b.mod_delay, gated);
    }
  } else if (routing == 1) {
    for (std::size_t j = 0; j < voice.size(); ++j) {
      const StereoSample delayed = mod_delay_process(s.mod_delay, lines, b.mod_delay, voice[j]);
      voice[j] = beat_gate_process(s.beat_gate, b.beat_gate, steps[j], delayed);
    }
  }
}

}  // namespace melodara
