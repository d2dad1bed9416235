#pragma once
// Text helpers for source texts and environment values: UTF-8 validity and the
// Unicode white-space trim that decides clip ids and tool paths.
#include <string>
#include <string_view>

namespace melodara {

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates).
bool is_valid_utf8(std::string_view text);

// Strips characters with the Unicode White_Space property from both ends.
// Bytes that are not valid UTF-8 stop the trim at that end.
std::string_view trim_white_space(std::string_view text);

}  // namespace melodara
