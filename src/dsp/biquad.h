// Second-order filter sections (cookbook designs at 48 kHz) in transposed
// direct form II. Designs use trigonometry: call them once per block at most.
#pragma once

#include <cmath>

#include "core/realtime.h"
#include "dsp/dsp_math.h"
#include "dsp/lanes.h"

namespace melodara {

inline constexpr float kSampleRate = 48000.0f;

struct Biquad {
  float b0 = 1.0f, b1 = 0.0f, b2 = 0.0f, a1 = 0.0f, a2 = 0.0f;
  float z1 = 0.0f, z2 = 0.0f;

  friend bool operator==(const Biquad&, const Biquad&) = default;
};

// The frequency-dependent half of a peaking design, so that a section whose gain
// moves inside a block is redesigned with one exponential and no trigonometry.
struct PeakingShape {
  float cos_w0 = 1.0f;
  float alpha = 0.0f;  // sin(w0) / (2Q)

  friend bool operator==(const PeakingShape&, const PeakingShape&) = default;
};

// Designs return a section with zero state. Thread: any. Allocates: no.
Biquad biquad_lowpass(double freq_hz, double q) MELODARA_NONBLOCKING;
Biquad biquad_highpass(double freq_hz, double q) MELODARA_NONBLOCKING;
Biquad biquad_peaking(double freq_hz, double q, double gain_db) MELODARA_NONBLOCKING;
PeakingShape peaking_shape(double freq_hz, double q) MELODARA_NONBLOCKING;
// A gain of 0 dB gives b = a exactly: the section passes its input unchanged.
Biquad biquad_peaking(const PeakingShape& shape, float gain_db) MELODARA_NONBLOCKING;
// High shelf with slope 1 (Q = 1/sqrt 2), cookbook 2 sqrt(A) alpha form.
Biquad biquad_high_shelf(double freq_hz, double gain_db) MELODARA_NONBLOCKING;
// Band-pass with a constant 0 dB peak.
Biquad biquad_bandpass(double freq_hz, double q) MELODARA_NONBLOCKING;

// Replaces the coefficients, keeping the state words. Thread: any. Allocates: no.
inline void biquad_set_coefficients(Biquad& target, const Biquad& design) noexcept {
  target.b0 = design.b0;
  target.b1 = design.b1;
  target.b2 = design.b2;
  target.a1 = design.a1;
  target.a2 = design.a2;
}

// The section's step, on one float or lane by lane (lanes.h): the output y and
// the new state words. States below 1e-18 in magnitude or not finite are stored
// as zero, so a NaN input shows in its own output sample and leaves no trace.
// Every form of the section runs this. Thread: any. Allocates: no.
template <class V>
struct BiquadStep {
  V y, z1, z2;
};
template <class V>
inline BiquadStep<V> biquad_step(V b0, V b1, V b2, V a1, V a2, V z1, V z2, V x) noexcept {
  const V y = b0 * x + z1;
  return {y, flush_state(b1 * x - a1 * y + z2), flush_state(b2 * x - a2 * y)};
}

// One sample. Thread: engine. Allocates: no. Blocks: no.
inline float biquad_process(Biquad& f, float x) noexcept {
  const BiquadStep<float> s = biquad_step(f.b0, f.b1, f.b2, f.a1, f.a2, f.z1, f.z2, x);
  f.z1 = s.z1;
  f.z2 = s.z2;
  return s.y;
}

// True when the section passes its input unchanged: b = a and both state words 0.
// Thread: any. Allocates: no.
inline bool biquad_is_identity(const Biquad& f) noexcept {
  return f.b0 == 1.0f && f.b1 == f.a1 && f.b2 == f.a2 && f.z1 == 0.0f && f.z2 == 0.0f;
}

// Magnitude response at a frequency, for checks and tests. Thread: any.
double biquad_magnitude(const Biquad& f, double freq_hz);

}  // namespace melodara
