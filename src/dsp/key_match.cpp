#include "dsp/key_match.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace melodara {
namespace {

using Vec12 = std::array<double, 12>;

// Krumhansl and Kessler's probe-tone ratings, tonic first.
constexpr Vec12 kMajorRatings = {6.35, 2.23, 3.48, 2.33, 4.38, 4.09, 2.52, 5.19, 2.39, 3.66, 2.29, 2.88};
constexpr Vec12 kMinorRatings = {6.33, 2.68, 3.52, 5.38, 2.60, 3.53, 2.54, 4.75, 3.98, 2.69, 3.34, 3.17};

constexpr std::size_t kMajorDegrees[7] = {0, 2, 4, 5, 7, 9, 11};
constexpr std::size_t kMinorDegrees[7] = {0, 2, 3, 5, 7, 8, 10};

double norm_of(std::span<const double, 12> v) {
  double sum = 0.0;
  for (const double x : v) sum += x * x;
  return std::sqrt(sum);
}

Vec12 unit(std::span<const double, 12> v) {
  const double n = std::max(norm_of(v), 1e-9);
  Vec12 out{};
  for (std::size_t i = 0; i < 12; ++i) out[i] = v[i] / n;
  return out;
}

// Set before main: the block never runs an initialiser.
const Vec12 kMajorProfile = unit(kMajorRatings);
const Vec12 kMinorProfile = unit(kMinorRatings);

struct Mode {
  const Vec12& profile;
  const std::size_t (&degrees)[7];
  std::size_t third;
  bool minor;
};

double score_key(const Vec12& c, const Vec12& l, double total, std::size_t k, const Mode& mode) {
  const auto at = [k](const Vec12& v, std::size_t offset) { return v[(k + offset) % 12]; };
  double in_scale = 0.0;
  for (const std::size_t d : mode.degrees) in_scale += at(c, d);
  // A minor key may borrow its leading tone (harmonic minor).
  const double outside = mode.minor ? std::max(total - in_scale - 0.55 * at(c, 11), 0.0) : total - in_scale;
  const double fit = (1.65 * in_scale - 2.1 * outside) / total;
  double correlation = 0.0;
  for (std::size_t i = 0; i < 12; ++i) correlation += at(c, i) * mode.profile[i];
  return 2.4 * fit + 3.2 * correlation + 0.48 * at(c, 0) + 0.34 * at(c, mode.third) + 0.24 * at(c, 7) +
         0.1 * at(l, mode.third) + 0.62 * at(l, 0) + 0.24 * at(l, 7) + 0.42 * std::sqrt(at(l, 0) * at(l, 7));
}

// The two best minor tonics, lower tonic first on a tie.
std::array<std::size_t, 2> two_best(const Vec12& scores) {
  std::size_t first = 0;
  for (std::size_t k = 1; k < 12; ++k)
    if (scores[k] > scores[first]) first = k;
  std::size_t second = first == 0 ? 1 : 0;
  for (std::size_t k = 0; k < 12; ++k)
    if (k != first && scores[k] > scores[second]) second = k;
  return {first, second};
}

// Of two minor keys a fifth apart, the lower one is favoured when its minor
// sixth outweighs its major sixth (the upper key's second) and its tonic
// stands clear in the bass.
void settle_minor_fifth_pair(const Vec12& c, const Vec12& l, Vec12& minor_scores) {
  const auto [a, b] = two_best(minor_scores);
  std::size_t t;
  if (b == (a + 7) % 12)
    t = a;
  else if (a == (b + 7) % 12)
    t = b;
  else
    return;
  const auto at = [t](const Vec12& v, std::size_t offset) { return v[(t + offset) % 12]; };
  const double sixths = at(c, 8) - at(c, 9);
  if (sixths > 0.04 && at(l, 0) > 0.35 && 1.25 * at(l, 2) <= at(l, 0)) {
    const double bonus = 0.65 * sixths + 0.28 * std::clamp(at(l, 0) - 0.45 * at(l, 2), 0.0, 1.0);
    minor_scores[t] += bonus;
    minor_scores[(t + 7) % 12] -= 0.5 * bonus;
  }
}

// A minor key and its relative major share their notes: the one whose tonic
// and third weigh clearly more wins a small bonus.
void settle_relative_keys(const Vec12& c, const Vec12& l, Vec12& major_scores, Vec12& minor_scores) {
  for (std::size_t m = 0; m < 12; ++m) {
    const std::size_t r = (m + 3) % 12;
    const double for_major = 1.25 * l[r] + 0.85 * c[(r + 4) % 12] + 1.15 * c[r];
    const double for_minor = 1.25 * l[m] + 0.85 * c[(m + 3) % 12] + 1.15 * c[m];
    if (for_major > 1.08 * for_minor)
      major_scores[r] += 0.22;
    else if (for_minor > 1.08 * for_major)
      minor_scores[m] += 0.22;
  }
}

}  // namespace

KeyMatch match_key(std::span<const double, 12> chroma,
                   std::span<const double, 12> bass) noexcept MELODARA_NONBLOCKING {
  const double chroma_norm = norm_of(chroma);
  if (!(chroma_norm > 0.0) || !std::isfinite(chroma_norm) || !std::isfinite(norm_of(bass))) return KeyMatch{};
  const Vec12 c = unit(chroma);
  const Vec12 l = unit(bass);
  double total = 0.0;
  for (const double x : c) total += x;
  total = std::max(total, 1e-9);

  const Mode major{kMajorProfile, kMajorDegrees, 4, false};
  const Mode minor{kMinorProfile, kMinorDegrees, 3, true};
  Vec12 major_scores{}, minor_scores{};
  for (std::size_t k = 0; k < 12; ++k) {
    major_scores[k] = score_key(c, l, total, k, major);
    minor_scores[k] = score_key(c, l, total, k, minor);
  }
  settle_minor_fifth_pair(c, l, minor_scores);
  settle_relative_keys(c, l, major_scores, minor_scores);

  KeyMatch best{0, false, -1e300, -1e300};
  for (std::size_t k = 0; k < 12; ++k) {
    for (const bool is_minor : {false, true}) {
      const double s = is_minor ? minor_scores[k] : major_scores[k];
      if (!(s > -1e9)) continue;
      if (s > best.score) {
        best.runner_up = best.score;
        best = {k, is_minor, s, best.runner_up};
      } else if (s > best.runner_up) {
        best.runner_up = s;
      }
    }
  }
  return best.score > -1e9 ? best : KeyMatch{};
}

}  // namespace melodara
