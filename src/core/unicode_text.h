#pragma once
// Text helpers for device names and titles: Unicode simple lower-casing (table
// made by gen_lower_table.py), the letter test (gen_letter_table.py), ASCII
// lower-casing and comparison.
#include <string>
#include <string_view>

#include "core/utf8.h"  // trim_unicode

namespace melodara {

// Lower-cases every code point by its simple mapping; bytes that are not
// valid UTF-8 pass through unchanged. Thread: any. Allocates: yes. Blocks: no.
std::string unicode_lower(std::string_view text);
// A letter: the Alphabetic property, or a combining mark (it belongs to the
// letter before it). Thread: any. Allocates: no. Blocks: no.
bool is_unicode_letter(char32_t cp);
// A to Z only. Thread: any. Allocates: yes. Blocks: no.
std::string ascii_lower(std::string_view text);
// Equal but for the case of A to Z. Thread: any. Allocates: no. Blocks: no.
bool ascii_iequals(std::string_view a, std::string_view b);

}  // namespace melodara
