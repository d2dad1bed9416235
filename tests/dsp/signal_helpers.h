// Test signals and measurements for the vocal chain tests.
#pragma once

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <span>
#include <vector>

namespace melodara::test {

inline std::vector<float> sine(double freq_hz, double amplitude, std::size_t n, double rate = 48000.0,
                               double phase0 = 0.0) {
  std::vector<float> out(n);
  for (std::size_t i = 0; i < n; ++i)
    out[i] = static_cast<float>(
        amplitude * std::sin(phase0 + 2.0 * std::numbers::pi * freq_hz * static_cast<double>(i) / rate));
  return out;
}

// Values no control sends: NaN, the infinities and the largest floats.
inline constexpr float kHostileValues[] = {std::numeric_limits<float>::quiet_NaN(),
                                           std::numeric_limits<float>::infinity(),
                                           -std::numeric_limits<float>::infinity(), 3e38f, -3e38f};

// Uniform noise within +-0.5.
inline std::vector<float> noise(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-0.5f, 0.5f);
  std::vector<float> x(n);
  for (float& v : x) v = u(rng);
  return x;
}

// A sung-like tone: the fundamental and harmonics 2..count at amplitude 1/k.
inline std::vector<float> harmonics(double freq_hz, double amplitude, int count, std::size_t n,
                                    double rate = 48000.0) {
  std::vector<float> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double ph = 2.0 * std::numbers::pi * freq_hz * static_cast<double>(i) / rate;
    double v = 0.0;
    for (int k = 1; k <= count; ++k) v += std::sin(k * ph) / k;
    out[i] = static_cast<float>(amplitude * v);
  }
  return out;
}

inline std::vector<float> silence(std::size_t n) { return std::vector<float>(n, 0.0f); }

// Joins signals end to end.
inline std::vector<float> join(std::initializer_list<std::vector<float>> parts) {
  std::vector<float> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline double rms(std::span<const float> x) {
  double s = 0.0;
  for (const float v : x) s += static_cast<double>(v) * static_cast<double>(v);
  return x.empty() ? 0.0 : std::sqrt(s / static_cast<double>(x.size()));
}

inline double peak_abs(std::span<const float> x) {
  double p = 0.0;
  for (float v : x) p = std::fmax(p, std::fabs(double(v)));
  return p;
}

// Hann-windowed spectrum magnitude at one frequency (Goertzel).
inline double spectrum_at(std::span<const float> x, double freq_hz, double rate = 48000.0) {
  const double n = static_cast<double>(x.size());
  const double w = 2.0 * std::numbers::pi * freq_hz / rate;
  const double c = 2.0 * std::cos(w);
  // The window is itself a recursive cosine: cos(k dw) by the same recurrence.
  const double dw = 2.0 * std::numbers::pi / (n - 1);
  const double cw = 2.0 * std::cos(dw);
  double win1 = 1.0, win2 = std::cos(dw);  // cos(0), cos(-dw) = cos(dw)
  double s1 = 0.0, s2 = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double cosk = i == 0 ? 1.0 : cw * win1 - win2;
    if (i > 0) win2 = win1, win1 = cosk;
    const double s0 = (0.5 - 0.5 * cosk) * static_cast<double>(x[i]) + c * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double re = s1 - s2 * std::cos(w);
  const double im = s2 * std::sin(w);
  return std::hypot(re, im);
}

// Frequency of the strongest component in [lo, hi]: a scan at the bin spacing,
// then a fine scan around the best bin.
inline double dominant_frequency(std::span<const float> x, double lo, double hi, double rate = 48000.0) {
  double best_f = lo, best = -1.0;
  const double coarse = rate / static_cast<double>(x.size());
  for (double f = lo; f <= hi; f += coarse) {
    const double m = spectrum_at(x, f, rate);
    if (m > best) best = m, best_f = f;
  }
  const double centre = best_f;
  for (double f = centre - coarse; f <= centre + coarse; f += coarse / 50.0) {
    const double m = spectrum_at(x, f, rate);
    if (m > best) best = m, best_f = f;
  }
  return best_f;
}

inline double cents(double f, double ref) { return 1200.0 * std::log2(f / ref); }

// The same float to the bit (a NaN equals the same NaN; +0 and -0 differ).
inline bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace melodara::test
