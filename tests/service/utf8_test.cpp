#include "service/utf8.h"

#include <gtest/gtest.h>

#include "service/request_loop.h"

namespace melodara {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Utf8, LossyReplacesEachMaximalInvalidSubpart) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"plain", "plain"},
      {"\xC3\xA9", "\xC3\xA9"},
      {"a\xFF" "b", "a" + kFffd + "b"},
      {"\xF0\x9F\x98", kFffd},                    // truncated 4-byte sequence: one
      {"\xC0\x80", kFffd + kFffd},                // overlong lead: each byte
      {"\xED\xA0\x80", kFffd + kFffd + kFffd},    // surrogate: each byte
      {"\xE2\x82" "x", kFffd + "x"},
      {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // above U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_lossy(c.in), c.out) << c.in;
}

TEST(Utf8, PrepareLineTrimsAndStripsMarks) {
  struct Case {
    std::string raw;
    std::optional<std::string> prepared;
  } cases[] = {
      {"", std::nullopt},
      {"  \t ", std::nullopt},
      {"\n", std::nullopt},
      {"\xEF\xBB\xBF\xEF\xBB\xBF", std::nullopt},
      {"{}\r\n", "{}"},
      {"\xC2\xA0{}\xE3\x80\x80\xE2\x80\xA8", "{}"},  // no-break space, ideographic space, line separator
      {"\xEF\xBB\xBF\xEF\xBB\xBF {}", " {}"},        // marks go after the trim, blanks behind them stay
      {"{}\xEF\xBB\xBF", "{}\xEF\xBB\xBF"},           // a later mark stays
      {"\x0B{}\x0C", "{}"},
      {"\xFF", kFffd},
  };
  for (const auto& c : cases) EXPECT_EQ(prepare_line(c.raw), c.prepared) << c.raw;
}

}  // namespace
}  // namespace melodara
