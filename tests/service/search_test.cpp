// The two search operations through the dispatcher, with stand-in curl and
// yt-dlp scripts that log their arguments and print canned answers.
#include <filesystem>

#include "dispatch_fixture.h"
#include "media_test_support.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// Quotes, backslashes, shell syntax and Vietnamese letters, with blanks around.
const std::string kQuery = "  Tìm \"bài\" C:\\nhạc\\ $(touch x) `id`; ơi \t";
const std::string kTrimmed = "Tìm \"bài\" C:\\nhạc\\ $(touch x) `id`; ơi";

const std::string kWebPage = R"({"contents":{"sectionListRenderer":{"contents":[
  {"videoRenderer":{"videoId":"yt1","title":{"runs":[{"text":"Bài "},{"text":"một"}]}}},
  {"videoRenderer":{"videoId":"yt2","title":{"simpleText":"Bài hai"}}}]}}})";
const std::string kWebResults =
    R"({"results":[{"id":"yt1","source":"youtube","thumbnail":"https://i.ytimg.com/vi/yt1/mqdefault.jpg","title":"Bài một","url":"https://www.youtube.com/watch?v=yt1","webpageUrl":"https://www.youtube.com/watch?v=yt1"},)"
    R"({"id":"yt2","source":"youtube","thumbnail":"https://i.ytimg.com/vi/yt2/mqdefault.jpg","title":"Bài hai","url":"https://www.youtube.com/watch?v=yt2","webpageUrl":"https://www.youtube.com/watch?v=yt2"}]})";

const std::string kDump = R"({"title":"ytsearch10","entries":[{"id":"d1","title":"Dump"},{"id":"d2"}]})";
const std::string kDumpResults =
    R"({"results":[{"id":"d1","source":"youtube","thumbnail":"https://i.ytimg.com/vi/d1/mqdefault.jpg","title":"Dump","url":"https://www.youtube.com/watch?v=d1","webpageUrl":"https://www.youtube.com/watch?v=d1"},)"
    R"({"id":"d2","source":"youtube","thumbnail":"https://i.ytimg.com/vi/d2/mqdefault.jpg","title":"YouTube Karaoke","url":"https://www.youtube.com/watch?v=d2","webpageUrl":"https://www.youtube.com/watch?v=d2"}]})";

const std::string kTooShort = "Từ khóa cần ít nhất 2 ký tự.";

Strings web_search_args(const std::string& query) {
  return {
      "-4",
      "-sL",
      "--max-time",
      "10",
      "-H",
      "Content-Type: application/json",
      "-A",
      "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36",
      "-d",
      R"({"context":{"client":{"clientName":"WEB","clientVersion":"2.20250101.00.00","gl":"VN","hl":"vi"}},"query":)" +
          to_json_text(Json(query)) + "}",
      "https://www.youtube.com/youtubei/v1/search?prettyPrint=false"};
}

Strings ytdlp_args(const std::string& query) {
  return {"-4",
          "--socket-timeout",
          "10",
          "--no-config",
          "--flat-playlist",
          "--dump-single-json",
          "--no-warnings",
          "--skip-download",
          "ytsearch10:" + query};
}

// PATH holds the stand-ins alone, so a missing stand-in is a missing tool and
// nothing reaches the network.
class Search : public DispatchFixture {
 protected:
  test::TempDir home, bin;
  test::ScopedEnv h{"HOME", home.path().string()};
  test::ScopedEnv p{"PATH", bin.path().string()};
  test::ScopedEnv y{"MELODARA_YTDLP_PATH", (bin / "yt-dlp").string()};
  test::StandInTool curl{bin / "curl"};
  test::StandInTool ytdlp{bin / "yt-dlp"};

  Response search(const std::string& op, const std::string& query) {
    return run("s", op, Json{{"query", query}});
  }
  static std::string result_text(const Response& r) {
    EXPECT_TRUE(r.ok) << (r.error ? r.error->message : "");
    return r.result ? to_json_text(*r.result) : "";
  }
};

