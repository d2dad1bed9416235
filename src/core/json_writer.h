#pragma once
// Compact JSON text as the service writes it on the wire and in its files:
// objects in ascending byte order of their keys, minimal string escapes, text
// repaired to valid UTF-8, floats as the shortest text that reads back to the
// same 64-bit value (always with a fraction or an exponent: 1.0, 1e21, 1e-7),
// non-finite floats as null.
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace melodara {

using Json = nlohmann::json;

// Appends the compact text of `value` to `out`, or returns it.
// Thread: any. Allocates: yes. Blocks: no.
void write_json(std::string& out, const Json& value);
std::string to_json_text(const Json& value);

// The same values laid out for people: one member or element per line, each
// level indented by two more spaces, "key": value, empty containers as {} and
// [], no newline after the last bracket. Thread: any. Allocates: yes. Blocks: no.
std::string to_json_pretty_text(const Json& value);

// The float text alone (finite values only; NaN and infinities give "null").
// Thread: any. Allocates: yes. Blocks: no.
std::string format_f64(double value);

// Appends `text` as a JSON string literal, quotes included.
// Thread: any. Allocates: yes. Blocks: no.
void write_json_string(std::string& out, std::string_view text);

// A 32-bit float as the JSON number it is written as (widened), or null when not
// finite; a 64-bit float likewise. Thread: any. Allocates: no. Blocks: no.
Json json_from_f32(float value);
Json json_from_f64(double value);

}  // namespace melodara
