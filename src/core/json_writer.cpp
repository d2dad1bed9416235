#include "core/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "core/json_values.h"
#include "core/utf8.h"

namespace melodara {

std::string format_f64(double value) {
  if (!std::isfinite(value)) return "null";
  if (value == 0.0) return std::signbit(value) ? "-0.0" : "0.0";

  // Shortest round-trip digits and decimal exponent, then the layout rules:
  // plain digits up to 16 places, a leading "0.000" down to 1e-5, exponent beyond.
  char sci[64];
  const auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  const std::string_view s(sci, static_cast<std::size_t>(res.ptr - sci));
  std::string out;
  std::size_t i = 0;
  if (s[0] == '-') {
    out += '-';
    i = 1;
  }
  const std::size_t e_pos = s.find('e');
  std::string digits;
  for (std::size_t k = i; k < e_pos; ++k)
    if (s[k] != '.') digits += s[k];
  const int exp10 = std::atoi(std::string(s.substr(e_pos + 1)).c_str());
  const int length = static_cast<int>(digits.size());
  const int kk = exp10 + 1;  // position of the decimal point
  const int k = kk - length;

  if (k >= 0 && kk <= 16) {
    out += digits;
    out.append(static_cast<std::size_t>(k), '0');
    out += ".0";
  } else if (kk > 0 && kk <= 16) {
    const auto point = static_cast<std::size_t>(kk);
    out += digits.substr(0, point);
    out += '.';
    out += digits.substr(point);
  } else if (kk > -5 && kk <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-kk), '0');
    out += digits;
  } else {
    out += digits[0];
    if (length > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    out += std::to_string(kk - 1);
  }
  return out;
}

void write_json_string(std::string& out, std::string_view text) {
  std::string repaired;
  if (!utf8_valid(text)) {
    repaired = utf8_lossy(text);
    text = repaired;
  }
  static constexpr char hex[] = "0123456789abcdef";
  out += '"';
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const char* esc = nullptr;
    switch (c) {
      case '"': esc = "\\\""; break;
      case '\\': esc = "\\\\"; break;
      case '\b': esc = "\\b"; break;
      case '\f': esc = "\\f"; break;
      case '\n': esc = "\\n"; break;
      case '\r': esc = "\\r"; break;
      case '\t': esc = "\\t"; break;
      default: break;
    }
    if (esc == nullptr && c >= 0x20) continue;
    out.append(text.substr(run, i - run));
    run = i + 1;
    if (esc != nullptr) {
      out += esc;
    } else {
      out += "\\u00";
      out += hex[c >> 4];
      out += hex[c & 0xF];
    }
  }
  out.append(text.substr(run));
  out += '"';
}

namespace {

void write_json_pretty(std::string& out, const Json& value, std::size_t depth) {
  const bool object = value.is_object();
  if ((!object && !value.is_array()) || value.empty()) {
    write_json(out, value);
    return;
  }
  constexpr std::size_t kIndent = 2;
  out += object ? '{' : '[';
  bool first = true;
  for (const auto& [key, item] : value.items()) {
    out += first ? "\n" : ",\n";
    first = false;
    out.append((depth + 1) * kIndent, ' ');
    if (object) {
      write_json_string(out, key);
      out += ": ";
    }
    write_json_pretty(out, item, depth + 1);
  }
  out += '\n';
  out.append(depth * kIndent, ' ');
  out += object ? '}' : ']';
}

}  // namespace

void write_json(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded: out += "null"; break;
    case Json::value_t::boolean: out += value.get<bool>() ? "true" : "false"; break;
    case Json::value_t::number_integer: out += std::to_string(value.get<std::int64_t>()); break;
    case Json::value_t::number_unsigned: out += std::to_string(value.get<std::uint64_t>()); break;
    case Json::value_t::number_float: out += format_f64(value.get<double>()); break;
    case Json::value_t::string: write_json_string(out, value.get_ref<const std::string&>()); break;
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& item : value) {
        if (!first) out += ',';
        first = false;
        write_json(out, item);
      }
      out += ']';
      break;
    }
    case Json::value_t::object: {
      // std::map keeps keys in ascending byte order already.
      out += '{';
      bool first = true;
      for (const auto& [key, item] : value.items()) {
        if (!first) out += ',';
        first = false;
        write_json_string(out, key);
        out += ':';
        write_json(out, item);
      }
      out += '}';
      break;
    }
    case Json::value_t::binary: {
      out += '[';
      bool first = true;
      for (const auto byte : value.get_binary()) {
        if (!first) out += ',';
        first = false;
        out += std::to_string(byte);
      }
      out += ']';
      break;
    }
  }
}

std::string to_json_text(const Json& value) {
  std::string out;
  write_json(out, value);
  return out;
}

std::string to_json_pretty_text(const Json& value) {
  std::string out;
  write_json_pretty(out, value, 0);
  return out;
}

Json json_from_f32(float value) { return json_f32(value); }

Json json_from_f64(double value) {
  if (!std::isfinite(value)) return nullptr;
  return value;
}

}  // namespace melodara
