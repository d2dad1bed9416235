#include "service/payload.h"

#include "core/utf8.h"

namespace melodara {

const Json* payload_value(const Json& payload, Keys aliases) {
  if (!payload.is_object()) return nullptr;
  for (const auto key : aliases) {
    const auto it = payload.find(key);
    if (it != payload.end()) return &*it;
  }
  return nullptr;
}

std::optional<std::string> payload_text(const Json& payload, Keys aliases) {
  const Json* v = payload_value(payload, aliases);
  if (v == nullptr || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

std::optional<std::string> payload_trimmed_text(const Json& payload, Keys aliases) {
  auto text = payload_text(payload, aliases);
  if (text) *text = std::string(trim_unicode(*text));
  return text;
}

std::optional<bool> payload_bool(const Json& payload, Keys aliases) {
  const Json* v = payload_value(payload, aliases);
  if (v == nullptr || !v->is_boolean()) return std::nullopt;
  return v->get<bool>();
}

std::optional<double> payload_number(const Json& payload, Keys aliases) {
  const Json* v = payload_value(payload, aliases);
  if (v == nullptr || !v->is_number()) return std::nullopt;
  return v->get<double>();
}

std::optional<std::uint64_t> payload_unsigned(const Json& payload, Keys aliases) {
  const Json* v = payload_value(payload, aliases);
  if (v == nullptr || !v->is_number_unsigned()) return std::nullopt;
  return v->get<std::uint64_t>();
}

}  // namespace melodara
