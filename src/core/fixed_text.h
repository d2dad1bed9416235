// Fixed-capacity text for records the realtime thread copies: copying never
// touches the heap, so a parameter record can be cloned inside the block loop.
// Every member: Thread: any. Allocates: no (str() only). Blocks: no.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace melodara {

template <std::size_t Capacity>
struct FixedText {
  static constexpr std::size_t capacity = Capacity;

  std::array<char, Capacity> bytes{};
  std::size_t length = 0;

  FixedText() = default;
  // Texts longer than the capacity are cut at the capacity; callers that must not
  // lose bytes check fits() first.
  constexpr FixedText(std::string_view text) { assign(text); }
  constexpr FixedText(const char* text) { assign(std::string_view(text)); }

  static constexpr bool fits(std::string_view text) { return text.size() <= Capacity; }

  constexpr void assign(std::string_view text) {
    length = text.size() < Capacity ? text.size() : Capacity;
    for (std::size_t i = 0; i < length; ++i) bytes[i] = text[i];
    for (std::size_t i = length; i < Capacity; ++i) bytes[i] = '\0';
  }

  constexpr std::string_view view() const { return {bytes.data(), length}; }
  std::string str() const { return std::string(view()); }
  constexpr bool contains(std::string_view needle) const {
    return view().find(needle) != std::string_view::npos;
  }

  friend constexpr bool operator==(const FixedText& a, const FixedText& b) { return a.view() == b.view(); }
  friend constexpr bool operator==(const FixedText& a, std::string_view b) { return a.view() == b; }
};

}  // namespace melodara
