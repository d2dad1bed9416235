#include "service/request_reader.h"

#include <gtest/gtest.h>

#include <string>

namespace melodara {
namespace {

struct ReaderCase {
  std::string line;
  std::string message;  // expected error; empty when the line must read
};

void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.line.substr(0, 80); }

class ReaderErrors : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ReaderErrors, MessageAndPosition) {
  const auto& c = GetParam();
  const auto result = read_request(c.line);
  if (c.message.empty()) {
    EXPECT_TRUE(result.has_value()) << result.error();
  } else {
    ASSERT_FALSE(result.has_value()) << c.line;
    EXPECT_EQ(result.error(), c.message) << c.line;
  }
}

const std::string kTail = R"("requestId":"a","operation":"x")";

INSTANTIATE_TEST_SUITE_P(
    Lines, ReaderErrors,
    ::testing::Values(
        ReaderCase{R"({"protocolVersion":2,"requestId":"a"})",
                   "missing field `operation` at line 1 column 37"},
        ReaderCase{"{}", "missing field `protocolVersion` at line 1 column 2"},
        ReaderCase{R"({"protocolVersion":2,"operation":"x"})",
                   "missing field `requestId` at line 1 column 37"},
        ReaderCase{"5", "invalid type: integer `5`, expected struct Request at line 1 column 1"},
        ReaderCase{R"("abc")", "invalid type: string \"abc\", expected struct Request at line 1 column 5"},
        ReaderCase{"null", "invalid type: null, expected struct Request at line 1 column 4"},
        ReaderCase{"true", "invalid type: boolean `true`, expected struct Request at line 1 column 4"},
        ReaderCase{"nul", "EOF while parsing a value at line 1 column 3"},
        ReaderCase{"nxl", "expected ident at line 1 column 2"},
        ReaderCase{"x", "expected value at line 1 column 1"},
        ReaderCase{"[]", "invalid length 0, expected struct Request with 5 elements at line 1 column 2"},
        ReaderCase{"[2]", "invalid length 1, expected struct Request with 5 elements at line 1 column 3"},
        ReaderCase{R"([2, "a"])",
                   "invalid length 2, expected struct Request with 5 elements at line 1 column 8"},
        ReaderCase{R"(["x"])", "invalid type: string \"x\", expected u32 at line 1 column 4"},
        ReaderCase{R"(["a\nb\"c"])", "invalid type: string \"a\\nb\\\"c\", expected u32 at line 1 column 10"},
        ReaderCase{R"([2,"a","audio.status"])", ""},
        ReaderCase{R"([2,"a","b",null,0,1])", "trailing characters at line 1 column 19"},
        ReaderCase{R"([2,"a","b",{"k":1e400}])", "number out of range at line 1 column 21"},
        ReaderCase{R"({"protocolVersion":2,"version":2,"requestId":"a","operation":"x"})",
                   "duplicate field `protocolVersion` at line 1 column 30"},
        ReaderCase{R"({"payload":1,"args":2,"protocolVersion":2,"requestId":"a","operation":"x"})",
                   "duplicate field `payload` at line 1 column 19"},
        ReaderCase{R"({"protocolVersion":2,"requestId":"a","requestId":"b","operation":"x"})",
                   "duplicate field `requestId` at line 1 column 48"},
        ReaderCase{R"({"protocolVersion":-1,)" + kTail + "}",
                   "invalid value: integer `-1`, expected u32 at line 1 column 21"},
        ReaderCase{R"({"protocolVersion":4294967296,)" + kTail + "}",
                   "invalid value: integer `4294967296`, expected u32 at line 1 column 29"},
        ReaderCase{R"({"protocolVersion":2.0,)" + kTail + "}",
                   "invalid type: floating point `2.0`, expected u32 at line 1 column 22"},
        ReaderCase{R"({"protocolVersion":"2",)" + kTail + "}",
                   "invalid type: string \"2\", expected u32 at line 1 column 22"},
        ReaderCase{R"({"protocolVersion":true,)" + kTail + "}",
                   "invalid type: boolean `true`, expected u32 at line 1 column 23"},
        ReaderCase{R"({"protocolVersion":01,)" + kTail + "}", "invalid number at line 1 column 21"},
        ReaderCase{R"({"protocolVersion":99,)" + kTail + "}", ""},
        ReaderCase{R"({"version":2,"requestId":"a","operation":"audio.status"})", ""},
        ReaderCase{R"({"protocolVersion":2,"requestId":5,"operation":"x"})",
                   "invalid type: integer `5`, expected a string at line 1 column 34"},
        ReaderCase{R"({"protocolVersion":2,"requestId":[1],"operation":"x"})",
                   "invalid type: sequence, expected a string at line 1 column 33"},
        ReaderCase{R"({"protocolVersion":2,)" + kTail + R"(,"sessionEpoch":-5})",
                   "invalid value: integer `-5`, expected u64 at line 1 column 70"},
        ReaderCase{R"({"protocolVersion":2,)" + kTail + "} x", "trailing characters at line 1 column 55"},
        ReaderCase{R"({"protocolVersion":2,)" + kTail + ",}", "trailing comma at line 1 column 54"},
        ReaderCase{R"({"protocolVersion":2,)" + kTail, "EOF while parsing an object at line 1 column 52"},
        ReaderCase{R"({"protocolVersion":2 "requestId":"a"})", "expected `,` or `}` at line 1 column 22"},
        ReaderCase{R"({"protocolVersion" 2})", "expected `:` at line 1 column 20"},
        ReaderCase{"{1:2}", "key must be a string at line 1 column 2"},
        ReaderCase{"{\"requestId\":\"a\tb\"}",
                   "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 16"},
        ReaderCase{R"({"requestId":"\x"})", "invalid escape at line 1 column 16"},
        ReaderCase{R"({"requestId":"\udc00"})", "lone leading surrogate in hex escape at line 1 column 20"},
        ReaderCase{R"({"requestId":"\ud83d"})", "unexpected end of hex escape at line 1 column 20"},
        ReaderCase{R"({"requestId":"ab)", "EOF while parsing a string at line 1 column 16"},
        ReaderCase{R"({"protocolVersion":2,)" + kTail + R"(,"payload":[1,2,]})",
                   "trailing comma at line 1 column 69"},
        ReaderCase{R"({"protocolVersion":2,)" + kTail + R"(,"payload":[1 2]})",
                   "expected `,` or `]` at line 1 column 67"},
        ReaderCase{R"({"protocolVersion":2,)" + kTail + R"(,"payload":1.})",
                   "invalid number at line 1 column 66"},
        ReaderCase{R"({"protocolVersion":2,)" + kTail + R"(,"payload":-})",
                   "invalid number at line 1 column 65"},
        // Unknown keys are skipped whatever they hold.
        ReaderCase{
            R"({"extra":{"deep":[[[]],{"a":[1,-2.5e3,"s\"",true,null]}]},"protocolVersion":2,)" + kTail + "}",
            ""},
        ReaderCase{R"({"extra":[1,}],"protocolVersion":2,)" + kTail + "}",
                   "expected value at line 1 column 13"}));

