// The search operations of the built service, with stand-in curl and yt-dlp
// scripts first on its PATH.
#include <signal.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <map>

#include "core/json_writer.h"
#include "media_test_support.h"
#include "service_process.h"

namespace melodara {
namespace {

using Clock = std::chrono::steady_clock;
using testing::ServiceOptions;
using testing::ServiceProcess;

std::string request(const std::string& id, const std::string& op, const std::string& query) {
  return to_json_text(
      Json{{"protocolVersion", 2}, {"requestId", id}, {"operation", op}, {"payload", {{"query", query}}}});
}

std::string ok_line(const std::string& id, const std::string& result) {
  return R"({"protocolVersion":2,"sessionEpoch":1,"requestId":")" + id + R"(","ok":true,"result":)" + result +
         "}";
}

std::string error_line(const std::string& id, const std::string& code, const std::string& message) {
  return R"({"protocolVersion":2,"sessionEpoch":1,"requestId":")" + id + R"(","ok":false,"error":{"code":")" +
         code + R"(","message":")" + message + R"(","retryable":false}})";
}

std::string youtube_hit(const std::string& id, const std::string& title) {
  return R"({"id":")" + id + R"(","source":"youtube","thumbnail":"https://i.ytimg.com/vi/)" + id +
         R"(/mqdefault.jpg","title":")" + title + R"(","url":"https://www.youtube.com/watch?v=)" + id +
         R"(","webpageUrl":"https://www.youtube.com/watch?v=)" + id + R"("})";
}

const std::string kDump = R"({"entries":[{"id":"d1","title":"Dump"}]})";

class SearchService : public ::testing::Test {
 protected:
  test::TempDir bin;
  test::StandInTool curl{bin / "curl"};
  test::StandInTool ytdlp{bin / "yt-dlp"};

  ServiceOptions options() const {
    return {{{"MELODARA_YTDLP_PATH", ytdlp.path().string()}}, {bin.path().string()}};
  }
};

TEST_F(SearchService, AnswersBothSitesOverTheLineProtocol) {
  // One page serves both sites: YouTube reads its renderers, Bilibili its data.result.
  curl.answer(R"({"contents":[{"videoRenderer":{"videoId":"w1","title":{"simpleText":"Web"}}}],
                  "data":{"result":[{"bvid":"BV9","title":"<em class=\"keyword\">Hát</em> cùng","pic":"p.jpg"}]}})");
  ytdlp.answer(kDump);
  ServiceProcess service(options());

  EXPECT_EQ(service.ask(request("y1", "player.search-youtube", " hát karaoke ")),
            ok_line("y1", R"({"results":[)" + youtube_hit("w1", "Web") + "]}"));
  EXPECT_EQ(
      service.ask(request("b1", "player.search-bilibili", "hát")),
      ok_line(
          "b1",
          R"({"results":[{"id":"BV9","source":"bilibili","thumbnail":"p.jpg","title":"Hát cùng","url":"https://www.bilibili.com/video/BV9","webpageUrl":"https://www.bilibili.com/video/BV9"}]})"));
  EXPECT_TRUE(ytdlp.runs().empty());

  curl.answer("not json");
  EXPECT_EQ(service.ask(request("y2", "player.search-youtube", "hát")),
            ok_line("y2", R"({"results":[)" + youtube_hit("d1", "Dump") + "]}"));
  EXPECT_EQ(service.ask(request("b2", "player.search-bilibili", "hát")),
            error_line("b2", "internal_error", "Bilibili trả về dữ liệu không hợp lệ."));
  EXPECT_EQ(service.ask(request("q", "player.search-bilibili", " ă ")),
            error_line("q", "invalid_request", "Từ khóa cần ít nhất 2 ký tự."));
  EXPECT_EQ(ytdlp.runs().size(), 1u);
  EXPECT_EQ(curl.runs().size(), 4u);
}

TEST_F(SearchService, ToolsThatNeverEndAreKilledAtTheirLimits) {
  // curl hangs on queries with "curl-sleeps", yt-dlp on those with "dlp-sleeps".
  curl.answer(R"({"contents":[]})", 0, "curl-sleeps");
  ytdlp.answer(kDump, 0, "dlp-sleeps");
  ServiceProcess service(options());

  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(service.write_line(request("web", "player.search-youtube", "curl-sleeps a")));
  ASSERT_TRUE(service.write_line(request("dlp", "player.search-youtube", "dlp-sleeps b")));
  ASSERT_TRUE(service.write_line(request("bili", "player.search-bilibili", "curl-sleeps c")));
  ASSERT_TRUE(service.write_line(R"({"protocolVersion":2,"requestId":"hs","operation":"system.handshake"})"));

  std::map<std::string, std::pair<std::string, double>> answers;  // id: line, seconds
  for (int i = 0; i < 4; ++i) {
    const auto line = service.read_line(std::chrono::seconds(90));
    ASSERT_TRUE(line) << "answer " << i;
    const Json answer = Json::parse(*line);
    answers[answer.at("requestId").get<std::string>()] = {
        *line, std::chrono::duration<double>(Clock::now() - start).count()};
  }
  // The searches run beside the request loop: the handshake does not wait for them.
  EXPECT_LT(answers["hs"].second, answers["web"].second);

  // Each answer comes once the limit has passed, and not long after.
  constexpr double kMargin = 10.0;
  EXPECT_EQ(answers["web"].first, ok_line("web", R"({"results":[)" + youtube_hit("d1", "Dump") + "]}"));
  EXPECT_GE(answers["web"].second, 12.0);
  EXPECT_LT(answers["web"].second, 12.0 + kMargin);
  EXPECT_EQ(answers["dlp"].first, error_line("dlp", "internal_error", "Tìm kiếm YouTube thất bại: timeout"));
  EXPECT_GE(answers["dlp"].second, 25.0);
  EXPECT_LT(answers["dlp"].second, 25.0 + kMargin);
  EXPECT_EQ(answers["bili"].first,
            error_line("bili", "internal_error", "Không kết nối được Bilibili: timeout"));
  EXPECT_GE(answers["bili"].second, 18.0);
  EXPECT_LT(answers["bili"].second, 18.0 + kMargin);

  // The hung tools are gone, not left behind.
  EXPECT_EQ(curl.hung_pids().size(), 2u);
  EXPECT_EQ(ytdlp.hung_pids().size(), 1u);
  for (const int pid : curl.hung_pids()) EXPECT_TRUE(::kill(pid, 0) == -1 && errno == ESRCH) << pid;
  for (const int pid : ytdlp.hung_pids()) EXPECT_TRUE(::kill(pid, 0) == -1 && errno == ESRCH) << pid;
}

}  // namespace
}  // namespace melodara