TEST_F(Search, YoutubeWebSearchArgumentsAndResults) {
  curl.answer(kWebPage);
  ytdlp.answer(kDump);
  const Response r = search("player.search-youtube", kQuery);
  EXPECT_EQ(result_text(r), kWebResults);
  EXPECT_EQ(r.sessionEpoch, 1u);
  EXPECT_EQ(curl.runs(), std::vector<Strings>{web_search_args(kTrimmed)});
  // The body escapes what JSON must escape and nothing else.
  EXPECT_EQ(
      web_search_args(kTrimmed)[9],
      R"({"context":{"client":{"clientName":"WEB","clientVersion":"2.20250101.00.00","gl":"VN","hl":"vi"}},"query":"Tìm \"bài\" C:\\nhạc\\ $(touch x) `id`; ơi"})");
  EXPECT_TRUE(ytdlp.runs().empty());
}

TEST_F(Search, YoutubeFallsBackToYtdlpOnEveryWebFailure) {
  struct Case {
    const char* what;
    std::optional<std::string> page;  // none: no curl at all
    int code;
  } cases[] = {
      {"curl missing", std::nullopt, 0},
      {"curl fails", kWebPage, 22},
      {"not JSON", "<html>blocked</html>", 0},
      {"not UTF-8", "{\"a\":\"\xFF\"," + kWebPage.substr(1), 0},
      {"deeper than the reader allows", std::string(200, '[') + std::string(200, ']'), 0},
      {"no renderer", R"({"contents":[{"videoRenderer":{"videoId":""}},{"shelf":{"videoId":"x"}}]})", 0},
  };
  ytdlp.answer(kDump);
  for (const Case& c : cases) {
    fs::remove(curl.path());
    if (c.page) curl.answer(*c.page, c.code);
    EXPECT_EQ(result_text(search("player.search-youtube", " ab ")), kDumpResults) << c.what;
  }
  EXPECT_EQ(ytdlp.runs(), std::vector<Strings>(std::size(cases), ytdlp_args("ab")));
  EXPECT_EQ(curl.runs().size(), std::size(cases) - 1);
}

TEST_F(Search, YtdlpOutcomes) {
  curl.answer("{}");
  struct Case {
    std::string out;
    int code;
    bool ok;
    std::string text;  // the result, or the error message
  } cases[] = {
      {kDump, 0, true, kDumpResults},
      {R"({"title":"no entries"})", 0, true, R"({"results":[]})"},
      {R"({"entries":{"id":"x"}})", 0, true, R"({"results":[]})"},
      {R"([{"id":"x"}])", 0, true, R"({"results":[]})"},
      {kDump, 1, false, "Tìm kiếm YouTube không thành công."},
      {"ERROR: not JSON", 0, false, "Dữ liệu YouTube không hợp lệ."},
      {"", 0, false, "Dữ liệu YouTube không hợp lệ."},
      {kDump + "x", 0, false, "Dữ liệu YouTube không hợp lệ."},
  };
  for (const Case& c : cases) {
    ytdlp.answer(c.out, c.code);
    const Response r = search("player.search-youtube", "ab");
    if (c.ok) {
      EXPECT_EQ(result_text(r), c.text) << c.out;
    } else {
      expect_error(r, ErrorCode::InternalError, c.text);
      EXPECT_FALSE(r.error->retryable);
    }
  }
  // A yt-dlp that cannot be started.
  fs::permissions(ytdlp.path(), fs::perms::owner_read | fs::perms::owner_write);
  expect_error(search("player.search-youtube", "ab"), ErrorCode::InternalError,
               "Tìm kiếm YouTube thất bại: missing-command");
}

TEST_F(Search, YoutubeWithoutYtdlpIsUnavailableEvenWhenTheWebAnswered) {
  if (test::system_ytdlp_present()) GTEST_SKIP() << "a yt-dlp is installed in a fixed folder";
  curl.answer(R"({"contents":[]})");
  expect_error(search("player.search-youtube", "ab"), ErrorCode::EngineUnavailable,
               "Chưa cài yt-dlp để tìm kiếm YouTube.");
  EXPECT_EQ(curl.runs().size(), 1u);
}

