// Reading and stepping the circular delay lines of the chain. Each line keeps its
// own write index, advanced and wrapped by one compare per sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace melodara {

// The index after i in a line of the given size. Thread: any. Allocates: no.
inline std::size_t next_index(std::size_t i, std::size_t size) noexcept { return i + 1 == size ? 0 : i + 1; }

// The value written `delay` samples before the slot at `write` (a fractional delay
// interpolates linearly between the two neighbouring slots). That is the real
// position write + size - delay, split so that the fraction keeps its precision.
// delay must lie within 0 .. size; callers clamp it first.
// Thread: engine. Allocates: no. Blocks: no.
inline float read_behind(std::span<const float> line, std::size_t write, float delay) noexcept {
  const std::size_t size = line.size();
  // Through a 32-bit integer: one instruction, where an unsigned 64-bit one takes a branch.
  const std::int32_t whole = static_cast<std::int32_t>(delay);
  const float frac = delay - static_cast<float>(whole);
  std::size_t at = write + size - static_cast<std::size_t>(whole);
  if (at >= size) at -= size;
  const std::size_t before = (at == 0 ? size : at) - 1;
  return frac * line[before] + (1.0f - frac) * line[at];
}

}  // namespace melodara
