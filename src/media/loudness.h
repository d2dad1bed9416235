#pragma once
// Loudness normalisation of a freshly decoded track: loud tracks are brought
// down to an RMS of 0.135, quiet ones up towards 0.115 (at most +1.65x), and a
// soft clip keeps every sample below 0.94.
#include <span>

namespace melodara {

// In place on interleaved stereo; two passes, no allocation.
// Thread: any. Allocates: no. Blocks: no.
void normalize_loudness(std::span<float> samples);

// The soft clip applied after the gain: unchanged up to 0.82, then towards 0.94.
// Thread: any. Allocates: no. Blocks: no.
float loudness_soft_clip(float x);

}  // namespace melodara
