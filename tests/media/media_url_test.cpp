// Resolution of a page address to a direct media address with yt-dlp -g.
#include <gtest/gtest.h>

#include "media/fetch_texts.h"
#include "media/media_url.h"
#include "media_test_support.h"

namespace melodara {
namespace {

using test::FakeYtdlp;
using test::ScopedEnv;

const std::string kPage = "https://www.youtube.com/watch?v=dQw4w9WgXcQ";

TEST(PageAddress, NeedsWebSchemeAndASiteHost) {
  EXPECT_TRUE(is_page_address(kPage));
  EXPECT_TRUE(is_page_address(" http://youtu.be/dQw4w9WgXcQ "));
  EXPECT_TRUE(is_page_address("https://www.bilibili.com/video/BV1xx411c7mD"));
  EXPECT_FALSE(is_page_address("https://cdn.example.com/a.mp3"));
  EXPECT_FALSE(is_page_address("/music/youtube.com/a.mp3"));
  EXPECT_FALSE(is_page_address("ftp://youtube.com/x"));
}

TEST(ResolveMediaUrl, RefusesAMissingUrl) {
  for (const Json& payload :
       {Json(nullptr), Json::array({"url"}), Json{{"url", 5}}, Json{{"url", " \t"}}, Json{{"link", kPage}}}) {
    const auto r = resolve_media_url(payload, kDirectSelector);
    ASSERT_FALSE(r.has_value()) << payload;
    EXPECT_EQ(r.error().code, ErrorCode::InvalidRequest);
    EXPECT_EQ(r.error().message, "Thiếu URL nguồn phát.");
  }
}

TEST(ResolveMediaUrl, DirectLinksAndPathsAnswerThemselves) {
  FakeYtdlp ytdlp;
  for (const char* url : {"https://cdn.example.com/a.mp3", "/home/u/song.mp3"}) {
    const auto r = resolve_media_url(Json{{"url", std::string("  ") + url}}, kDirectSelector);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, (Json{{"url", url}}));
  }
  EXPECT_TRUE(ytdlp.runs().empty());
}

TEST(ResolveMediaUrl, PageAddressThroughYtdlp) {
  FakeYtdlp ytdlp;
  ytdlp.put("g.txt", "  https://media.example.com/a.m4a?x=1 \r\nhttps://second\n");
  const auto r = resolve_media_url(Json{{"url", kPage}}, "best[x]");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, (Json{{"url", "https://media.example.com/a.m4a?x=1"}}));
  const auto runs = ytdlp.runs();
  ASSERT_EQ(runs.size(), 1u);
  const std::vector<std::string> expected{
      "-4", "--socket-timeout", "10", "--no-config", "--no-playlist", "-g", "-f", "best[x]", kPage};
  EXPECT_EQ(runs[0].args, expected);
}

TEST(ResolveMediaUrl, Failures) {
  {
    ScopedEnv no_tool("MELODARA_YTDLP_PATH", std::nullopt);
    ScopedEnv home("HOME", "/nonexistent");
    ScopedEnv path("PATH", "/nonexistent");
    const auto r = resolve_media_url(Json{{"url", kPage}}, kDirectSelector);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().code, ErrorCode::EngineUnavailable);
    EXPECT_EQ(r.error().message, "Chưa cài yt-dlp để phân giải luồng phát.");
  }
  FakeYtdlp ytdlp;
  ytdlp.put("g.txt", "https://x\n");
  ytdlp.put("exit.g", "1");
  auto r = resolve_media_url(Json{{"url", kPage}}, kDirectSelector);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code, ErrorCode::InternalError);
  EXPECT_EQ(r.error().message, "Không lấy được luồng phát trực tiếp.");

  ytdlp.put("exit.g", "0");
  ytdlp.put("g.txt", " \r\nhttps://x\n");
  r = resolve_media_url(Json{{"url", kPage}}, kDirectSelector);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message, "URL media trực tiếp trống.");

  ytdlp.put("sleep.g", "30");
  MediaLimits limits;
  limits.resolve_limit = std::chrono::milliseconds(300);
  r = resolve_media_url(Json{{"url", kPage}}, kDirectSelector, limits);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code, ErrorCode::InternalError);
  EXPECT_EQ(r.error().message, "Không phân giải được URL media: timeout");
}

}  // namespace
}  // namespace melodara
