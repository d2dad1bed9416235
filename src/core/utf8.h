#pragma once
// UTF-8 helpers for the line protocol: lossy decoding, Unicode white-space trim,
// byte-order-mark stripping. Every function: Thread: any. Blocks: no. Only those
// that return or append to a std::string allocate.
#include <cstdint>
#include <string>
#include <string_view>

namespace melodara {

// Replaces every invalid sequence (each maximal invalid subpart) with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// True when the bytes are well-formed UTF-8 (no surrogates, no overlongs).
bool utf8_valid(std::string_view bytes);

// The sequence at a position: its length when valid, else the length of its
// maximal invalid prefix (at least 1), which a lossy decoder replaces.
struct Utf8Sequence {
  std::size_t length;
  bool valid;
};
Utf8Sequence utf8_sequence(std::string_view bytes, std::size_t pos);

// Decodes one code point of valid UTF-8 at `pos`, advancing it.
char32_t utf8_next(std::string_view text, std::size_t& pos);

// Number of Unicode scalar values in valid UTF-8 text.
std::size_t utf8_scalar_count(std::string_view text);

// Appends the UTF-8 form of a scalar value.
void utf8_append(std::string& out, char32_t cp);

// Unicode White_Space (U+FEFF is not white space).
bool is_unicode_space(char32_t cp);

// Trims Unicode white space at both ends; invalid bytes stop the trim at their end.
std::string_view trim_unicode(std::string_view text);

// Removes every leading U+FEFF.
std::string_view strip_leading_boms(std::string_view text);

}  // namespace melodara
