#include "core/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace melodara {
namespace {

TEST(JsonWriter, FloatsAreShortestWithFractionOrExponent) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {1.0, "1.0"},
      {0.5, "0.5"},
      {-2.0, "-2.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1e21, "1e21"},
      {1e16, "1e16"},
      {1e15, "1000000000000000.0"},
      {123456.789, "123456.789"},
      {1e-7, "1e-7"},
      {1e-5, "0.00001"},
      {1.5e-5, "0.000015"},
      {static_cast<double>(1e-6f), "9.999999974752427e-7"},
      {static_cast<double>(0.15f), "0.15000000596046448"},
      {static_cast<double>(0.78f), "0.7799999713897705"},
      {-2.5e-300, "-2.5e-300"},
      {12345678901234567890.0, "1.2345678901234567e19"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
      {5e-324, "5e-324"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_json_text(Json(c.value)), c.text);
    EXPECT_EQ(std::strtod(c.text, nullptr), c.value) << c.text;
  }
  EXPECT_EQ(to_json_text(json_from_f32(std::nanf(""))), "null");
  EXPECT_EQ(to_json_text(json_from_f64(INFINITY)), "null");
  EXPECT_EQ(format_f64(-INFINITY), "null");
}

TEST(JsonWriter, IntegersAndLiterals) {
  EXPECT_EQ(to_json_text(Json(-5)), "-5");
  EXPECT_EQ(to_json_text(Json(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
  EXPECT_EQ(to_json_text(Json(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
  EXPECT_EQ(to_json_text(Json::parse(R"([true,false,null,[],{}])")), "[true,false,null,[],{}]");
}

TEST(JsonWriter, StringsUseMinimalEscapesAndValidUtf8) {
  EXPECT_EQ(to_json_text(Json(std::string("\"\\/\b\f\n\r\t\x01\x1f\x7f \xC3\xA9"))),
            "\"\\\"\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f \xC3\xA9\"");
  EXPECT_EQ(to_json_text(Json(std::string("\0x", 2))), "\"\\u0000x\"");
  EXPECT_EQ(to_json_text(Json(std::string("a\xFF"
                                          "b"))),
            "\"a\xEF\xBF\xBD"
            "b\"");
}

TEST(JsonWriter, ObjectKeysInByteOrder) {
  Json obj = Json::object();
  obj["b"] = 1;
  obj["\xC3\xA9"] = 4;
  obj["a"] = Json::object({{"z", 1}, {"y", 2}});
  obj["B"] = 3;
  EXPECT_EQ(to_json_text(obj), "{\"B\":3,\"a\":{\"y\":2,\"z\":1},\"b\":1,\"\xC3\xA9\":4}");
}

TEST(JsonWriter, PrettyTextIndentsEachLevelByTwo) {
  const Json value = Json::parse(R"({"b":[1,{"y":0.15,"x":"\u00e9"},[]],"a":{},"c":null})");
  EXPECT_EQ(to_json_pretty_text(value),
            "{\n"
            "  \"a\": {},\n"
            "  \"b\": [\n"
            "    1,\n"
            "    {\n"
            "      \"x\": \"\xC3\xA9\",\n"
            "      \"y\": 0.15\n"
            "    },\n"
            "    []\n"
            "  ],\n"
            "  \"c\": null\n"
            "}");
  EXPECT_EQ(to_json_pretty_text(Json(1e-7)), "1e-7");
  EXPECT_EQ(Json::parse(to_json_pretty_text(value)), value);
}

}  // namespace
}  // namespace melodara
