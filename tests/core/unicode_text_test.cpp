// Unicode lower-casing and trimming of device names.
#include "core/unicode_text.h"

#include <gtest/gtest.h>

namespace melodara {
namespace {

TEST(UnicodeText, LowerCasesBySimpleMapping) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"Out Ảo / Loopback", "out ảo / loopback"},
      {"TAI NGHE ĐÀO ỨNG", "tai nghe đào ứng"},
      {"ΑΣΣ Привет ǅ", "ασσ привет ǆ"},  // Greek, Cyrillic, a title-case digraph
      {"Ⅻ Ａ 𐐀", "ⅻ ａ 𐐨"},              // roman numeral, full-width, Deseret (4 bytes)
      {"İ", "i"},                        // simple mapping: no combining dot
      {"ß ĳ", "ß ĳ"},                    // already lower
      {"A\xff"
       "B\xc3",
       "a\xff"
       "b\xc3"},  // invalid bytes pass through
  };
  for (const auto& c : cases) EXPECT_EQ(unicode_lower(c.in), c.out) << c.in;
  EXPECT_EQ(ascii_lower("ẢB"), "Ảb");
  EXPECT_TRUE(ascii_iequals("BlackHole 2ch", "blackhole 2CH"));
  EXPECT_FALSE(ascii_iequals("Ả", "ả"));
}

TEST(UnicodeText, TrimsUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trim_unicode(" \t\u00a0\u3000Mic\u2009 \n"), "Mic");
  EXPECT_EQ(trim_unicode("\ufeffMic"), "\ufeffMic");  // a byte-order mark is no white space
  EXPECT_EQ(trim_unicode("  "), "");
  EXPECT_EQ(trim_unicode("Tai nghe \u0085"), "Tai nghe");
  EXPECT_EQ(trim_unicode("Loa\xe2\x80"), "Loa\xe2\x80");  // a cut sequence stays
}

TEST(UnicodeText, TellsLettersFromOtherCodePoints) {
  for (const char32_t letter : {U'a', U'Z', U'đ', U'Ư', U'ế', U'ß', U'ж', U'ω', U'中', U'\u0301', U'𐐨'})
    EXPECT_TRUE(is_unicode_letter(letter)) << static_cast<unsigned>(letter);
  for (const char32_t other : {U'0', U'#', U'[', U' ', U'_', U'\u00a0', U'\u2013', U'٣', U'€', U'\U0010FFFF'})
    EXPECT_FALSE(is_unicode_letter(other)) << static_cast<unsigned>(other);
}

}  // namespace
}  // namespace melodara
