#pragma once
// The strict reader of request lines. Its messages name what went wrong and
// where ("missing field `operation` at line 1 column 37"; columns in bytes), so
// the host can log exactly why a line was refused.
#include <expected>
#include <string>
#include <string_view>

#include "service/protocol.h"

namespace melodara {

// Nesting deeper than this answers "recursion limit exceeded".
inline constexpr int kJsonDepthLimit = 128;

// Reads one prepared line (decoded, trimmed, byte-order marks stripped) as a `Request`,
// in its object form or its array form. The error is the reader's message with its position.
// Thread: any. Allocates: yes. Blocks: no.
std::expected<Request, std::string> read_request(std::string_view line);

// Reads one whole JSON text into a value with the same rules and messages.
// Thread: any. Allocates: yes. Blocks: no.
std::expected<Json, std::string> read_json_value(std::string_view text);

}  // namespace melodara
