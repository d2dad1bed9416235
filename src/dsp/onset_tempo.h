// Tempo from an onset envelope (one onset strength every 10 ms): the
// strength of a step, and the autocorrelation whose peaks give the beat
// period. Shared by the live tracker and the offline analysis.
#pragma once

#include <cstddef>
#include <span>

#include "core/realtime.h"

namespace melodara {

// One 10 ms step's onset: how much the RMS of the low band and of the broad
// band rose since the step before (falls count as nothing).
// Thread: any. Allocates: no. Blocks: no.
inline float onset_strength(float low_before, float low_now, float broad_before, float broad_now) noexcept {
  const float low_rise = low_now - low_before;
  const float broad_rise = broad_now - broad_before;
  return 1.65f * (low_rise > 0.0f ? low_rise : 0.0f) + 0.85f * (broad_rise > 0.0f ? broad_rise : 0.0f);
}

// Takes the onsets' mean away from each of them.
// Thread: any. Allocates: no. Blocks: no.
void center_onsets(std::span<double> onsets) noexcept MELODARA_NONBLOCKING;

// Adds r(L) = Σ c_i·c_(i+L) / (n − L) over the n − L pairs of the centred
// onsets c into r[L], for L = first_lag..last_lag (within r) with at least
// `min_pairs` pairs; other lags are left alone.
// Thread: any. Allocates: no. Blocks: no.
void add_onset_autocorrelation(std::span<const double> centered, std::size_t first_lag, std::size_t last_lag,
                               std::size_t min_pairs, std::span<double> r) noexcept MELODARA_NONBLOCKING;

// The first lag of first..last with the highest score (a later lag must
// score strictly higher), and that score.
// Thread: any. Allocates: no. Blocks: no.
struct BeatLag {
  std::size_t lag;
  double score;
};
template <typename Score>
BeatLag best_beat_lag(std::size_t first, std::size_t last, Score score) noexcept {
  BeatLag best{first, score(first)};
  for (std::size_t j = first + 1; j <= last; ++j) {
    const double s = score(j);
    if (s > best.score) best = {j, s};
  }
  return best;
}

}  // namespace melodara
