// The 42 semitone bins (C2 to F5) that key estimation listens to, measured
// with a bank of Goertzel filters, and their folding into a 12-entry chroma
// and a 12-entry bass chroma. Shared by the live tracker (4 kHz) and the
// offline analysis (12 kHz).
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "core/realtime.h"

namespace melodara {

inline constexpr std::size_t kChromaBins = 42;
using ChromaBins = std::array<double, kChromaBins>;
// Entries 0..11 from all bins, 12..23 from the low bins only.
using Chroma = std::array<double, 24>;

// 2·cos(2π·f_k/rate) with f_k = 440·2^((k − 33)/12), k = 0..41.
// Thread: any. Allocates: no. Blocks: no.
ChromaBins chroma_bin_coefficients(double sample_rate);

// Hann weights 0.5·(1 − cos(2π·i/n)), i = 0..n − 1, for n = out.size().
// Thread: any. Allocates: no. Blocks: no.
void hann_window(std::span<double> out);

// The running state of the 42 filters over one analysis frame.
struct GoertzelBank {
  ChromaBins s1{};
  ChromaBins s2{};
};

// Feeds window[i]·x[i] for i in order; a frame may come in pieces.
// Thread: any. Allocates: no. Blocks: no.
void goertzel_feed(GoertzelBank& bank, std::span<const float> x, std::span<const double> window,
                   const ChromaBins& coeff) noexcept MELODARA_NONBLOCKING;

// The bins' magnitudes √max(s1² + s2² − c·s1·s2, 0) at the end of the frame.
// Thread: any. Allocates: no. Blocks: no.
ChromaBins goertzel_magnitudes(const GoertzelBank& bank,
                               const ChromaBins& coeff) noexcept MELODARA_NONBLOCKING;

// One frame's contribution: each bin whitened against its neighbours, its
// octave and twelfth below taken out (their overtones), and folded onto its
// pitch class, with more weight below F3; bins 4..17 also feed the bass chroma.
// Adds to `chroma`. Thread: any. Allocates: no. Blocks: no.
void add_chroma_frame(const ChromaBins& magnitudes, Chroma& chroma) noexcept MELODARA_NONBLOCKING;

}  // namespace melodara
