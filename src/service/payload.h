#pragma once
// Reading request payload keys. Keys are read only from an object payload; a
// key whose value has the wrong JSON type counts as absent; of a list of
// aliases the first one present decides, whatever its type.
// Every reader: Thread: any. Blocks: no. Only the text readers allocate.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "core/json_writer.h"

namespace melodara {

using Keys = std::initializer_list<std::string_view>;

// The value of the first alias present, or nullptr.
const Json* payload_value(const Json& payload, Keys aliases);

std::optional<std::string> payload_text(const Json& payload, Keys aliases);
// The text with Unicode white space trimmed at both ends.
std::optional<std::string> payload_trimmed_text(const Json& payload, Keys aliases);
std::optional<bool> payload_bool(const Json& payload, Keys aliases);
// Any JSON number.
std::optional<double> payload_number(const Json& payload, Keys aliases);
// Only unsigned integers.
std::optional<std::uint64_t> payload_unsigned(const Json& payload, Keys aliases);

}  // namespace melodara
