#include "dsp/key_tracker.h"

#include <cmath>
#include <numbers>

namespace melodara {

LiveKeyTracker live_key_tracker_new() {
  LiveKeyTracker t;
  t.decimated.assign(800, 0.0f);
  t.onsets.assign(400, 0.0f);
  for (std::size_t k = 0; k < t.goertzel_coeff.size(); ++k) {
    const double f = 440.0 * std::pow(2.0, (static_cast<double>(k) - 33.0) / 12.0);
    t.goertzel_coeff[k] = 2.0 * std::cos(2.0 * std::numbers::pi * f / 4000.0);
  }
  return t;
}

void track_live_key(LiveKeyTracker&, std::span<const float>) {}

}  // namespace melodara