TEST(RequestReader, FillsFieldsFromEitherForm) {
  const auto obj = read_request(
      R"({"sessionEpoch":42,"args":{"k":[1,-2,0.5,"t"]},"operation":"audio.status","requestId":"r\u00e9","version":7})");
  ASSERT_TRUE(obj.has_value()) << obj.error();
  EXPECT_EQ(obj->protocolVersion, 7u);
  EXPECT_EQ(obj->requestId, "r\xC3\xA9");
  EXPECT_EQ(obj->operation, "audio.status");
  EXPECT_EQ(obj->sessionEpoch, 42u);
  EXPECT_EQ(obj->payload, Json::parse(R"({"k":[1,-2,0.5,"t"]})"));

  const auto arr = read_request(R"([2,"a","audio.status"])");
  ASSERT_TRUE(arr.has_value());
  EXPECT_TRUE(arr->payload.is_null());
  EXPECT_EQ(arr->sessionEpoch, 0u);

  const auto full = read_request(R"([2,"a","b",{"x":1},9])");
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(full->payload, Json::parse(R"({"x":1})"));
  EXPECT_EQ(full->sessionEpoch, 9u);

  const auto pair = read_request(R"({"protocolVersion":2,"requestId":"\ud83d\ude00","operation":"x"})");
  ASSERT_TRUE(pair.has_value());
  EXPECT_EQ(pair->requestId, "\xF0\x9F\x98\x80");
}

TEST(RequestReader, KeepsNumberKinds) {
  const auto r = read_request(
      R"({"protocolVersion":2,"requestId":"a","operation":"x","payload":[18446744073709551615,-9223372036854775808,-0,1e2,99999999999999999999]})");
  ASSERT_TRUE(r.has_value()) << r.error();
  const Json& p = r->payload;
  EXPECT_TRUE(p[0].is_number_unsigned());
  EXPECT_EQ(p[0].get<std::uint64_t>(), UINT64_MAX);
  EXPECT_TRUE(p[1].is_number_integer());
  EXPECT_EQ(p[1].get<std::int64_t>(), INT64_MIN);
  EXPECT_TRUE(p[2].is_number_float());
  EXPECT_TRUE(std::signbit(p[2].get<double>()));
  EXPECT_TRUE(p[3].is_number_float());
  EXPECT_DOUBLE_EQ(p[4].get<double>(), 1e20);
}

TEST(RequestReader, DeepNestingIsRefusedNotOverflowed) {
  const std::string prefix = R"({"protocolVersion":2,"requestId":"a","operation":"x","payload":)";
  ASSERT_EQ(prefix.size(), 63u);
  EXPECT_EQ(read_request(prefix + std::string(200, '[')).error(),
            "recursion limit exceeded at line 1 column 190");
  // 126 levels inside the request still read.
  EXPECT_TRUE(read_request(prefix + std::string(126, '[') + std::string(126, ']') + "}").has_value());
  // A line of brackets fails on the type of its first field, at once.
  EXPECT_EQ(read_request(std::string(3'000'000, '[')).error(),
            "invalid type: sequence, expected u32 at line 1 column 1");
  // Values of unknown keys are skipped with no depth limit and no recursion.
  const std::string deep = std::string(100'000, '[') + std::string(100'000, ']');
  EXPECT_TRUE(read_request(R"({"x":)" + deep + R"(,"protocolVersion":2,"requestId":"a","operation":"b"})")
                  .has_value());
}

}  // namespace
}  // namespace melodara
