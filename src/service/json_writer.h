#pragma once
// Compact JSON text in the service's own style.
#include <nlohmann/json.hpp>
#include <string>

namespace melodara {
using Json = nlohmann::json;
void write_json(std::string& out, const Json& value);
std::string to_json_text(const Json& value);
}  // namespace melodara
