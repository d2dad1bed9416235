#include "dsp/character_fx.h"

#include <cmath>
#include <new>
#include <numbers>

#include "dsp/delay_line.h"
#include "dsp/dsp_math.h"

namespace melodara {
namespace {

constexpr float kTwoPi = 2.0f * std::numbers::pi_v<float>;

// Approaches +-1 / sqrt(0.14) = +-2.67, so the crossed feedback cannot run away.
inline float soft_limit(float y) noexcept { return y / std::sqrt(1.0f + 0.14f * y * y); }

inline bool settled(const Biquad& f) noexcept { return f.z1 == 0.0f && f.z2 == 0.0f; }

}  // namespace

float flanger_process(FlangerState& s, std::span<float> line, float x) noexcept MELODARA_NONBLOCKING {
  s.phase += 0.00000375f;  // 0.18 Hz
  if (s.phase >= 1.0f) s.phase -= 1.0f;
  const float delay = 105.6f * (1.0f + 0.35f * std::sin(kTwoPi * s.phase));
  const float tap = read_behind(line, s.write, delay);
  line[s.write] = clamp_f(x + 0.25f * tap, -1.5f, 1.5f);
  s.write = (s.write + 1) & (kFlangerLineSize - 1);
  return 0.5f * x + 0.5f * tap;
}

float radio_process(const RadioSections& sec, float x) noexcept MELODARA_NONBLOCKING {
  const float rb = biquad_process(sec.peak, biquad_process(sec.lowpass, biquad_process(sec.highpass, x)));
  const float rq = biquad_process(sec.band, x);
  return 0.78f * std::tanh(1.85f * (0.75f * rb + 0.25f * rq));
}

EchoBlock echo_prepare(const DspParams& p, const FxModes& modes) noexcept MELODARA_NONBLOCKING {
  EchoBlock b;
  b.slapback = modes.slapback;
  b.ping_pong = modes.ping_pong;
  b.wobble = modes.up_down || modes.ramp || modes.melodic || modes.riser || modes.accel;
  const bool any_mode = b.slapback || b.ping_pong || b.wobble;
  const bool swinging = b.ping_pong || b.wobble;
  b.spread = p.delay_ping_pong;
  b.level = echo_level(p, modes);
  if (b.slapback) {
    b.feedback = 0.2f;
  } else if (swinging) {
    b.feedback = clamp_f(p.delay_feedback, 0.48f, 0.78f);
  } else {
    b.feedback = clamp_f(p.delay_feedback, 0.04f, 0.14f);
  }
  b.gain_left = swinging ? 0.76f : 0.58f;
  b.gain_right = swinging ? 0.42f : 0.54f;
  b.feed = ((p.delay_enabled && b.level > 0.01f) || any_mode) && !p.tc_mute_all_sends;
  b.mute_on_pause = p.auto_mute_reverb_on_pause;
  b.mix = b.wobble || p.reverb_enabled || b.ping_pong || b.slapback;
  b.pk = p.pk_mode_ducking;
  b.mode_gain = any_mode ? 0.45f : 0.055f;
  b.auto_duck = p.delay_auto_duck;
  b.duck_slope = 1.6f + 1.8f * clamp_f(p.delay_auto_sens, 0.15f, 1.0f);
  return b;
}

EchoOut echo_process(EchoState& s, const EchoLines& lines, const EchoBlock& b, const EchoTime& time,
                     const Sends& sends) noexcept MELODARA_NONBLOCKING {
  const EchoFeedbackFilters& feedback = lines.feedback;
  const bool fed = b.feed && !(b.mute_on_pause && sends.track_level < 0.0012f);
  // Unfed over cleared lines and settled filters, every tap and section gives +0 and
  // every slot stays 0: the pair is silent without running them.
  if (!fed && s.unfed_run == kEchoLineSize && settled(feedback.highpass_left) &&
      settled(feedback.highpass_right) && settled(feedback.lowpass_left) && settled(feedback.lowpass_right) &&
      settled(lines.mid_highpass)) {
    s.write = next_index(s.write, kEchoLineSize);
    return {{0.0f, 0.0f}, 0.0f, 0.0f, b.level, false};
  }
  s.unfed_run = fed ? 0 : s.unfed_run + (s.unfed_run < kEchoLineSize);

  const bool swinging = b.ping_pong || b.wobble;
  const float sn = swinging ? std::sin(kTwoPi * time.wobble_phase) : 0.0f;
  const float mo = b.wobble ? 48.0f * sn : 0.0f;
  const float d = time.samples;
  float dl = d;
  if (!b.slapback) {
    if (b.ping_pong) {
      dl = (time.beats > 0.5f ? 1.5f : 1.33333f) * d;
    } else if (b.spread) {
      dl = 1.06f * d;
    }
  }
  const std::size_t w = s.write;
  const float a = read_behind(lines.left, w, clamp_f(dl - mo, 1800.0f, 95992.0f));
  const float c = read_behind(lines.right, w, clamp_f(d + 0.85f * mo, 1800.0f, 95992.0f));

  // Crossed: the right tap feeds the left line and the left tap the right line.
  const float u = soft_limit(
      biquad_process(feedback.lowpass_left, biquad_process(feedback.highpass_left, b.feedback * c)));
  const float z = soft_limit(
      biquad_process(feedback.lowpass_right, biquad_process(feedback.highpass_right, b.feedback * a)));

  // Unfed lines take zeros, so the tail is gone once the index has passed.
  lines.left[w] = fed ? finite_or_zero(b.gain_left * sends.pair.left + u) : 0.0f;
  lines.right[w] = fed ? finite_or_zero(b.gain_right * sends.pair.right + z) : 0.0f;
  s.write = next_index(w, kEchoLineSize);

  const float pan = swinging ? 0.78f * sn : 0.0f;
  const float pa = (1.0f + pan) * a;
  const float pc = (1.0f - pan) * c;
  const float mid = 0.45f * biquad_process(lines.mid_highpass, 0.5f * (pa + pc));
  const float side = 0.56f * (pa - pc);
  return {{mid + side, mid - side}, mid, side, b.level, fed};
}

StereoSample echo_mix(const EchoBlock& b, const EchoOut& echo, const Sends& sends,
                      StereoSample voice) noexcept MELODARA_NONBLOCKING {
  if (!echo.active || !b.mix) return voice;
  float g;
  if (b.pk) {
    g = 0.04f * echo.level;
  } else {
    const float ducked = b.auto_duck
                             ? echo.level * clamp_f(1.0f - sends.singer_level * b.duck_slope, 0.22f, 0.85f)
                             : echo.level;
    // The echo grows slightly with the track's level, as the reverb's send does.
    g = b.mode_gain * sends.track_boost * ducked;
  }
  return {voice.left + g * echo.pair.left, voice.right + g * echo.pair.right};
}

void flanger_run(FlangerState& state, std::span<float> line,
                 std::span<float> voice) noexcept MELODARA_NONBLOCKING {
  for (float& v : voice) v = flanger_process(state, line, v);
}

void radio_run(const RadioSections& sections, std::span<float> voice) noexcept MELODARA_NONBLOCKING {
  for (float& v : voice) v = radio_process(sections, v);
}

void echo_run(EchoState& state, TempoTimingState& timing, const EchoLines& lines, const EchoBlock& block,
              const TempoTimingBlock& timing_block, std::span<const Sends> sends,
              std::span<EchoOut> out) noexcept MELODARA_NONBLOCKING {
  for (std::size_t j = 0; j < sends.size(); ++j) {
    const EchoTime time = tempo_timing_sample(timing, timing_block, sends[j].singer_level);
    // Built in place: a copy of the returned record reloads it in wider pieces
    // than it was stored in, which stalls.
    ::new (&out[j]) EchoOut(echo_process(state, lines, block, time, sends[j]));
  }
}

}  // namespace melodara
