#include "media/text_trim.h"

#include <cstdint>

namespace melodara {
namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Decodes one code point at `pos`; returns its length, or 0 for a malformed sequence.
std::size_t decode_at(std::string_view s, std::size_t pos, char32_t& out) {
  const auto b0 = static_cast<std::uint8_t>(s[pos]);
  if (b0 < 0x80) {
    out = b0;
    return 1;
  }
  std::size_t len = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (pos + len > s.size()) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    const auto b = static_cast<std::uint8_t>(s[pos + i]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  out = cp;
  return len;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  std::size_t pos = 0;
  char32_t cp = 0;
  while (pos < text.size()) {
    const std::size_t len = decode_at(text, pos, cp);
    if (len == 0) return false;
    pos += len;
  }
  return true;
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  char32_t cp = 0;
  while (begin < text.size()) {
    const std::size_t len = decode_at(text, begin, cp);
    if (len == 0 || !is_white_space(cp)) break;
    begin += len;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the lead byte of the last code point (at most 4 bytes).
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 &&
           (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    const std::size_t len = decode_at(text, start, cp);
    if (len == 0 || start + len != end || !is_white_space(cp)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace melodara
