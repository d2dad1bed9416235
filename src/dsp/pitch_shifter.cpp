#include "dsp/pitch_shifter.h"

#include <cmath>
#include <cstdint>
#include <numbers>

#include "dsp/dsp_math.h"

namespace melodara {
namespace {

constexpr float kRing = static_cast<float>(kShifterRingSize);

// Half away from zero.
inline float round_half_away(float v) { return std::round(v); }

inline float read_tap(const PitchShifter& s, float delay) {
  const float p = static_cast<float>(s.write_pos) + kRing - clamp_f(delay, 4.0f, 4088.0f);
  // p lies in 8..8188: truncation is the floor, and cheaper than one.
  const std::int32_t whole = static_cast<std::int32_t>(p);
  const std::size_t i = static_cast<std::size_t>(whole) % kShifterRingSize;
  const float f = p - static_cast<float>(whole);
  return (1.0f - f) * s.ring[i] + f * s.ring[(i + 1) % kShifterRingSize];
}

// Where the taps may sit for the splice distance k.
struct TapRange {
  float centre, lo, hi;
};

// The window's own range; for a period longer than its half-range (a low voice),
// one centred so that a whole period fits on either side, or the splices would
// fall between periods and the cross-fades dip in level.
inline TapRange tap_range(const PitchShifter& s, float k) {
  if (k <= s.half_range) return {s.centre, s.tap_lo, s.tap_hi};
  const float centre = max_f(s.centre, k + 32.0f);
  return {centre, max_f(centre - k - 16.0f, 16.0f), min_f(centre + k + 16.0f, 4064.0f)};
}

// Places a tap a whole number of splice distances (at most one) from the audible tap.
inline float reseat(const TapRange& range, float audible, float r, float k) {
  const float sign = r > 0.0f ? 1.0f : -1.0f;
  const float aim = range.centre - sign * k;
  const float n = clamp_f(round_half_away((aim - audible) / k), -1.0f, 1.0f);
  return clamp_f(audible + n * k, range.lo, range.hi);
}

// Writes x and moves the taps; the output is read from them afterwards.
inline void advance(PitchShifter& s, float x, float ratio, float pitch_hz) {
  s.ring[s.write_pos] = x;
  s.write_pos = (s.write_pos + 1) % kShifterRingSize;

  if (pitch_hz >= 68.0f && pitch_hz <= 750.0f) s.period = 48000.0f / pitch_hz;
  // Splices a whole period apart, down to the lowest pitch told (68 Hz).
  const float k = s.period > 48.0f ? max_f(s.period, 80.0f) : 0.24f * static_cast<float>(s.window);
  const float r = clamp_f(1.0f - ratio, -1.0f, 0.65f);

  float a = s.delay_a;
  float b = s.delay_b;
  if (std::fabs(r) < 0.0008f) {
    if (std::fabs(a - b) > 0.5f) {
      // Settle the cross-fade on one tap, then join the taps there.
      const float target = s.phase < 0.25f ? 0.0f : (s.phase < 0.75f ? 0.5f : 1.0f);
      if (std::fabs(target - s.phase) > 0.0035f) {
        s.phase += target > s.phase ? 0.003f : -0.003f;
      }
      if (std::fabs(target - s.phase) <= 0.0035f) {
        const bool a_audible = std::fabs(target - 0.5f) < 0.01f;
        s.phase = target >= 1.0f ? 0.0f : target;
        const float audible = a_audible ? a : b;
        a = audible;
        b = audible;
      }
    } else if (pitch_hz == 0.0f) {
      // Drift back to the centre delay, slowly enough not to be heard.
      const float dist = s.centre - a;
      if (std::fabs(dist) > 1.0f) a += clamp_f(dist, -0.25f, 0.25f);
      b = a;
    }
  } else {
    const TapRange range = tap_range(s, k);
    if (std::fabs(a - b) < 1.0f) {
      if (std::fabs(s.phase - 0.5f) <= 0.02f) {
        b = reseat(range, a, r, k);
      } else if (s.phase < 0.02f || s.phase > 0.98f) {
        a = reseat(range, b, r, k);
      }
    }
    const float old_phase = s.phase;
    float phase = old_phase + min_f(std::fabs(r) / max_f(2.0f * k, 160.0f), 0.008f);
    const bool wrapped = phase >= 1.0f;
    if (wrapped) phase -= 1.0f;
    s.phase = phase;
    if (wrapped) {
      a = reseat(range, b, r, k);
    } else {
      a += r;
    }
    if (!wrapped && old_phase < 0.5f && phase >= 0.5f) {
      b = reseat(range, a, r, k);
    } else {
      b += r;
    }
  }
  s.delay_a = clamp_f(a, 16.0f, 4064.0f);
  s.delay_b = clamp_f(b, 16.0f, 4064.0f);
}

}  // namespace

PitchShifter pitch_shifter_new(std::size_t window) {
  PitchShifter s;
  s.ring.assign(kShifterRingSize, 0.0f);
  s.window = window;
  const float w = static_cast<float>(window);
  s.centre = window < 541 ? 0.42f * w : (window < 1200 ? 0.65f * w : 0.3f * w);
  s.half_range = window < 1200 ? 0.36f * w : 0.25f * w;
  s.tap_lo = max_f(s.centre - s.half_range - 16.0f, 16.0f);
  s.tap_hi = min_f(s.centre + s.half_range + 16.0f, 4064.0f);
  s.delay_a = s.centre;
  s.delay_b = s.centre;
  return s;
}

void pitch_shift_feed(PitchShifter& s, float x, float ratio, float pitch_hz) MELODARA_NONBLOCKING {
  advance(s, x, ratio, pitch_hz);
}

float pitch_shift_sample(PitchShifter& s, float x, float ratio, float pitch_hz) MELODARA_NONBLOCKING {
  advance(s, x, ratio, pitch_hz);
  const float ya = read_tap(s, s.delay_a);
  if (std::fabs(s.delay_a - s.delay_b) < 0.0001f) return ya;
  const float sw = std::sin(std::numbers::pi_v<float> * s.phase);
  const float w = sw * sw;
  return w * ya + (1.0f - w) * read_tap(s, s.delay_b);
}

}  // namespace melodara
