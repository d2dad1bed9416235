#include "dsp/pitch_correction.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <numbers>

#include "dsp/detector_kernels.h"
#include "dsp/dsp_math.h"
#include "dsp/lanes.h"

namespace melodara {
namespace {

constexpr std::size_t kDecimated = kPitchFrame / 2;  // 576 values at 24 kHz
constexpr std::size_t kMaxLag = 320;
constexpr std::size_t kDiffWindow = 256;
// 20 lags at 24 kHz is 1,200 Hz: the top of the singing range (1,000 Hz) is a lag
// of 24, which the search must reach or it lands on the second period.
constexpr std::size_t kMinLag = 20;
constexpr std::size_t kRefineWindow = 512;
constexpr float kVoicedHz = 65.0f;

inline float semitones(float hz, float reference) { return 12.0f * std::log2(hz / reference) + 69.0f; }
inline float note_hz(float note, float reference) { return reference * std::exp2((note - 69.0f) / 12.0f); }

// The build the one-argument form takes: the fastest, unless a test asks for another.
std::atomic<DetectorBuild> g_chosen{detector_fastest_build()};

// The loudness gate: is the root mean square of the older half, its squares summed
// in order, below 0.0018? The in-order sum is a chain of 512 dependent additions.
// A sum of the same squares in sixteen lanes is within (n - 1) * 2^-24 (0.003 %)
// of the true sum, as the in-order sum is, so it settles every frame not within
// 0.1 % of the gate; only those pay for the in-order sum.
bool too_quiet(std::span<const float> frame) {
  static_assert(kRefineWindow % 16 == 0);
  Lanes4 acc[4] = {};
  for (std::size_t j = 0; j < kRefineWindow; j += 16) {
    for (std::size_t k = 0; k < 4; ++k) {
      const Lanes4 x = load<Lanes4>(&frame[j + 4 * k]);
      acc[k] += x * x;
    }
  }
  const float quick = detector_reduce(acc[0], acc[1], acc[2], acc[3]);
  constexpr float kGateEnergy = 0.0018f * 0.0018f * static_cast<float>(kRefineWindow);
  if (quick < 0.999f * kGateEnergy) return true;
  if (quick > 1.001f * kGateEnergy) return false;  // infinities too; a NaN goes on
  float energy = 0.0f;
  for (std::size_t j = 0; j < kRefineWindow; ++j) energy += frame[j] * frame[j];
  return std::sqrt(energy / static_cast<float>(kRefineWindow)) < 0.0018f;
}

constexpr bool kMajor[12] = {1, 0, 1, 0, 1, 1, 0, 1, 0, 1, 0, 1};
constexpr bool kMinor[12] = {1, 0, 1, 1, 0, 1, 0, 1, 1, 0, 1, 0};

bool in_scale(std::int64_t pc, bool minor) { return (minor ? kMinor : kMajor)[pc]; }

inline std::int64_t pitch_class(std::int64_t note, std::int64_t root) {
  return ((note - root) % 12 + 12) % 12;
}

}  // namespace

float snap_to_scale(std::uint64_t root_key, bool minor, bool chromatic, float freq_hz,
                    float reference_hz) MELODARA_NONBLOCKING {
  if (!(freq_hz > 40.0f) || !std::isfinite(freq_hz) || !(reference_hz > 0.0f) || !std::isfinite(reference_hz))
    return freq_hz;
  const float m = semitones(freq_hz, reference_hz);
  const float rounded = std::round(m);  // halves away from zero
  const float d = std::fabs(m - rounded);
  const std::int64_t n = static_cast<std::int64_t>(rounded);
  const std::int64_t root = static_cast<std::int64_t>(root_key % 12u);
  std::int64_t target = n;
  if (!chromatic) {
    const std::int64_t pc = pitch_class(n, root);
    if (minor && (pc == 9 || pc == 11) && d <= 0.36f) {
      target = n;  // raised sixth and seventh
    } else if (!in_scale(pc, minor) && d <= 0.22f) {
      target = n;  // an out-of-key note sung accurately is kept
    } else {
      bool found = false;
      float best = 0.0f;
      std::int64_t best_k = n;
      for (std::int64_t k = n - 2; k <= n + 2; ++k) {
        if (!in_scale(pitch_class(k, root), minor)) continue;
        const float dist = std::fabs(static_cast<float>(k) - m);
        if (!found || dist < best) {
          found = true;
          best = dist;
          best_k = k;
        }
      }
      target = (found && best <= 0.78f) ? best_k : n;
    }
  }
  return note_hz(static_cast<float>(target), reference_hz);
}

void detector_choose_build(DetectorBuild build) { g_chosen.store(build, std::memory_order_relaxed); }

PitchEstimate analyse_pitch_frame(std::span<const float> frame) MELODARA_NONBLOCKING {
  return analyse_pitch_frame(frame, g_chosen.load(std::memory_order_relaxed));
}

PitchEstimate analyse_pitch_frame(std::span<const float> frame, DetectorBuild build) MELODARA_NONBLOCKING {
  if (frame.size() < kPitchFrame) return {};

  if (too_quiet(frame)) return {};

  // Every other sample, four at a time.
  std::array<float, kDecimated> s;
  for (std::size_t k = 0; k < kDecimated; k += 4) {
    store(&s[k],
          __builtin_shufflevector(load<Lanes4>(&frame[2 * k]), load<Lanes4>(&frame[2 * k + 4]), 0, 2, 4, 6));
  }

  // Difference function and its cumulative normalisation, lags 1..320; the
  // running sums are serial, the divisions independent, four to a register.
  // Lags 1..320 are written before they are read; lag 0 is never read.
  std::array<float, kMaxLag + 1> diff;
  std::array<float, kMaxLag + 1> cumulative;
  std::array<float, kMaxLag + 1> norm;
  // In chunks, so that the serial running sum of one chunk overlaps the sums of
  // the next.
  constexpr std::size_t kChunk = 16;
  static_assert(kMaxLag % kChunk == 0);
  float running = 0.0f;
  for (std::size_t first = 1; first <= kMaxLag; first += kChunk) {
    detector_squared_differences(build, kDiffWindow, s.data(), s.data() + first, kChunk, diff.data() + first);
    for (std::size_t tau = first; tau < first + kChunk; ++tau) {
      running += diff[tau];
      cumulative[tau] = running;
    }
  }
  const float total = running;
  static_assert(kMaxLag % 4 == 0);
  Lanes4 lags = {1.0f, 2.0f, 3.0f, 4.0f};
  for (std::size_t tau = 1; tau <= kMaxLag; tau += 4) {
    const Lanes4 sum = load<Lanes4>(&cumulative[tau]);
    store(&norm[tau], select(sum > 1e-9f, load<Lanes4>(&diff[tau]) * lags / sum, splat<Lanes4>(1.0f)));
    lags += 4.0f;
  }

  std::size_t best_tau = 0;
  float best = 1.0f;
  for (std::size_t tau = kMinLag; tau <= kMaxLag; ++tau) {
    if (norm[tau] < best) {
      best = norm[tau];
      best_tau = tau;
      if (best < 0.1f && tau < kMaxLag && norm[tau + 1] > norm[tau]) break;
    }
  }
  // A best lag at the end of the range is no minimum: the period lies beyond it
  // (a tone below 75 Hz), and reading the bound would correct it off its note.
  if (best_tau == kMaxLag) return {};

  // Octave check: a detector that stopped on half the period finds the full one
  // clearly better at twice the lag. A clean tone is about as good at both lags
  // (its first lag is already near zero), so it must stay where it is: the double
  // lag has to win by the margin, and only over a first lag that is a poor match.
  if (best_tau != 0 && best_tau < 161) {
    const std::size_t lo = 2 * best_tau - 2;
    const std::size_t hi = std::min<std::size_t>(2 * best_tau, 318) + 2;
    std::size_t cand = 0;
    float cand_value = 0.0f;
    for (std::size_t lag = lo; lag <= hi && lag <= kMaxLag; ++lag) {
      const float v = norm[lag];
      if (cand == 0 || v < cand_value || (v == cand_value && lag == 2 * best_tau)) {
        cand = lag;
        cand_value = v;
      }
    }
    if (cand != 0 && cand_value < 0.22f && 1.35f * cand_value <= best && best >= 0.03f) {
      best_tau = cand;
      best = cand_value;
    }
  }
  if (best_tau == 0 || best >= 0.22f) return {};

  // Refinement on the full-rate frame around twice the decimated lag.
  const std::size_t t0 = std::clamp<std::size_t>(2 * best_tau, 2 * kMinLag, 640);
  const std::size_t first = t0 - 2;
  const std::size_t last = std::min<std::size_t>(t0, 638) + 2;
  const float scale = total > 1e-9f ? static_cast<float>(t0) / (4.0f * total) : 0.0f;
  std::array<float, 8> err{};
  detector_squared_differences(build, kRefineWindow, frame.data(), frame.data() + first, last - first + 1,
                               err.data());
  std::size_t tb = first;
  for (std::size_t t = first; t <= last; ++t) {
    err[t - first] *= scale;
    if (err[t - first] < err[tb - first]) tb = t;
  }
  float period = static_cast<float>(tb);
  if (tb > first && tb < last) {
    const float y0 = err[tb - 1 - first], y1 = err[tb - first], y2 = err[tb + 1 - first];
    const float denom = y0 - 2.0f * y1 + y2;
    float delta = std::fabs(denom) > 0.000001f ? 0.5f * (y0 - y2) / denom : 0.0f;
    delta = clamp_f(delta, -0.5f, 0.5f);
    period = max_f(static_cast<float>(tb) + delta, 1.0f);
  }
  const float f = 48000.0f / period;
  if (!(f > kVoicedHz)) return {};
  return {true, f};
}

void pitch_correction_prepare(PitchState& ps, const FxModes& m) noexcept MELODARA_NONBLOCKING {
  // The first word found wins.
  ps.effect = m.chipmunk  ? VoiceEffect::chipmunk
              : m.monster ? VoiceEffect::monster
              : m.riser   ? VoiceEffect::riser
                          : VoiceEffect::none;
}

namespace {

void run_analysis(PitchState& ps, const DspParams& p, std::uint64_t root, bool minor,
                  std::uint64_t onset_hold) MELODARA_NONBLOCKING {
  // Unroll the ring, oldest sample first.
  const auto split = ps.analysis_ring.begin() + static_cast<std::ptrdiff_t>(ps.ring_write);
  const auto rest = std::copy(split, ps.analysis_ring.end(), ps.frame.begin());
  std::copy(ps.analysis_ring.begin(), split, rest);
  const PitchEstimate est = analyse_pitch_frame(ps.frame);

  const float previous = ps.detected_hz;
  float f = 0.0f;
  if (est.voiced) {
    ps.unvoiced_hops = 0;
    f = est.hz;
    ps.median_slots[ps.median_index] = f;
    ps.median_index = (ps.median_index + 1) % 3;
    const float a = ps.median_slots[0], b = ps.median_slots[1], c = ps.median_slots[2];
    const float median = std::max(std::min(a, b), std::min(std::max(a, b), c));
    if (median > kVoicedHz) f = median;
  } else {
    if (ps.unvoiced_hops < UINT64_MAX) ps.unvoiced_hops += 1;
    if (ps.unvoiced_hops < 9 && ps.voiced_run >= 1441 && previous > kVoicedHz) {
      f = previous;  // a short gap keeps the note
    } else {
      ps.median_slots = {0.0f, 0.0f, 0.0f};
      ps.jitter = 0.0f;
      ps.detected_hz = 0.0f;
      ps.corrected_hz = 0.0f;
      ps.smoothed_hz = 0.0f;
      ps.held_note = 0.0f;
      return;
    }
  }

  ps.jitter = (f > kVoicedHz && previous > kVoicedHz)
                  ? 0.5f * ps.jitter + 0.5f * std::fabs(1200.0f * std::log2(f / previous))
                  : 0.0f;
  ps.detected_hz = f;

  if (ps.smoothed_hz > kVoicedHz && std::fabs(f / ps.smoothed_hz - 1.0f) <= 0.044f) {
    ps.smoothed_hz += 0.18f * (f - ps.smoothed_hz);
  } else {
    ps.smoothed_hz = f;
  }

  const float reference =
      (p.pitch_432hz_mode ? 432.0f : 440.0f) * std::exp2(clamp_f(p.beat_fine_cents, -50.0f, 50.0f) / 1200.0f);
  ps.reference_hz = reference;
  const float nt =
      semitones(snap_to_scale(root, minor, p.scale_chromatic, ps.smoothed_hz, reference), reference);

  if (ps.held_note > 10.0f) {
    const float ns = semitones(ps.smoothed_hz, reference);
    const float ds = std::fabs(ns - ps.held_note);
    const float dt = std::fabs(nt - ps.held_note);
    if ((dt >= 0.95f && ds > 0.64f) || ds > 0.68f) {
      ps.held_note = nt;
      if (dt >= 0.5f && ps.voiced_run > onset_hold) ps.voiced_run = onset_hold + 240;
    }
  } else if (ps.voiced_run >= kPitchFrame) {
    // The first note of a phrase is taken from a frame that holds voice only: the
    // first frames still reach back into the silence before the onset and can
    // read the pitch 10 cents off, enough to lock onto the neighbouring note.
    ps.held_note = nt;
  }
  ps.corrected_hz = ps.held_note > 10.0f ? note_hz(ps.held_note, reference) : 0.0f;
}

}  // namespace

float pitch_correction_sample(PitchState& ps, PitchShifter& shifter, const DspParams& p,
                              float gated) noexcept MELODARA_NONBLOCKING {
  // Detector input: DC blocker and two one-pole low-passes.
  const float h = gated - ps.dc_in + 0.9889f * ps.dc_out;
  ps.dc_in = gated;
  ps.dc_out = h;
  ps.lp1 += 0.068f * (h - ps.lp1);
  ps.lp2 += 0.068f * (ps.lp1 - ps.lp2);
  ps.analysis_ring[ps.ring_write] = ps.lp2;
  if (++ps.ring_write == ps.analysis_ring.size()) ps.ring_write = 0;
  ps.hop_counter += 1;

  // A change of key starts the note search afresh.
  const std::uint64_t root = static_cast<std::uint64_t>(
      ((static_cast<std::int64_t>(p.root_key % 12u) + p.beat_semitone_shift % 12) % 12 + 12) % 12);
  if (root != ps.last_key || p.scale_is_minor != ps.last_minor) {
    ps.last_key = root;
    ps.last_minor = p.scale_is_minor;
    ps.smoothed_hz = 0.0f;
    ps.held_note = 0.0f;
  }
  const bool expressive = p.flex_tune_pct >= 0.5f || p.dan_ca_mode;
  const std::uint64_t onset_hold = expressive ? 2640 : 2160;

  if (ps.hop_counter > 95) {
    ps.hop_counter = 0;
    run_analysis(ps, p, root, p.scale_is_minor, onset_hold);
  }

  // Correction ratio.
  if (ps.detected_hz > kVoicedHz) {
    ps.voiced_run += 1;
  } else {
    ps.voiced_run = 0;
  }
  float target = 1.0f;
  if (ps.detected_hz > kVoicedHz && p.autotune_enabled && !p.pk_mode_ducking && ps.corrected_hz > kVoicedHz &&
      ps.voiced_run >= onset_hold) {
    const float lo = expressive ? 0.974f : 0.967f;
    const float hi = expressive ? 1.027f : 1.034f;
    const float base =
        ps.smoothed_hz > kVoicedHz ? 0.65f * ps.smoothed_hz + 0.35f * ps.detected_hz : ps.detected_hz;
    const float r_raw = clamp_f(ps.corrected_hz / ps.detected_hz, lo, hi);
    const float q = clamp_f(ps.corrected_hz / base, lo, hi);
    if (q != ps.correction_ratio) {
      ps.correction_ratio = q;
      ps.correction_cents = std::fabs(1200.0f * std::log2(q));
    }
    const float c = ps.correction_cents;
    const float z = expressive ? max_f(max_f(p.flex_tune_pct, 0.55f) * 44.0f, 24.0f)
                               : max_f(max_f(p.flex_tune_pct, 0.0f) * 38.0f, 18.0f);
    const float j = ps.jitter <= 5.0f ? 1.0f : clamp_f(1.0f - (ps.jitter - 5.0f) / 11.0f, 0.02f, 1.0f);
    const float cap = expressive ? 0.62f : 0.78f;
    const float k = j * min_f(cap, max_f(0.28f, 0.3f + 0.48f * clamp_f(p.retune_speed, 0.0f, 1.0f)));
    float amount = 0.0f;
    if (c <= 0.65f * z) {
      amount = 0.0f;
    } else if (c <= z) {
      const float u = (c - 0.65f * z) / max_f(0.35f * z, 1.0f);
      amount = k * 0.32f * u * u;
    } else {
      amount = k * (0.32f + 0.68f * clamp_f((c - z) / 36.0f, 0.0f, 1.0f));
    }
    target = 1.0f + (r_raw - 1.0f) * amount;
  }
  const float speed = clamp_f(p.retune_speed, 0.0f, 1.0f);
  float glide = expressive ? speed * 0.0028f + 0.0004f : speed * 0.0065f + 0.00065f;
  if (ps.voiced_run >= 2161)
    glide *= clamp_f(1.0f - 0.72f * clamp_f(p.humanize_pct, 0.0f, 1.0f), 0.18f, 1.0f);
  ps.applied_ratio += glide * (target - ps.applied_ratio);

  float ratio = ps.applied_ratio;
  ps.tremolo = 1.0f;
  if (p.autotune_enabled && p.ngan_giong_vibrato && p.reverb_enabled && !p.pk_mode_ducking &&
      ps.jitter < 4.5f && ps.voiced_run > 24000) {
    // Vibrato fades in over half a second once a note has been held for half a second.
    const std::uint64_t since = ps.voiced_run - 24000;
    const float u = static_cast<float>(std::min<std::uint64_t>(since, 24000));
    // 0.73 Hz repeats exactly every 100 s: wrap there so the float stays precise.
    const float um = static_cast<float>(since % 4800000u);
    const float rate = clamp_f(p.vibrato_rate_hz, 3.0f, 8.5f) *
                       (1.0f + 0.08f * std::sin(2.0f * std::numbers::pi_v<float> * 0.73f * um / 48000.0f));
    ps.vibrato_phase += rate / 48000.0f;
    ps.vibrato_phase -= std::floor(ps.vibrato_phase);
    const float w = min_f(u / 24000.0f, 1.0f);
    const float fade = w * w * (3.0f - 2.0f * w);
    const float wave = std::sin(2.0f * std::numbers::pi_v<float> * ps.vibrato_phase) * fade;
    ratio *= 1.0f + 0.55f * clamp_f(p.vibrato_depth_cents, 0.0f, 100.0f) / 1200.0f * wave;
    ps.tremolo = 1.0f + 0.05f * wave;
  }

  switch (ps.effect) {
    case VoiceEffect::chipmunk: ratio *= 2.0f; break;
    case VoiceEffect::monster: ratio *= 0.5f; break;
    case VoiceEffect::riser: {
      const float v =
          min_f(static_cast<float>(std::min<std::uint64_t>(ps.voiced_run, 60000)) / 60000.0f, 1.0f);
      ratio *= 1.0f + 0.5f * v * v;
      break;
    }
    case VoiceEffect::none: break;
  }

  return pitch_shift_sample(shifter, gated, ratio, ps.detected_hz) * ps.tremolo;
}

}  // namespace melodara
