#include "service/request_reader.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "core/utf8.h"

namespace melodara {
namespace {

constexpr std::size_t kNoPosition = static_cast<std::size_t>(-1);

// Thrown inside the reader only; read_request turns it into the error value.
struct Failure {
  std::string message;
  std::size_t index = kNoPosition;  // bytes consumed when the fault was seen
};

// How a type or value error names what it found.
struct Number {
  enum class Kind { U64, I64, F64 } kind;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0.0;
};

std::string number_unexpected(const Number& n) {
  switch (n.kind) {
    case Number::Kind::U64: return "integer `" + std::to_string(n.u) + "`";
    case Number::Kind::I64: return "integer `" + std::to_string(n.i) + "`";
    case Number::Kind::F64: return "floating point `" + format_f64(n.f) + "`";
  }
  return {};
}

bool debug_escaped(char32_t c) {
  // Characters a debug view of a string shows escaped: controls, format
  // characters, combining marks, private use and non-characters.
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || (c >= 0x300 && c <= 0x36F) ||
         (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) ||
         c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) || (c >= 0xE000 && c <= 0xF8FF) ||
         (c >= 0xFE00 && c <= 0xFE0F) || (c & 0xFFFE) == 0xFFFE || c >= 0xF0000;
}

std::string debug_string(std::string_view text) {
  std::string out = "\"";
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const unsigned char b = static_cast<unsigned char>(text[pos]);
    char32_t c;
    if (b < 0x80) {
      c = b;
      ++pos;
    } else {
      c = utf8_next(text, pos);
    }
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (debug_escaped(c)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
      out += buf;
    } else {
      out.append(text.substr(start, pos - start));
    }
  }
  out += '"';
  return out;
}

