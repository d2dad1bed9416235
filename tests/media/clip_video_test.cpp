// Clip video downloads: one download per target, a second request waits for
// it; only a usable MP4 reaches the target, by rename; nothing else is left.
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "media/clip_video.h"
#include "media/fetch_texts.h"
#include "media/player_cache.h"
#include "media_test_support.h"

namespace melodara {
namespace {

using test::FakeYtdlp;
using test::TempDir;
namespace fs = std::filesystem;

const std::string kPage = "https://www.youtube.com/watch?v=dQw4w9WgXcQ";

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class ClipVideoTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(test::make_clip_video(fixtures / "video.mp4", 2.0, 0.3).empty()); }
  TempDir fixtures;
  TempDir cache;
  FakeYtdlp ytdlp;
  fs::path target = cache / "clip-yt-dQw4w9WgXcQ.mp4";
};

TEST_F(ClipVideoTest, DownloadsIntoATemporaryNameThenRenames) {
  ytdlp.put_file("video.mp4", fixtures / "video.mp4");
  EXPECT_TRUE(download_clip_video(kPage, target));
  EXPECT_EQ(test::read_bytes(target), test::read_bytes(fixtures / "video.mp4"));
  EXPECT_EQ(entries(cache.path()), std::vector<std::string>{"clip-yt-dQw4w9WgXcQ.mp4"});
  const auto runs = ytdlp.runs();
  ASSERT_EQ(runs.size(), 1u);
  const std::string temp = (cache / "clip-yt-dQw4w9WgXcQ.part.").string() + std::to_string(::getpid()) + ".";
  ASSERT_EQ(runs[0].args.size(), 13u);
  const std::vector<std::string> head{
      "-4",        "--socket-timeout",       "10", "--no-config", "--no-playlist",
      "--no-part", "--concurrent-fragments", "4",  "-f",          std::string(kVideoSelector),
      "-o"};
  EXPECT_EQ(std::vector<std::string>(runs[0].args.begin(), runs[0].args.begin() + 11), head);
  EXPECT_TRUE(runs[0].args[11].starts_with(temp) && runs[0].args[11].ends_with(".mp4")) << runs[0].args[11];
  // The start-up sweep reads the partial's name back.
  EXPECT_EQ(clip_video_part_pid(fs::path(runs[0].args[11]).filename().native()), ::getpid());
  EXPECT_EQ(runs[0].args[12], kPage);

  // A usable target is not downloaded again.
  EXPECT_TRUE(download_clip_video(kPage, target));
  EXPECT_EQ(ytdlp.runs().size(), 1u);
}

TEST(ClipVideoPartName, ReadsThePidOfPartialsOnly) {
  struct Case {
    std::string_view name;
    std::optional<pid_t> pid;
  };
  const Case cases[] = {
      {"clip-yt-aaaaaaaaaaa.part.4242.139872.mp4", 4242},
      {"clip-0123456789abcdef.part.7.18446744073709551615.mp4", 7},  // a thread number past any pid
      {"clip-yt-aaaaaaaaaaa.mp4", std::nullopt},
      {"clip-yt-aaaaaaaaaaa.part.4242.mp4", std::nullopt},
      {"clip-yt-aaaaaaaaaaa.part.4242..mp4", std::nullopt},
      {"clip-yt-aaaaaaaaaaa.part.4242.1x.mp4", std::nullopt},
      {"clip-yt-aaaaaaaaaaa.part.0.1.mp4", std::nullopt},
      {"clip-yt-aaaaaaaaaaa.part.4242.1.mp4.tmp-4242-0", std::nullopt},
      {"clip-yt-aaaaaaaaaaa.dl4242.part.4242.1.mp4", std::nullopt},
      {".part.4242.1.mp4", std::nullopt},
      {"a.part.mp4", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(clip_video_part_pid(c.name), c.pid) << c.name;
}

TEST_F(ClipVideoTest, TwoRequestsForOneTargetDownloadOnce) {
  ytdlp.put_file("video.mp4", fixtures / "video.mp4");
  ytdlp.put("sleep.video", "1");
  auto first = std::async(std::launch::async, [&] { return download_clip_video(kPage, target); });
  ASSERT_TRUE(test::wait_until([&] { return !ytdlp.runs().empty(); }, std::chrono::seconds(10)));
  const bool second = download_clip_video(kPage, target);  // waits for the first
  EXPECT_TRUE(first.get());
  EXPECT_TRUE(second);
  EXPECT_EQ(ytdlp.runs().size(), 1u);
  EXPECT_TRUE(is_mp4_file(target));
}

TEST_F(ClipVideoTest, FailuresLeaveNeitherTargetNorTemporary) {
  // AV1 video: not an MP4 we take.
  std::vector<std::uint8_t> av1(20000, 0);
  const std::string head = std::string("\0\0\0\x18", 4) + "ftypisomav01mp41";
  std::copy(head.begin(), head.end(), av1.begin());
  test::write_file(fixtures / "av1.mp4", av1);
  ytdlp.put_file("video.mp4", fixtures / "av1.mp4");
  EXPECT_FALSE(download_clip_video(kPage, target));
  EXPECT_TRUE(entries(cache.path()).empty());

  // A usable file but a failed run.
  ytdlp.put_file("video.mp4", fixtures / "video.mp4");
  ytdlp.put("exit.video", "1");
  EXPECT_FALSE(download_clip_video(kPage, target));
  EXPECT_TRUE(entries(cache.path()).empty());

  // Killed at its limit.
  ytdlp.put("exit.video", "0");
  ytdlp.put("sleep.video", "30");
  MediaLimits limits;
  limits.video_download_limit = std::chrono::milliseconds(500);
  EXPECT_FALSE(download_clip_video(kPage, target, limits));
  EXPECT_TRUE(entries(cache.path()).empty());
  EXPECT_EQ(ytdlp.runs().size(), 3u);
}

TEST_F(ClipVideoTest, WithoutYtdlpGivesUpAtOnce) {
  test::ScopedEnv no_tool("MELODARA_YTDLP_PATH", std::nullopt);
  test::ScopedEnv path("PATH", "/nonexistent");
  test::ScopedEnv home("HOME", cache.path().string());
  EXPECT_FALSE(download_clip_video(kPage, target));
  EXPECT_FALSE(fs::exists(target));
}

}  // namespace
}  // namespace melodara
