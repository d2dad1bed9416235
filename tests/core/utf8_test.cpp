#include "core/utf8.h"

#include <gtest/gtest.h>

namespace melodara {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Utf8, LossyReplacesEachMaximalInvalidSubpart) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"plain", "plain"},
      {"\xC3\xA9", "\xC3\xA9"},
      {"a\xFF"
       "b",
       "a" + kFffd + "b"},
      {"\xF0\x9F\x98", kFffd},                  // truncated 4-byte sequence: one
      {"\xC0\x80", kFffd + kFffd},              // overlong lead: each byte
      {"\xED\xA0\x80", kFffd + kFffd + kFffd},  // surrogate: each byte
      {"\xE2\x82"
       "x",
       kFffd + "x"},
      {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // above U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_lossy(c.in), c.out) << c.in;
}

TEST(Utf8, ScalarCountCountsCharactersNotBytes) {
  EXPECT_EQ(utf8_scalar_count(""), 0u);
  EXPECT_EQ(utf8_scalar_count("ab"), 2u);
  EXPECT_EQ(utf8_scalar_count("\xC4\x83"), 1u);                       // ă
  EXPECT_EQ(utf8_scalar_count("a\xE1\xBB\x9F\xF0\x9F\x8E\xA4"), 3u);  // a, ở, a 4-byte emoji
}

}  // namespace
}  // namespace melodara
