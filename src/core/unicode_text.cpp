#include "core/unicode_text.h"

#include "core/utf8.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace melodara {
namespace {

struct LowerPair {
  char32_t from;
  char32_t to;
};

constexpr LowerPair kLower[] = {
#include "core/unicode_lower_table.inc"
};

struct CodeRange {
  char32_t first;
  char32_t last;
};

constexpr CodeRange kLetters[] = {
#include "core/unicode_letter_table.inc"
};

char32_t lower_of(char32_t cp) {
  if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
  const auto it = std::lower_bound(std::begin(kLower), std::end(kLower), cp,
                                   [](const LowerPair& p, char32_t c) { return p.from < c; });
  return (it != std::end(kLower) && it->from == cp) ? it->to : cp;
}

}  // namespace

std::string unicode_lower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (!utf8_sequence(text, i).valid) {
      out += text[i++];
      continue;
    }
    utf8_append(out, lower_of(utf8_next(text, i)));
  }
  return out;
}

bool is_unicode_letter(char32_t cp) {
  if (cp < 0x80) return (cp | 0x20) >= 'a' && (cp | 0x20) <= 'z';
  const auto it = std::upper_bound(std::begin(kLetters), std::end(kLetters), cp,
                                   [](char32_t c, const CodeRange& r) { return c < r.first; });
  return it != std::begin(kLetters) && cp <= std::prev(it)->last;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace melodara