class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}

  Request request() {
    const int peek = skip_ws_peek();
    if (peek < 0) throw peek_fail("EOF while parsing a value");
    if (peek == '[') return container<Request>([&] { return request_seq(); }, [&] { end_seq(); });
    if (peek == '{') return container<Request>([&] { return request_map(); }, [&] { end_map(); });
    throw invalid_type("struct Request");
  }

  Json value() {
    const int peek = skip_ws_peek();
    if (peek < 0) throw peek_fail("EOF while parsing a value");
    switch (peek) {
      case 'n':
        eat();
        ident("ull");
        return nullptr;
      case 't':
        eat();
        ident("rue");
        return true;
      case 'f':
        eat();
        ident("alse");
        return false;
      case '-': eat(); return number_json(integer(false));
      case '"': eat(); return string_body();
      case '[':
        return container<Json>(
            [&] {
              Json list = Json::array();
              bool first = true;
              while (has_next_element(first)) list.push_back(value());
              return list;
            },
            [&] { end_seq(); });
      case '{':
        return container<Json>(
            [&] {
              Json map = Json::object();
              bool first = true;
              while (auto key = next_key(first)) {
                colon();
                map[*key] = value();
              }
              return map;
            },
            [&] { end_map(); });
      default:
        if (peek >= '0' && peek <= '9') return number_json(integer(true));
        throw peek_fail("expected value");
    }
  }

  void end() {
    if (skip_ws_peek() >= 0) throw peek_fail("trailing characters");
  }

  std::size_t index() const { return i_; }

 private:
  std::string_view s_;
  std::size_t i_ = 0;
  int depth_ = kJsonDepthLimit;

  // ---- low level ----
  int peek() const { return i_ < s_.size() ? static_cast<unsigned char>(s_[i_]) : -1; }
  int peek_or_null() const { return i_ < s_.size() ? static_cast<unsigned char>(s_[i_]) : 0; }
  void eat() { ++i_; }
  int next() { return i_ < s_.size() ? static_cast<unsigned char>(s_[i_++]) : -1; }
  int skip_ws_peek() {
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') break;
      ++i_;
    }
    return peek();
  }
  Failure fail(std::string m) const { return {std::move(m), i_}; }
  Failure peek_fail(std::string m) const { return {std::move(m), std::min(s_.size(), i_ + 1)}; }
  static Failure custom(std::string m) { return {std::move(m), kNoPosition}; }

  void enter() {
    if (--depth_ == 0) throw peek_fail("recursion limit exceeded");
  }

  // Reads one array or object: `body` after the opening bracket, `end_fn` for
  // the closing one. A container's own fault (length, duplicate, missing) is
  // placed after its closing bracket; a fault inside it keeps its own place.
  template <class T, class Body, class End>
  T container(Body body, End end_fn) {
    enter();
    eat();
    std::optional<Failure> ret;
    T value{};
    try {
      value = body();
    } catch (Failure& f) {
      ret = std::move(f);
    }
    ++depth_;
    std::optional<Failure> end_err;
    try {
      end_fn();
    } catch (Failure& f) {
      end_err = std::move(f);
    }
    if (ret) {
      if (ret->index == kNoPosition) ret->index = i_;
      throw std::move(*ret);
    }
    if (end_err) throw std::move(*end_err);
    return value;
  }

  void ident(std::string_view rest) {
    for (const char expected : rest) {
      const int c = next();
      if (c < 0) throw fail("EOF while parsing a value");
      if (c != static_cast<unsigned char>(expected)) throw fail("expected ident");
    }
  }

  // ---- containers ----
  bool has_next_element(bool& first) {
    const int peek = skip_ws_peek();
    if (peek < 0) throw peek_fail("EOF while parsing a list");
    if (peek == ']') return false;
    if (first) {
      first = false;
      return true;
    }
    if (peek == ',') {
      eat();
      const int after = skip_ws_peek();
      if (after == ']') throw peek_fail("trailing comma");
      if (after < 0) throw peek_fail("EOF while parsing a value");
      return true;
    }
    throw peek_fail("expected `,` or `]`");
  }

  void end_seq() {
    const int peek = skip_ws_peek();
    if (peek == ']') {
      eat();
      return;
    }
    if (peek == ',') {
      eat();
      if (skip_ws_peek() == ']') throw peek_fail("trailing comma");
      throw peek_fail("trailing characters");
    }
    if (peek < 0) throw peek_fail("EOF while parsing a list");
    throw peek_fail("trailing characters");
  }

  std::optional<std::string> next_key(bool& first) {
    int peek = skip_ws_peek();
    if (peek == '}') return std::nullopt;
    if (peek < 0) throw peek_fail("EOF while parsing an object");
    if (peek == ',' && !first) {
      eat();
      peek = skip_ws_peek();
    } else if (first) {
      first = false;
    } else {
      throw peek_fail("expected `,` or `}`");
    }
    if (peek == '"') {
      eat();
      return string_body();
    }
    if (peek == '}') throw peek_fail("trailing comma");
    if (peek < 0) throw peek_fail("EOF while parsing a value");
    throw peek_fail("key must be a string");
  }

  void colon() {
    const int peek = skip_ws_peek();
    if (peek == ':') {
      eat();
      return;
    }
    if (peek < 0) throw peek_fail("EOF while parsing an object");
    throw peek_fail("expected `:`");
  }

  void end_map() {
    const int peek = skip_ws_peek();
    if (peek == '}') {
      eat();
      return;
    }
    if (peek == ',') throw peek_fail("trailing comma");
    if (peek < 0) throw peek_fail("EOF while parsing an object");
    throw peek_fail("trailing characters");
  }

  // ---- strings ----
  unsigned hex_escape() {
    if (s_.size() < i_ + 4) {
      i_ = s_.size();
      throw fail("EOF while parsing a string");
    }
    unsigned n = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_++];
      int v;
      if (c >= '0' && c <= '9')
        v = c - '0';
      else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
      else
        throw fail("invalid escape");
      n = (n << 4) | static_cast<unsigned>(v);
    }
    return n;
  }

  // After the opening quote; returns the decoded text.
  std::string string_body() {
    std::string out;
    while (true) {
      const std::size_t start = i_;
      while (i_ < s_.size()) {
        const unsigned char c = static_cast<unsigned char>(s_[i_]);
        if (c == '"' || c == '\\' || c < 0x20) break;
        ++i_;
      }
      out.append(s_.substr(start, i_ - start));
      if (i_ == s_.size()) throw fail("EOF while parsing a string");
      const char c = s_[i_];
      if (c == '"') {
        ++i_;
        return out;
      }
      if (c == '\\') {
        ++i_;
        escape(out);
        continue;
      }
      ++i_;
      throw fail("control character (\\u0000-\\u001F) found while parsing a string");
    }
  }

  void escape(std::string& out) {
    const int c = next();
    if (c < 0) throw fail("EOF while parsing a string");
    switch (c) {
      case '"': out += '"'; return;
      case '\\': out += '\\'; return;
      case '/': out += '/'; return;
      case 'b': out += '\b'; return;
      case 'f': out += '\f'; return;
      case 'n': out += '\n'; return;
      case 'r': out += '\r'; return;
      case 't': out += '\t'; return;
      case 'u': break;
      default: throw fail("invalid escape");
    }
    const unsigned n1 = hex_escape();
    if (n1 >= 0xDC00 && n1 <= 0xDFFF) throw fail("lone leading surrogate in hex escape");
    if (n1 < 0xD800 || n1 > 0xDBFF) {
      utf8_append(out, n1);
      return;
    }
    if (peek() < 0) throw fail("EOF while parsing a string");
    if (peek() != '\\') throw fail("unexpected end of hex escape");
    eat();
    if (peek() < 0) throw fail("EOF while parsing a string");
    if (peek() != 'u') throw fail("unexpected end of hex escape");
    eat();
    const unsigned n2 = hex_escape();
    if (n2 < 0xDC00 || n2 > 0xDFFF) throw fail("lone leading surrogate in hex escape");
    utf8_append(out, (((n1 - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000);
  }

  // ---- numbers ----
  // Reads digits, fraction and exponent after an optional '-' already eaten.
  Number integer(bool positive) {
    const std::size_t start = positive ? i_ : i_ - 1;
    const int c = next();
    if (c < 0) throw fail("EOF while parsing a value");
    std::uint64_t sig = 0;
    if (c == '0') {
      const int p = peek_or_null();
      if (p >= '0' && p <= '9') throw peek_fail("invalid number");
    } else if (c >= '1' && c <= '9') {
      sig = static_cast<std::uint64_t>(c - '0');
      while (true) {
        const int p = peek_or_null();
        if (p < '0' || p > '9') break;
        const auto digit = static_cast<std::uint64_t>(p - '0');
        if (sig > (UINT64_MAX - digit) / 10) return long_integer(start);
        eat();
        sig = sig * 10 + digit;
      }
    } else {
      throw fail("invalid number");
    }
    const int p = peek_or_null();
    if (p == '.') return float_from(start, true);
    if (p == 'e' || p == 'E') return float_from(start, false);
    Number n{};
    if (positive) {
      n.kind = Number::Kind::U64;
      n.u = sig;
    } else if (sig == 0 || sig > (std::uint64_t{1} << 63)) {
      // "-0" and negatives beyond the 64-bit range read as floats.
      n.kind = Number::Kind::F64;
      n.f = -static_cast<double>(sig);
    } else {
      n.kind = Number::Kind::I64;
      n.i = static_cast<std::int64_t>(0 - sig);
    }
    return n;
  }

  Number long_integer(std::size_t start) {
    while (true) {
      const int p = peek_or_null();
      if (p >= '0' && p <= '9') {
        eat();
        continue;
      }
      if (p == '.') return float_from(start, true);
      if (p == 'e' || p == 'E') return float_from(start, false);
      return float_value(start);
    }
  }

  Number float_from(std::size_t start, bool decimal) {
    if (decimal) {
      eat();
      bool digits = false;
      while (true) {
        const int p = peek_or_null();
        if (p < '0' || p > '9') break;
        eat();
        digits = true;
      }
      if (!digits) {
        if (peek() >= 0) throw peek_fail("invalid number");
        throw peek_fail("EOF while parsing a value");
      }
      const int p = peek_or_null();
      if (p != 'e' && p != 'E') return float_value(start);
    }
    eat();  // the exponent mark
    const int sign = peek_or_null();
    if (sign == '+' || sign == '-') eat();
    const int first = next();
    if (first < 0) throw fail("EOF while parsing a value");
    if (first < '0' || first > '9') throw fail("invalid number");
    while (true) {
      const int p = peek_or_null();
      if (p < '0' || p > '9') break;
      eat();
    }
    return float_value(start);
  }

  Number float_value(std::size_t start) {
    const std::string text(s_.substr(start, i_ - start));
    const double v = std::strtod(text.c_str(), nullptr);
    if (std::isinf(v)) throw fail("number out of range");
    Number n{};
    n.kind = Number::Kind::F64;
    n.f = v;
    return n;
  }

  static Json number_json(const Number& n) {
    switch (n.kind) {
      case Number::Kind::U64: return n.u;
      case Number::Kind::I64: return n.i;
      case Number::Kind::F64: return n.f;
    }
    return nullptr;
  }

  // ---- typed fields ----
  // The type error for whatever value comes next, consuming its token.
  Failure invalid_type(std::string_view expected) {
    std::string found;
    switch (peek_or_null()) {
      case 'n':
        eat();
        ident("ull");
        found = "null";
        break;
      case 't':
        eat();
        ident("rue");
        found = "boolean `true`";
        break;
      case 'f':
        eat();
        ident("alse");
        found = "boolean `false`";
        break;
      case '-':
        eat();
        found = number_unexpected(integer(false));
        break;
      case '"':
        eat();
        found = "string " + debug_string(string_body());
        break;
      case '[': found = "sequence"; break;
      case '{': found = "map"; break;
      default:
        if (peek_or_null() >= '0' && peek_or_null() <= '9') {
          found = number_unexpected(integer(true));
          break;
        }
        return peek_fail("expected value");
    }
    return fail("invalid type: " + found + ", expected " + std::string(expected));
  }

  std::uint64_t unsigned_field(std::uint64_t max, std::string_view expected) {
    const int peek = skip_ws_peek();
    if (peek < 0) throw peek_fail("EOF while parsing a value");
    if (peek != '-' && (peek < '0' || peek > '9')) throw invalid_type(expected);
    if (peek == '-') eat();
    const Number n = integer(peek != '-');
    switch (n.kind) {
      case Number::Kind::U64:
        if (n.u <= max) return n.u;
        [[fallthrough]];
      case Number::Kind::I64:
        throw fail("invalid value: " + number_unexpected(n) + ", expected " + std::string(expected));
      case Number::Kind::F64:
        throw fail("invalid type: " + number_unexpected(n) + ", expected " + std::string(expected));
    }
    return 0;
  }

  std::string string_field() {
    const int peek = skip_ws_peek();
    if (peek < 0) throw peek_fail("EOF while parsing a value");
    if (peek != '"') throw invalid_type("a string");
    eat();
    return string_body();
  }

  // Skips one value of any type without building it, without a depth limit
  // (it keeps its own stack), so an ignored key never overflows anything.
  void ignore_value() {
    std::string stack;
    std::optional<char> enclosing;
    while (true) {
      const int peek = skip_ws_peek();
      if (peek < 0) throw peek_fail("EOF while parsing a value");
      std::optional<char> frame;
      switch (peek) {
        case 'n':
          eat();
          ident("ull");
          break;
        case 't':
          eat();
          ident("rue");
          break;
        case 'f':
          eat();
          ident("alse");
          break;
        case '-':
          eat();
          ignore_number();
          break;
        case '"':
          eat();
          ignore_string();
          break;
        case '[':
        case '{':
          if (enclosing) stack += *enclosing;
          enclosing.reset();
          eat();
          frame = static_cast<char>(peek);
          break;
        default:
          if (peek >= '0' && peek <= '9') {
            ignore_number();
            break;
          }
          throw peek_fail("expected value");
      }
      bool accept_comma;
      char current;
      if (frame) {
        accept_comma = false;
        current = *frame;
      } else if (enclosing) {
        accept_comma = true;
        current = *enclosing;
        enclosing.reset();
      } else if (!stack.empty()) {
        accept_comma = true;
        current = stack.back();
        stack.pop_back();
      } else {
        return;
      }
      while (true) {
        const int c = skip_ws_peek();
        if (c == ',' && accept_comma) {
          eat();
          break;
        }
        if ((c == ']' && current == '[') || (c == '}' && current == '{')) {
          eat();
          if (stack.empty()) return;
          current = stack.back();
          stack.pop_back();
          accept_comma = true;
          continue;
        }
        if (c < 0)
          throw peek_fail(current == '[' ? "EOF while parsing a list" : "EOF while parsing an object");
        if (accept_comma) throw peek_fail(current == '[' ? "expected `,` or `]`" : "expected `,` or `}`");
        break;
      }
      if (current == '{') {
        const int q = skip_ws_peek();
        if (q == '"')
          eat();
        else if (q < 0)
          throw peek_fail("EOF while parsing an object");
        else
          throw peek_fail("key must be a string");
        ignore_string();
        const int col = skip_ws_peek();
        if (col == ':')
          eat();
        else if (col < 0)
          throw peek_fail("EOF while parsing an object");
        else
          throw peek_fail("expected `:`");
      }
      enclosing = current;
    }
  }

  void ignore_number() {
    const int c = i_ < s_.size() ? static_cast<unsigned char>(s_[i_++]) : 0;
    if (c == '0') {
      const int p = peek_or_null();
      if (p >= '0' && p <= '9') throw peek_fail("invalid number");
    } else if (c >= '1' && c <= '9') {
      while (peek_or_null() >= '0' && peek_or_null() <= '9') eat();
    } else {
      throw fail("invalid number");
    }
    int p = peek_or_null();
    if (p == '.') {
      eat();
      bool digits = false;
      while (peek_or_null() >= '0' && peek_or_null() <= '9') {
        eat();
        digits = true;
      }
      if (!digits) throw peek_fail("invalid number");
      p = peek_or_null();
    }
    if (p == 'e' || p == 'E') {
      eat();
      const int sign = peek_or_null();
      if (sign == '+' || sign == '-') eat();
      const int first = i_ < s_.size() ? static_cast<unsigned char>(s_[i_++]) : 0;
      if (first < '0' || first > '9') throw fail("invalid number");
      while (peek_or_null() >= '0' && peek_or_null() <= '9') eat();
    }
  }

  void ignore_string() {
    while (true) {
      while (i_ < s_.size()) {
        const unsigned char c = static_cast<unsigned char>(s_[i_]);
        if (c == '"' || c == '\\' || c < 0x20) break;
        ++i_;
      }
      if (i_ == s_.size()) throw fail("EOF while parsing a string");
      const char c = s_[i_];
      if (c == '"') {
        ++i_;
        return;
      }
      if (c == '\\') {
        ++i_;
        const int e = next();
        if (e < 0) throw fail("EOF while parsing a string");
        switch (e) {
          case '"':
          case '\\':
          case '/':
          case 'b':
          case 'f':
          case 'n':
          case 'r':
          case 't': break;
          case 'u': hex_escape(); break;
          default: throw fail("invalid escape");
        }
        continue;
      }
      ++i_;
      throw fail("control character (\\u0000-\\u001F) found while parsing a string");
    }
  }

  // ---- the request record ----
  enum class Field { ProtocolVersion, RequestId, Operation, Payload, SessionEpoch, Other };

  static Field field_of(std::string_view key) {
    if (key == "protocolVersion" || key == "version") return Field::ProtocolVersion;
    if (key == "requestId") return Field::RequestId;
    if (key == "operation") return Field::Operation;
    if (key == "payload" || key == "args") return Field::Payload;
    if (key == "sessionEpoch") return Field::SessionEpoch;
    return Field::Other;
  }

  static Failure invalid_length(int n) {
    return custom("invalid length " + std::to_string(n) + ", expected struct Request with 5 elements");
  }

  Request request_seq() {
    Request r;
    bool first = true;
    if (!has_next_element(first)) throw invalid_length(0);
    r.protocolVersion = static_cast<std::uint32_t>(unsigned_field(UINT32_MAX, "u32"));
    if (!has_next_element(first)) throw invalid_length(1);
    r.requestId = string_field();
    if (!has_next_element(first)) throw invalid_length(2);
    r.operation = string_field();
    if (has_next_element(first)) r.payload = value();
    if (has_next_element(first)) r.sessionEpoch = unsigned_field(UINT64_MAX, "u64");
    return r;
  }

  Request request_map() {
    std::optional<std::uint32_t> version;
    std::optional<std::string> request_id, operation;
    std::optional<Json> payload;
    std::optional<std::uint64_t> epoch;
    bool first = true;
    while (auto key = next_key(first)) {
      switch (field_of(*key)) {
        case Field::ProtocolVersion:
          if (version) throw custom("duplicate field `protocolVersion`");
          colon();
          version = static_cast<std::uint32_t>(unsigned_field(UINT32_MAX, "u32"));
          break;
        case Field::RequestId:
          if (request_id) throw custom("duplicate field `requestId`");
          colon();
          request_id = string_field();
          break;
        case Field::Operation:
          if (operation) throw custom("duplicate field `operation`");
          colon();
          operation = string_field();
          break;
        case Field::Payload:
          if (payload) throw custom("duplicate field `payload`");
          colon();
          payload = value();
          break;
        case Field::SessionEpoch:
          if (epoch) throw custom("duplicate field `sessionEpoch`");
          colon();
          epoch = unsigned_field(UINT64_MAX, "u64");
          break;
        case Field::Other:
          colon();
          ignore_value();
          break;
      }
    }
    if (!version) throw custom("missing field `protocolVersion`");
    if (!request_id) throw custom("missing field `requestId`");
    if (!operation) throw custom("missing field `operation`");
    Request r;
    r.protocolVersion = *version;
    r.requestId = std::move(*request_id);
    r.operation = std::move(*operation);
    r.payload = payload ? std::move(*payload) : Json(nullptr);
    r.sessionEpoch = epoch.value_or(0);
    return r;
  }
};

std::string with_position(const Failure& f, std::string_view text) {
  const std::size_t i = f.index == kNoPosition ? text.size() : std::min(f.index, text.size());
  const std::size_t nl = text.substr(0, i).rfind('\n');
  const std::size_t line_start = nl == std::string_view::npos ? 0 : nl + 1;
  std::size_t line = 1;
  for (std::size_t k = 0; k < line_start; ++k)
    if (text[k] == '\n') ++line;
  return f.message + " at line " + std::to_string(line) + " column " + std::to_string(i - line_start);
}

}  // namespace

std::expected<Request, std::string> read_request(std::string_view line) {
  Reader reader(line);
  try {
    Request r = reader.request();
    reader.end();
    return r;
  } catch (const Failure& f) {
    return std::unexpected(with_position(f, line));
  }
}

std::expected<Json, std::string> read_json_value(std::string_view text) {
  Reader reader(text);
  try {
    Json v = reader.value();
    reader.end();
    return v;
  } catch (const Failure& f) {
    return std::unexpected(with_position(f, text));
  }
}

}  // namespace melodara
