#include "dsp/chroma.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace melodara {

ChromaBins chroma_bin_coefficients(double sample_rate) {
  ChromaBins c{};
  for (std::size_t k = 0; k < kChromaBins; ++k) {
    const double f = 440.0 * std::pow(2.0, (static_cast<double>(k) - 33.0) / 12.0);
    c[k] = 2.0 * std::cos(2.0 * std::numbers::pi * f / sample_rate);
  }
  return c;
}

void hann_window(std::span<double> out) {
  const double n = static_cast<double>(out.size());
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = 0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / n));
}

void goertzel_feed(GoertzelBank& bank, std::span<const float> x, std::span<const double> window,
                   const ChromaBins& coeff) noexcept MELODARA_NONBLOCKING {
  // The bins are independent: the inner loop runs across them so the
  // compiler can keep several in flight per sample.
  ChromaBins s1 = bank.s1, s2 = bank.s2;
  const std::size_t n = std::min(x.size(), window.size());
  for (std::size_t i = 0; i < n; ++i) {
    const double v = window[i] * static_cast<double>(x[i]);
    for (std::size_t k = 0; k < kChromaBins; ++k) {
      const double s = coeff[k] * s1[k] - s2[k] + v;
      s2[k] = s1[k];
      s1[k] = s;
    }
  }
  bank.s1 = s1;
  bank.s2 = s2;
}

ChromaBins goertzel_magnitudes(const GoertzelBank& bank,
                               const ChromaBins& coeff) noexcept MELODARA_NONBLOCKING {
  ChromaBins m{};
  for (std::size_t k = 0; k < kChromaBins; ++k) {
    const double s1 = bank.s1[k], s2 = bank.s2[k];
    m[k] = std::sqrt(std::max(s1 * s1 + s2 * s2 - coeff[k] * s1 * s2, 0.0));
  }
  return m;
}

void add_chroma_frame(const ChromaBins& m, Chroma& chroma) noexcept MELODARA_NONBLOCKING {
  ChromaBins e{};
  for (std::size_t k = 0; k < kChromaBins; ++k) {
    double sum = 0.0;
    double count = 0.0;
    for (std::size_t j = k < 2 ? 0 : k - 2; j <= std::min(k + 2, kChromaBins - 1); ++j) {
      if (j == k) continue;
      sum += m[j];
      count += 1.0;
    }
    e[k] = std::max(m[k] - 0.72 * (sum / count), 0.0);
  }
  for (std::size_t k = 0; k < 4; ++k) chroma[k] += 0.35 * e[k];
  for (std::size_t k = 4; k < kChromaBins; ++k) {
    double v = e[k];
    if (k > 11) v -= 0.3 * e[k - 12];
    if (k > 18) v -= 0.24 * e[k - 19];
    v = std::max(v, 0.0);
    chroma[k % 12] += (k < 18 ? 1.35 : 1.0) * v;
    if (k < 18) chroma[12 + k % 12] += 1.65 * v;
  }
}

}  // namespace melodara