TEST_F(Search, QueriesUnderTwoCharactersRunNothing) {
  curl.answer(kWebPage);
  ytdlp.answer(kDump);
  const Json payloads[] = {
      nullptr,
      Json::object(),
      Json::array({"query", "ab"}),
      Json{{"query", 12}},
      Json{{"query", ""}},
      Json{{"query", "   "}},
      Json{{"query", " ă "}},              // one letter of two bytes
      Json{{"query", "\u3000a\u00a0\n"}},  // Unicode blanks around one letter
  };
  for (const char* op : {"player.search-youtube", "player.search-bilibili"}) {
    for (const Json& payload : payloads) {
      const Response r = run("q", op, payload);
      expect_error(r, ErrorCode::InvalidRequest, kTooShort);
      EXPECT_EQ(r.sessionEpoch, 1u);
    }
  }
  EXPECT_TRUE(curl.runs().empty());
  EXPECT_TRUE(ytdlp.runs().empty());
  // Two letters, whatever their size, are enough.
  EXPECT_EQ(result_text(search("player.search-youtube", "\u3000ăơ ")), kWebResults);
  EXPECT_EQ(curl.runs().at(0), web_search_args("ăơ"));
}

TEST_F(Search, BilibiliArgumentsAndResults) {
  const std::string page = R"({"code":0,"data":{"result":[
    {"bvid":"BV1ab","title":"<em class=\"keyword\">karaoke</em> remix","pic":"//i0.hdslb.com/1.jpg"},
    {"title":"no bvid"},
    {"bvid":"BV2cd"}]}})";
  // curl's exit status does not count: what it printed does.
  curl.answer(page, 7);
  const Response r = search("player.search-bilibili", kQuery);
  EXPECT_EQ(
      result_text(r),
      R"({"results":[{"id":"BV1ab","source":"bilibili","thumbnail":"//i0.hdslb.com/1.jpg","title":"karaoke remix","url":"https://www.bilibili.com/video/BV1ab","webpageUrl":"https://www.bilibili.com/video/BV1ab"},)"
      R"({"id":"BV2cd","source":"bilibili","thumbnail":"","title":"Bilibili","url":"https://www.bilibili.com/video/BV2cd","webpageUrl":"https://www.bilibili.com/video/BV2cd"}]})");
  const Strings expected = {"-4",
                            "-sL",
                            "--max-time",
                            "15",
                            "-A",
                            "Mozilla/5.0 Melodara/1.0",
                            "--get",
                            "--data-urlencode",
                            "search_type=video",
                            "--data-urlencode",
                            "keyword=" + kTrimmed,
                            "--data-urlencode",
                            "page=1",
                            "--data-urlencode",
                            "page_size=20",
                            "https://api.bilibili.com/x/web-interface/search/type"};
  EXPECT_EQ(curl.runs(), std::vector<Strings>{expected});
}

TEST_F(Search, BilibiliOutcomes) {
  struct Case {
    std::string out;
    bool ok;
    std::string text;  // the result, or the error message
  } cases[] = {
      {R"({"code":-412,"message":"request was banned"})", true, R"({"results":[]})"},
      {R"({"code":0,"data":{"result":"x"}})", true, R"({"results":[]})"},
      {R"({"code":0,"data":[{"result":[]}]})", true, R"({"results":[]})"},
      {R"([])", true, R"({"results":[]})"},
      {"<html>412</html>", false, "Bilibili trả về dữ liệu không hợp lệ."},
      {"", false, "Bilibili trả về dữ liệu không hợp lệ."},
      {"{\"code\":\"\xC3\"}", false, "Bilibili trả về dữ liệu không hợp lệ."},
  };
  for (const Case& c : cases) {
    curl.answer(c.out);
    const Response r = search("player.search-bilibili", "ab");
    if (c.ok) {
      EXPECT_EQ(result_text(r), c.text) << c.out;
    } else {
      expect_error(r, ErrorCode::InternalError, c.text);
    }
  }
  fs::remove(curl.path());
  expect_error(search("player.search-bilibili", "ab"), ErrorCode::InternalError,
               "Không kết nối được Bilibili: missing-command");
}

}  // namespace
}  // namespace melodara
