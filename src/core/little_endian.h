#pragma once
// Little-endian integers in byte buffers, as the wire and file formats (WAV,
// the program stream) store them. The caller guarantees the bytes are there.
// Pure; any thread. Allocates: no.
#include <cstddef>
#include <cstdint>

namespace melodara {

template <class T>
constexpr T load_le(const std::uint8_t* p) noexcept {
  T v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>(v | static_cast<T>(T(p[i]) << (8 * i)));
  return v;
}

template <class T>
constexpr void store_le(std::uint8_t* p, T v) noexcept {
  for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

constexpr std::uint16_t load_le16(const std::uint8_t* p) noexcept { return load_le<std::uint16_t>(p); }
constexpr std::uint32_t load_le32(const std::uint8_t* p) noexcept { return load_le<std::uint32_t>(p); }
constexpr std::uint64_t load_le64(const std::uint8_t* p) noexcept { return load_le<std::uint64_t>(p); }
constexpr void store_le16(std::uint8_t* p, std::uint16_t v) noexcept { store_le(p, v); }
constexpr void store_le32(std::uint8_t* p, std::uint32_t v) noexcept { store_le(p, v); }
constexpr void store_le64(std::uint8_t* p, std::uint64_t v) noexcept { store_le(p, v); }

}  // namespace melodara
