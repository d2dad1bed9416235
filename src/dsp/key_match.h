// The key matcher: which of the 24 major and minor keys a chroma and a bass
// chroma fit best, with its score and the runner-up's (the caller decides how
// clear a win must be). Shared by the live tracker and the offline analysis.
#pragma once

#include <cstddef>
#include <span>

#include "core/realtime.h"

namespace melodara {

struct KeyMatch {
  std::size_t key = 2;  // pitch class, C = 0
  bool minor = true;
  double score = 0.0;
  double runner_up = 0.0;
};

// Scores every key by how much of the chroma lies in its scale, its cosine
// with the Krumhansl-Kessler profile of its mode (both vectors at unit
// length, no mean removed), and the weight of its tonic, third and fifth in
// the chroma and the bass; then two tie-breakers settle a minor key against
// the minor key a fifth above it, and a minor key against its relative major.
// Equal scores go to the lower tonic, and to major before minor on one tonic.
// An all-zero (or non-finite) chroma names no key: D minor, the parameters'
// default, with both scores 0, which no ratio test passes.
// Thread: any. Allocates: no. Blocks: no.
KeyMatch match_key(std::span<const double, 12> chroma,
                   std::span<const double, 12> bass) noexcept MELODARA_NONBLOCKING;

}  // namespace melodara
