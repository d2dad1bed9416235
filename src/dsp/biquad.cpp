#include "dsp/biquad.h"

#include <cmath>
#include <complex>
#include <numbers>

namespace melodara {
namespace {

Biquad normalised(double b0, double b1, double b2, double a0, double a1, double a2) {
  Biquad f;
  f.b0 = static_cast<float>(b0 / a0);
  f.b1 = static_cast<float>(b1 / a0);
  f.b2 = static_cast<float>(b2 / a0);
  f.a1 = static_cast<float>(a1 / a0);
  f.a2 = static_cast<float>(a2 / a0);
  return f;
}

double omega(double freq_hz) { return 2.0 * std::numbers::pi * freq_hz / static_cast<double>(kSampleRate); }

}  // namespace

Biquad biquad_lowpass(double freq_hz, double q) MELODARA_NONBLOCKING {
  const double w0 = omega(freq_hz), c = std::cos(w0), alpha = std::sin(w0) / (2.0 * q);
  return normalised((1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha);
}

Biquad biquad_highpass(double freq_hz, double q) MELODARA_NONBLOCKING {
  const double w0 = omega(freq_hz), c = std::cos(w0), alpha = std::sin(w0) / (2.0 * q);
  return normalised((1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alpha, -2 * c, 1 - alpha);
}

Biquad biquad_peaking(double freq_hz, double q, double gain_db) MELODARA_NONBLOCKING {
  return biquad_peaking(peaking_shape(freq_hz, q), static_cast<float>(gain_db));
}

PeakingShape peaking_shape(double freq_hz, double q) MELODARA_NONBLOCKING {
  const double w0 = omega(freq_hz);
  return {static_cast<float>(std::cos(w0)), static_cast<float>(std::sin(w0) / (2.0 * q))};
}

Biquad biquad_peaking(const PeakingShape& shape, float gain_db) MELODARA_NONBLOCKING {
  // A = 10^(gain / 40)
  const float a = std::exp(gain_db * (std::numbers::ln10_v<float> / 40.0f));
  const float up = shape.alpha * a, down = shape.alpha / a;
  const float a0 = 1.0f + down;
  Biquad f;
  f.b0 = (1.0f + up) / a0;
  f.b1 = -2.0f * shape.cos_w0 / a0;
  f.b2 = (1.0f - up) / a0;
  f.a1 = f.b1;
  f.a2 = (1.0f - down) / a0;
  return f;
}

Biquad biquad_high_shelf(double freq_hz, double gain_db) MELODARA_NONBLOCKING {
  const double a = std::pow(10.0, gain_db / 40.0);
  const double w0 = omega(freq_hz), c = std::cos(w0);
  const double alpha = std::sin(w0) / std::numbers::sqrt2;  // 2Q with Q = 1/sqrt 2
  const double s = 2.0 * std::sqrt(a) * alpha;
  return normalised(a * ((a + 1) + (a - 1) * c + s), -2 * a * ((a - 1) + (a + 1) * c),
                    a * ((a + 1) + (a - 1) * c - s), (a + 1) - (a - 1) * c + s, 2 * ((a - 1) - (a + 1) * c),
                    (a + 1) - (a - 1) * c - s);
}

Biquad biquad_bandpass(double freq_hz, double q) MELODARA_NONBLOCKING {
  const double w0 = omega(freq_hz), c = std::cos(w0), alpha = std::sin(w0) / (2.0 * q);
  return normalised(alpha, 0.0, -alpha, 1 + alpha, -2 * c, 1 - alpha);
}

double biquad_magnitude(const Biquad& f, double freq_hz) {
  const std::complex<double> z = std::polar(1.0, -omega(freq_hz));
  const std::complex<double> num = double(f.b0) + double(f.b1) * z + double(f.b2) * z * z;
  const std::complex<double> den = 1.0 + double(f.a1) * z + double(f.a2) * z * z;
  return std::abs(num / den);
}

}  // namespace melodara
