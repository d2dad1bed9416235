// Synthetic backing tracks for the key and tempo tests: chords with their
// root in the bass, and click tracks.
#pragma once

#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

namespace melodara::test {

inline double midi_hz(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }

// One chord (MIDI notes) held for `seconds`, each note with three harmonics,
// as mono samples at 48 kHz.
inline std::vector<float> chord_mono(const std::vector<int>& notes, double seconds, double level = 0.08) {
  std::vector<float> out(static_cast<std::size_t>(seconds * 48000.0));
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double t = static_cast<double>(i) / 48000.0;
    double v = 0.0;
    for (const int n : notes)
      for (int h = 1; h <= 3; ++h) v += std::sin(2.0 * std::numbers::pi * midi_hz(n) * h * t) / (h * h);
    out[i] = static_cast<float>(level * v);
  }
  return out;
}

// A 70 Hz thump of 30 ms on every beat, added to `mono` from its start.
inline void add_clicks(std::vector<float>& mono, double bpm, double level = 0.6) {
  const double period = 60.0 / bpm;
  for (std::size_t i = 0; i < mono.size(); ++i) {
    const double t = static_cast<double>(i) / 48000.0;
    const double since = std::fmod(t, period);
    if (since < 0.03)
      mono[i] += static_cast<float>(level * std::sin(2.0 * std::numbers::pi * 70.0 * since) *
                                    std::exp(-since / 0.01));
  }
}

inline std::vector<float> clicks_mono(double bpm, double seconds) {
  std::vector<float> out(static_cast<std::size_t>(seconds * 48000.0), 0.0f);
  add_clicks(out, bpm);
  return out;
}

// Interleaved stereo, both channels the same.
inline std::vector<float> stereo(const std::vector<float>& mono) {
  std::vector<float> out(mono.size() * 2);
  for (std::size_t i = 0; i < mono.size(); ++i) out[2 * i] = out[2 * i + 1] = mono[i];
  return out;
}

// MIDI notes, root lowest: C major (C2 C3 E3 G3 C4) and A minor (A2 E3 A3 C4 E4).
inline const std::vector<int> kCMajorTriad = {36, 48, 52, 55, 60};
inline const std::vector<int> kAMinorTriad = {45, 52, 57, 60, 64};

}  // namespace melodara::test
