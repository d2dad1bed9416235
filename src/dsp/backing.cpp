#include "dsp/backing.h"

#include <cmath>

#include "dsp/vocal_dsp.h"

namespace melodara {

void backing_prepare(VocalDsp&) {}

BackingOut backing_sample(VocalDsp& dsp, float music_left, float music_right) {
  BackingState& s = dsp.backing;
  const float mid = 0.5f * (music_left + music_right);
  const float side = 0.5f * (music_left - music_right);
  const float m = 0.5f * (std::fabs(music_left) + std::fabs(music_right));
  if (m > s.track_level) {
    s.track_level = 0.9988f * s.track_level + 0.0012f * m;
  } else {
    s.track_level = 0.99988f * s.track_level + 0.00012f * m;
  }
  const float gain = dsp.params.beat_volume;
  return BackingOut{{(mid + side) * gain, (mid - side) * gain}, s.track_level * gain, mid, side};
}

Sends sends_sample(VocalDsp&, StereoSample, StereoSample) { return Sends{}; }

}  // namespace melodara
