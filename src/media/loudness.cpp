#include "media/loudness.h"

#include <cmath>
#include <cstddef>

namespace melodara {

float loudness_soft_clip(float x) {
  const float a = std::fabs(x);
  if (!(a > 0.82f)) return x;                         // also keeps NaN
  if (std::isinf(a)) return std::copysign(0.94f, x);  // the curve's limit, not inf/inf
  const float h = a - 0.82f;
  return std::copysign(0.82f + h / (h + 0.12f) * 0.12f, x);
}

void normalize_loudness(std::span<float> samples) {
  if (samples.size() < 2) return;
  const std::size_t frames = samples.size() / 2;
  double sum = 0.0;
  std::size_t counted = 0;
  float peak = 0.0f;
  for (std::size_t i = 0; i < frames; ++i) {
    const float l = samples[2 * i];
    const float r = samples[2 * i + 1];
    const auto dl = static_cast<double>(l), dr = static_cast<double>(r);
    const double e = 0.5 * (dl * dl + dr * dr);
    if (e > 0.0001) {
      sum += e;
      ++counted;
    }
    peak = std::fmax(peak, std::fmax(std::fabs(l), std::fabs(r)));
  }
  if (peak <= 0.00001f) return;
  const float rms = counted > 0 ? static_cast<float>(std::sqrt(sum / static_cast<double>(counted))) : 0.0f;
  float gain = 1.0f;
  if (rms > 0.135f) {
    gain = std::fmin(0.135f / rms, 1.0f);
  } else if (rms > 0.01f && rms < 0.098f) {
    gain = std::fmin(0.115f / rms, 1.65f);
  }
  if (std::fabs(gain - 1.0f) <= 0.005f) return;
  for (float& s : samples) s = loudness_soft_clip(s * gain);
}

}  // namespace melodara
