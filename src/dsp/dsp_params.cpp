#include "dsp/dsp_params.h"

#include "core/json_values.h"

#include <cmath>
#include <limits>
#include <string_view>

namespace melodara {
namespace {

using nlohmann::json;

// The JSON library's wording for what was found, as in "invalid type: string \"x\", expected f32".
std::string describe(const json& v) {
  switch (v.type()) {
    case json::value_t::null: return "null";
    case json::value_t::boolean: return std::string("boolean `") + (v.get<bool>() ? "true" : "false") + "`";
    case json::value_t::number_integer: return "integer `" + std::to_string(v.get<std::int64_t>()) + "`";
    case json::value_t::number_unsigned: return "integer `" + std::to_string(v.get<std::uint64_t>()) + "`";
    case json::value_t::number_float: return "floating point `" + v.dump() + "`";
    case json::value_t::string: return "string " + v.dump();
    case json::value_t::array: return "sequence";
    case json::value_t::object: return "map";
    default: return "value";
  }
}

std::unexpected<DspParamsError> invalid_type(const json& v, std::string_view expected) {
  return std::unexpected(
      DspParamsError{"invalid type: " + describe(v) + ", expected " + std::string(expected)});
}
std::unexpected<DspParamsError> invalid_value(const json& v, std::string_view expected) {
  return std::unexpected(
      DspParamsError{"invalid value: " + describe(v) + ", expected " + std::string(expected)});
}
std::unexpected<DspParamsError> invalid_length(std::size_t n, std::string_view expected) {
  return std::unexpected(
      DspParamsError{"invalid length " + std::to_string(n) + ", expected " + std::string(expected)});
}

using ReadResult = std::expected<void, DspParamsError>;

// ---- one value, by kind ----

ReadResult read_value(const json& v, float& out) {
  if (!v.is_number()) return invalid_type(v, "f32");
  const double d = v.get<double>();
  // A number that would round to an infinity would poison the chain's filter
  // states for good: refuse it like a value of the wrong type. Below half an ulp
  // past the largest float, rounding still gives that float (3.4028235e38 reads).
  constexpr double kRoundsToInfinity = 0x1.ffffffp+127;  // FLT_MAX + half its ulp
  if (!(std::fabs(d) < kRoundsToInfinity)) return invalid_type(v, "f32");
  out = static_cast<float>(d);
  return {};
}

ReadResult read_value(const json& v, bool& out) {
  if (!v.is_boolean()) return invalid_type(v, "a boolean");
  out = v.get<bool>();
  return {};
}

// Integral JSON numbers only; a number written with a fraction or exponent is a float.
template <typename Int>
ReadResult read_integer(const json& v, Int& out, std::string_view expected) {
  if (v.is_number_unsigned()) {
    const std::uint64_t u = v.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<Int>::max())) return invalid_value(v, expected);
    out = static_cast<Int>(u);
    return {};
  }
  if (v.is_number_integer()) {
    const std::int64_t i = v.get<std::int64_t>();
    if constexpr (std::is_unsigned_v<Int>) {
      if (i < 0) return invalid_value(v, expected);
      if (static_cast<std::uint64_t>(i) > static_cast<std::uint64_t>(std::numeric_limits<Int>::max()))
        return invalid_value(v, expected);
    } else {
      if (i < static_cast<std::int64_t>(std::numeric_limits<Int>::min()) ||
          i > static_cast<std::int64_t>(std::numeric_limits<Int>::max()))
        return invalid_value(v, expected);
    }
    out = static_cast<Int>(i);
    return {};
  }
  return invalid_type(v, expected);
}

ReadResult read_value(const json& v, std::uint8_t& out) { return read_integer(v, out, "u8"); }
ReadResult read_value(const json& v, std::uint64_t& out) { return read_integer(v, out, "u64"); }
ReadResult read_value(const json& v, std::int32_t& out) { return read_integer(v, out, "i32"); }

ReadResult read_value(const json& v, DspText& out) {
  if (!v.is_string()) return invalid_type(v, "a string");
  const auto& s = v.get_ref<const std::string&>();
  if (!DspText::fits(s)) return invalid_length(s.size(), "a string of at most 255 bytes");
  out.assign(s);
  return {};
}

template <typename T, std::size_t N>
ReadResult read_value(const json& v, std::array<T, N>& out) {
  static const std::string expected = "an array of length " + std::to_string(N);
  if (!v.is_array()) return invalid_type(v, expected);
  if (v.size() < N) return invalid_length(v.size(), expected);
  if (v.size() > N) return invalid_length(v.size(), "fewer elements in array");
  std::array<T, N> tmp{};
  for (std::size_t k = 0; k < N; ++k) {
    if (auto r = read_value(v[k], tmp[k]); !r) return r;
  }
  out = tmp;
  return {};
}

// ---- writing ----

json write_value(float f) { return json_f32(f); }
json write_value(bool b) { return json(b); }
json write_value(std::uint8_t u) { return json(static_cast<std::uint64_t>(u)); }
json write_value(std::uint64_t u) { return json(u); }
json write_value(std::int32_t i) { return json(static_cast<std::int64_t>(i)); }
json write_value(const DspText& t) { return json(t.str()); }
template <typename T, std::size_t N>
json write_value(const std::array<T, N>& a) {
  json out = json::array();
  for (const T& e : a) out.push_back(write_value(e));
  return out;
}

}  // namespace

DspParams dsp_params_default() { return DspParams{}; }

DspParams clone_dsp_params(const DspParams& params) { return params; }

void clone_dsp_params_into(DspParams& dst, const DspParams& src) { dst = src; }

nlohmann::json dsp_params_to_json(const DspParams& p) {
  json out = json::object();
#define MELODARA_DSP_WRITE(kind, name, def) out[#name] = write_value(p.name);
  MELODARA_DSP_PARAMS(MELODARA_DSP_WRITE)
#undef MELODARA_DSP_WRITE
  return out;
}

std::expected<DspParams, DspParamsError> dsp_params_overlay_json(const DspParams& base,
                                                                 const nlohmann::json& object) {
  if (!object.is_object()) return invalid_type(object, "struct DspParams");
  DspParams p = base;
#define MELODARA_DSP_READ_KEY(kind, name, def)                                   \
  if (auto it = object.find(#name); it != object.end()) {                        \
    if (auto r = read_value(*it, p.name); !r) return std::unexpected(r.error()); \
  }
  MELODARA_DSP_PARAMS(MELODARA_DSP_READ_KEY)
#undef MELODARA_DSP_READ_KEY
  return p;
}

std::expected<DspParams, DspParamsError> dsp_params_from_json(const nlohmann::json& value) {
  if (value.is_object()) return dsp_params_overlay_json(DspParams{}, value);
  DspParams p{};
  if (value.is_array()) {
    if (value.size() > kDspParamCount) return invalid_length(value.size(), "fewer elements in array");
    std::size_t index = 0;
#define MELODARA_DSP_READ_AT(kind, name, def)                                             \
  if (index < value.size()) {                                                             \
    if (auto r = read_value(value[index], p.name); !r) return std::unexpected(r.error()); \
  }                                                                                       \
  ++index;
    MELODARA_DSP_PARAMS(MELODARA_DSP_READ_AT)
#undef MELODARA_DSP_READ_AT
    return p;
  }
  return invalid_type(value, "struct DspParams");
}

}  // namespace melodara
