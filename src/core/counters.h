#pragma once
// Revisions, generations, serials and take counters never wrap: at the largest
// value they stay put, so "changed since" tests never see an old value again.
#include <cstdint>
#include <limits>

namespace melodara {

// Thread: any (the counter's owner guards it). Allocates: no. Blocks: no.
constexpr std::uint64_t saturating_next(std::uint64_t value) {
  return value == std::numeric_limits<std::uint64_t>::max() ? value : value + 1;
}

constexpr void bump(std::uint64_t& counter) { counter = saturating_next(counter); }
constexpr void bump(std::uint32_t& counter) {
  if (counter != std::numeric_limits<std::uint32_t>::max()) ++counter;
}

}  // namespace melodara
