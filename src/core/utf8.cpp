#include "core/utf8.h"

#include <algorithm>

namespace melodara {

Utf8Sequence utf8_sequence(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return {1, true};
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return {1, false};
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return {k, false};
    const unsigned char t = b(i + k);
    const unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (t < l || t > h) return {k, false};
  }
  return {need + 1, true};
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const Utf8Sequence seq = utf8_sequence(bytes, i);
    if (seq.valid) {
      out.append(bytes.substr(i, seq.length));
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += seq.length;
  }
  return out;
}

bool utf8_valid(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const Utf8Sequence seq = utf8_sequence(bytes, i);
    if (!seq.valid) return false;
    i += seq.length;
  }
  return true;
}

std::size_t utf8_scalar_count(std::string_view text) {
  // Every scalar value has exactly one byte that is not a continuation byte.
  return static_cast<std::size_t>(
      std::ranges::count_if(text, [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

char32_t utf8_next(std::string_view t, std::size_t& pos) {
  const auto b = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(t[k])); };
  const char32_t c = b(pos);
  if (c < 0x80) {
    pos += 1;
    return c;
  }
  if (c < 0xE0) {
    const char32_t cp = ((c & 0x1F) << 6) | (b(pos + 1) & 0x3F);
    pos += 2;
    return cp;
  }
  if (c < 0xF0) {
    const char32_t cp = ((c & 0x0F) << 12) | ((b(pos + 1) & 0x3F) << 6) | (b(pos + 2) & 0x3F);
    pos += 3;
    return cp;
  }
  const char32_t cp =
      ((c & 0x07) << 18) | ((b(pos + 1) & 0x3F) << 12) | ((b(pos + 2) & 0x3F) << 6) | (b(pos + 3) & 0x3F);
  pos += 4;
  return cp;
}

void utf8_append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool is_unicode_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

std::string_view trim_unicode(std::string_view text) {
  // Bytes that are not valid UTF-8 stop the trim at that end.
  std::size_t begin = 0;
  while (begin < text.size()) {
    const Utf8Sequence seq = utf8_sequence(text, begin);
    if (!seq.valid) break;
    std::size_t next = begin;
    if (!is_unicode_space(utf8_next(text, next))) break;
    begin += seq.length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
      --start;
    const Utf8Sequence seq = utf8_sequence(text, start);
    if (!seq.valid || start + seq.length != end) break;
    std::size_t probe = start;
    if (!is_unicode_space(utf8_next(text, probe))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string_view strip_leading_boms(std::string_view text) {
  while (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  return text;
}

}  // namespace melodara
