#pragma once
// Text helpers for device names: Unicode simple lower-casing (table made by
// gen_lower_table.py), ASCII lower-casing and comparison, Unicode trimming.
#include <string>
#include <string_view>

namespace melodara {

// Lower-cases every code point by its simple mapping; bytes that are not
// valid UTF-8 pass through unchanged.
std::string unicode_lower(std::string_view text);
std::string ascii_lower(std::string_view text);
bool ascii_iequals(std::string_view a, std::string_view b);
// Drops leading and trailing Unicode white space.
std::string_view trim_unicode(std::string_view text);

}  // namespace melodara
