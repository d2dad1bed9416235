#include "service/request_loop.h"

#include <gtest/gtest.h>

namespace melodara {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(RequestLoop, PrepareLineTrimsAndStripsMarks) {
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
      {"{}\xEF\xBB\xBF", "{}\xEF\xBB\xBF"},          // a later mark stays
      {"\x0B{}\x0C", "{}"},
      {"\xFF", kFffd},
  };
  for (const auto& c : cases) EXPECT_EQ(prepare_line(c.raw), c.prepared) << c.raw;
}

}  // namespace
}  // namespace melodara
