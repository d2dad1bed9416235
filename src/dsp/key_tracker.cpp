#include "dsp/key_tracker.h"

#include <algorithm>
#include <cmath>

#include "core/counters.h"
#include "dsp/dsp_math.h"
#include "dsp/key_match.h"
#include "dsp/onset_tempo.h"

namespace melodara {
namespace {

constexpr std::size_t kDecimation = 12;      // 48 kHz to 4 kHz
constexpr std::size_t kFrame = 800;          // 0.2 s at 4 kHz
constexpr std::size_t kAnalysisEvery = 400;  // decimated samples: 100 ms
constexpr std::size_t kEnergyBlock = 40;     // decimated samples: 10 ms
constexpr std::size_t kOnsetRing = 400;      // 4 s of onsets
constexpr std::size_t kTempoOnsets = 300;    // 3 s before a first estimate
constexpr float kAudibleMeanSquare = 0.00001f;

// Set before main: the block never runs an initialiser.
const std::array<double, kFrame> kFrameWindow = [] {
  std::array<double, kFrame> w{};
  hann_window(w);
  return w;
}();

std::size_t up(std::size_t key, std::size_t semitones) { return (key + semitones) % 12; }

void accumulate_sample(LiveKeyTracker& t, float x) {
  t.fast_lp += 0.105f * (x - t.fast_lp);
  t.slow_lp += 0.023f * (x - t.slow_lp);
  if (++t.decim_phase < kDecimation) return;
  t.decim_phase = 0;
  t.decimated[t.decimated_pos] = t.fast_lp;
  t.decimated_pos = (t.decimated_pos + 1) % kFrame;
  ++t.since_analysis;
  t.energy_slow += t.slow_lp * t.slow_lp;
  t.energy_fast += t.fast_lp * t.fast_lp;
  if (++t.energy_blocks < kEnergyBlock) return;
  const float slow = std::sqrt(t.energy_slow / float(kEnergyBlock));
  const float fast = std::sqrt(t.energy_fast / float(kEnergyBlock));
  t.onsets[t.onset_pos] = onset_strength(t.rms_slow, slow, t.rms_fast, fast);
  t.onset_pos = (t.onset_pos + 1) % kOnsetRing;
  t.onset_count = std::min(t.onset_count + 1, kOnsetRing);
  t.rms_slow = slow;
  t.rms_fast = fast;
  t.energy_slow = t.energy_fast = 0.0f;
  t.energy_blocks = 0;
}

// The last 0.2 s, oldest first, through the Hann window and the 42 filters,
// decayed into both chromas.
void add_frame_chroma(LiveKeyTracker& t) {
  GoertzelBank bank;
  const std::span<const float> ring(t.decimated);
  const std::size_t older = kFrame - t.decimated_pos;
  goertzel_feed(bank, ring.subspan(t.decimated_pos), std::span(kFrameWindow).first(older), t.goertzel_coeff);
  goertzel_feed(bank, ring.first(t.decimated_pos), std::span(kFrameWindow).subspan(older), t.goertzel_coeff);
  Chroma frame{};
  add_chroma_frame(goertzel_magnitudes(bank, t.goertzel_coeff), frame);
  for (std::size_t i = 0; i < frame.size(); ++i) {
    t.chroma_long[i] = t.chroma_long[i] * 0.992 + frame[i];
    t.chroma_short[i] = t.chroma_short[i] * 0.905 + frame[i];
  }
}

KeyMatch match_chroma(const Chroma& c) {
  return match_key(std::span(c).first<12>(), std::span(c).last<12>());
}

void lock_onto(LiveKeyTracker& t, std::size_t key, bool minor) {
  t.locked_key = t.display_key = key;
  t.locked_minor = minor;
}

void search_key(LiveKeyTracker& t) {
  const KeyMatch m = match_chroma(t.chroma_long);
  std::size_t key = m.key;
  bool minor = m.minor;
  if (key == t.current_key && minor == t.current_minor) {
    bump(t.stable_count);
  } else if (m.score > 1.03 * m.runner_up) {
    t.current_key = key;
    t.current_minor = minor;
    t.stable_count = 1;
  } else {
    key = t.current_key;
    minor = t.current_minor;
  }

  if (t.state == 0) {
    if (t.stable_count >= 5) lock_onto(t, key, minor);
    if (t.stable_count >= 8) {
      t.state = 1;
      t.settle_count = 0;
    }
  } else if (t.state == 1) {
    // A relative key shares every note with the locked one: not a move.
    const bool relative = (t.locked_minor && !minor && key == up(t.locked_key, 3)) ||
                          (!t.locked_minor && minor && key == up(t.locked_key, 9));
    if (relative) return;
    const bool fifth = key == up(t.locked_key, 7);
    if (t.stable_count >= (fifth ? 45u : 14u) && m.score > (fifth ? 1.12 : 1.04) * m.runner_up)
      lock_onto(t, key, minor);
  }
}

// Beat period from the autocorrelation of the onsets at 10 ms lags 21..145
// (41 to 286 BPM), favouring a lag whose half and double agree.
void estimate_tempo(LiveKeyTracker& t) {
  const std::size_t n = std::min(t.onset_count, kOnsetRing);
  // Oldest first: the ring starts at onset_pos once it is full.
  const std::size_t start = (t.onset_pos + kOnsetRing - n) % kOnsetRing;
  const std::span<double> centered = std::span(t.onset_scratch).first(n);
  for (std::size_t i = 0; i < n; ++i) centered[i] = static_cast<double>(t.onsets[(start + i) % kOnsetRing]);
  center_onsets(centered);
  std::array<double, 146> r{};
  add_onset_autocorrelation(centered, 21, 145, 40, r);

  const auto score = [&r](std::size_t j) {
    return r[j] + 0.35 * r[j / 2] + (j <= 72 ? 0.52 * r[2 * j] : 0.0);
  };
  const auto [found, best_score] = best_beat_lag(42, 98, score);
  std::size_t best = found;
  if (best > 44 && best < 74) {
    const std::size_t slower = (4 * best + 1) / 3;
    if (score(slower) >= 0.72 * best_score) best = slower;
  }
  if (!(best_score > 0.000001)) return;
  const float estimate = clamp_f(6000.0f / float(best), 60.0f, 142.0f);
  // A tempo set from outside since the last update restarts the smoothing there.
  if (t.bpm != std::round(t.bpm_smooth)) t.bpm_smooth = t.bpm;
  t.bpm_smooth = 0.25f * estimate + 0.75f * t.bpm_smooth;
  t.bpm = std::round(t.bpm_smooth);
}

void watch_key_change(LiveKeyTracker& t) {
  const KeyMatch m = match_chroma(t.chroma_short);
  const std::size_t rise = (m.key + 12 - t.locked_key) % 12;
  if (rise >= 1 && rise <= 3 && m.score > 1.08 * m.runner_up && m.minor == t.locked_minor) {
    if (m.key == t.candidate_key && m.minor == t.candidate_minor) {
      if (++t.change_count > 15) {
        lock_onto(t, m.key, m.minor);
        t.current_key = m.key;
        t.current_minor = m.minor;
        t.stable_count = 16;
        t.state = 3;
      }
    } else {
      t.candidate_key = m.key;
      t.candidate_minor = m.minor;
      t.change_count = 1;
    }
  } else if (t.change_count > 0) {
    --t.change_count;
  }
}

void analyse(LiveKeyTracker& t) {
  t.since_analysis = 0;
  add_frame_chroma(t);
  if (t.state != 0) {
    bump(t.settle_count);
    if (t.state == 1 && t.settle_count > 179) t.state = 2;
  }
  if (!t.key_given) {
    search_key(t);
    if (t.onset_count >= kTempoOnsets && (t.stable_count & 3u) == 0) estimate_tempo(t);
  }
  if (t.state == 2) watch_key_change(t);
}

}  // namespace

LiveKeyTracker live_key_tracker_new() {
  LiveKeyTracker t;
  t.decimated.assign(kFrame, 0.0f);
  t.onsets.assign(kOnsetRing, 0.0f);
  t.goertzel_coeff = chroma_bin_coefficients(4000.0);
  return t;
}

LiveKey track_live_key(LiveKeyTracker& t, std::span<const float> music_left) noexcept MELODARA_NONBLOCKING {
  float sum_squares = 0.0f;
  for (const float sample : music_left) {
    // A non-finite sample would stay in the smoothers for good.
    const float x = finite_or_zero(sample);
    accumulate_sample(t, x);
    sum_squares += x * x;
  }
  if (!music_left.empty() && sum_squares / float(music_left.size()) > kAudibleMeanSquare &&
      t.since_analysis >= kAnalysisEvery)
    analyse(t);
  return {key_label_inline(t.display_key, t.locked_minor), t.bpm};
}

void seed_live_key_tracker(LiveKeyTracker& t, std::size_t key, bool minor,
                           float bpm) noexcept MELODARA_NONBLOCKING {
  const std::size_t k = std::min<std::size_t>(key, 11);
  t.current_key = t.candidate_key = t.locked_key = t.display_key = k;
  t.current_minor = t.candidate_minor = t.locked_minor = minor;
  t.key_given = true;
  t.state = 1;
  t.stable_count = 12;
  t.settle_count = 0;
  t.change_count = 0;
  t.bpm = t.bpm_smooth = max_f(bpm, 40.0f);
}

}  // namespace melodara
