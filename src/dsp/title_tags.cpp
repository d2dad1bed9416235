#include "dsp/title_tags.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "core/unicode_text.h"
#include "core/utf8.h"

namespace melodara {
namespace {

bool ascii_alnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::vector<std::string_view> ascii_tokens(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t i = 0;
  while (i < text.size()) {
    if (!ascii_alnum(text[i])) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    while (i < text.size() && ascii_alnum(text[i])) ++i;
    tokens.push_back(text.substr(start, i - start));
  }
  return tokens;
}

// All digits; a run too long for 64 bits saturates (and then counts as no tempo).
std::optional<std::uint64_t> read_number(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto d = static_cast<std::uint64_t>(c - '0');
    value = value > (kMax - d) / 10 ? kMax : value * 10 + d;
  }
  return value;
}

std::optional<std::uint32_t> as_tempo(std::optional<std::uint64_t> number) {
  if (number && *number >= 55 && *number <= 190) return static_cast<std::uint32_t>(*number);
  return std::nullopt;
}

// Words naming a singing register or a version, not a key ("tone nam" is the
// male key, "tone cao" the high one).
constexpr std::string_view kRegisterPhrases[] = {
    "tone gốc", "tone goc",  "tone nam",     "tone nữ",     "tone nu",     "tone chuẩn", "tone chuan",
    "tone cao", "tone thấp", "tone thap",    "tone trầm",   "tone tram",   "tone đơn",   "tone don",
    "tone đôi", "tone doi",  "tone song ca", "tone dễ hát", "tone de hat", "tone bắc",   "tone bac",
    "tông gốc", "tông nam",  "tông nữ",      "tông chuẩn",
};

struct KeyPattern {
  std::string_view pattern;
  std::string_view key;
};

// Tried in this order: minor before major, so "tone am" is not read as A.
constexpr KeyPattern kKeyPatterns[] = {
    {"tone c#m", "C#m"}, {"tone dbm", "C#m"}, {"tone f#m", "F#m"}, {"tone g#m", "G#m"}, {"tone bbm", "A#m"},
    {"tone a#m", "A#m"}, {"tone ebm", "D#m"}, {"tone d#m", "D#m"}, {"tone cm", "Cm"},   {"tone dm", "Dm"},
    {"tone em", "Em"},   {"tone fm", "Fm"},   {"tone gm", "Gm"},   {"tone am", "Am"},   {"tone bm", "Bm"},
    {"tone c#", "C#"},   {"tone db", "C#"},   {"tone eb", "D#"},   {"tone f#", "F#"},   {"tone ab", "G#"},
    {"tone bb", "A#"},   {"tone c", "C"},     {"tone d", "D"},     {"tone e", "E"},     {"tone f", "F"},
    {"tone g", "G"},     {"tone a", "A"},     {"tone b", "B"},     {"tông c#m", "C#m"}, {"tông f#m", "F#m"},
    {"tông g#m", "G#m"}, {"tông bbm", "A#m"}, {"tông cm", "Cm"},   {"tông dm", "Dm"},   {"tông em", "Em"},
    {"tông fm", "Fm"},   {"tông gm", "Gm"},   {"tông am", "Am"},   {"tông bm", "Bm"},   {"tông c", "C"},
    {"tông d", "D"},     {"tông e", "E"},     {"tông f", "F"},     {"tông g", "G"},     {"tông a", "A"},
    {"tông b", "B"},     {"[am]", "Am"},      {"(am)", "Am"},      {"[dm]", "Dm"},      {"(dm)", "Dm"},
    {"[em]", "Em"},      {"(em)", "Em"},      {"[gm]", "Gm"},      {"(gm)", "Gm"},      {"[cm]", "Cm"},
    {"(cm)", "Cm"},      {"[bm]", "Bm"},      {"(bm)", "Bm"},      {"[f#m]", "F#m"},    {"(f#m)", "F#m"},
    {"[c#m]", "C#m"},    {"(c#m)", "C#m"},    {"[c]", "C"},        {"(tone c)", "C"},   {"[g]", "G"},
    {"(tone g)", "G"},   {"[f]", "F"},        {"(tone f)", "F"},   {"[d]", "D"},        {"(tone d)", "D"},
};

std::string blank_out(std::string_view text, std::string_view phrase) {
  std::string out;
  out.reserve(text.size());
  std::size_t from = 0;
  for (std::size_t at = text.find(phrase); at != std::string_view::npos; at = text.find(phrase, from)) {
    out.append(text.substr(from, at - from));
    out += ' ';
    from = at + phrase.size();
  }
  out.append(text.substr(from));
  return out;
}

// The code point that ends right before `pos`; a broken sequence is no letter.
bool letter_before(std::string_view text, std::size_t pos) {
  if (pos == 0) return false;
  std::size_t start = pos - 1;
  while (start > 0 && pos - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  const Utf8Sequence seq = utf8_sequence(text, start);
  if (!seq.valid || start + seq.length != pos) return false;
  return is_unicode_letter(utf8_next(text, start));
}

bool letter_or_sharp_at(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return false;
  if (text[pos] == '#') return true;
  if (!utf8_sequence(text, pos).valid) return false;
  return is_unicode_letter(utf8_next(text, pos));
}

}  // namespace

std::optional<std::uint32_t> title_tempo(std::string_view title) {
  const std::string lower = unicode_lower(title);
  const std::vector<std::string_view> tokens = ascii_tokens(lower);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string_view token = tokens[i];
    if (token == "bpm") {
      if (i > 0)
        if (const auto tempo = as_tempo(read_number(tokens[i - 1]))) return tempo;
      if (i + 1 < tokens.size())
        if (const auto tempo = as_tempo(read_number(tokens[i + 1]))) return tempo;
    } else if (token.starts_with("bpm")) {
      if (const auto tempo = as_tempo(read_number(token.substr(3)))) return tempo;
    }
  }
  return std::nullopt;
}

std::optional<std::string> title_key(std::string_view title) {
  std::string text = unicode_lower(title);
  for (const std::string_view phrase : kRegisterPhrases) text = blank_out(text, phrase);
  const std::string_view view = text;
  for (const KeyPattern& p : kKeyPatterns) {
    for (std::size_t at = view.find(p.pattern); at != std::string_view::npos;
         at = view.find(p.pattern, at + 1)) {
      if (!letter_before(view, at) && !letter_or_sharp_at(view, at + p.pattern.size()))
        return std::string(p.key);
    }
  }
  return std::nullopt;
}

}  // namespace melodara
