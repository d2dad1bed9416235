// The pitch detector's inner sums: squared differences of a window against a run
// of lags, built for SSE on every x86-64 processor and for AVX and AVX-512F (neither
// with FMA) where the processor has them, chosen at run time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/realtime.h"
#include "dsp/lanes.h"

namespace melodara {

enum class DetectorBuild : std::uint8_t { sse, avx, avx512 };

// Thread: any. Allocates: no.
bool detector_avx_available();
bool detector_avx512_available();
// AVX-512F where the processor has it, else AVX, else SSE.
DetectorBuild detector_fastest_build();

// Sums of squared differences out[i] = sum over j < N of (a[j] - b[i + j])^2, one
// per lag i < count. Each sum runs in four 4-lane accumulators, acc0 over
// j = 0..3 mod 16, acc1 over 4..7, acc2 over 8..11, acc3 over 12..15, and ends as
// ((acc0 + acc1) + (acc2 + acc3)) reduced pairwise: every build below keeps this
// order, so the sums are the same to the bit on any processor.
// Thread: any. Allocates: no.
inline float detector_reduce(Lanes4 acc0, Lanes4 acc1, Lanes4 acc2, Lanes4 acc3) noexcept {
  const Lanes4 acc = (acc0 + acc1) + (acc2 + acc3);
  return (acc[0] + acc[1]) + (acc[2] + acc[3]);
}

// out[i] for the count lags i of a window of 256 or 512 samples; build must be
// one the processor has. Thread: any. Allocates: no. Blocks: no.
void detector_squared_differences(DetectorBuild build, std::size_t window, const float* a, const float* b,
                                  std::size_t count, float* out) noexcept MELODARA_NONBLOCKING;

}  // namespace melodara
