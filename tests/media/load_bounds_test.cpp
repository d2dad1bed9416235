// The bounds of a load: sources that are not regular files fail at once, an
// endless stream and a small file that decodes to far too long are refused
// without memory passing the track bound, a stalled server ends within the
// time limits and leaves no child behind.
#include <sys/stat.h>

#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "media/inprocess_decoder.h"
#include "media/load_ladder.h"
#include "media_test_support.h"

namespace melodara {
namespace {

using test::ScopedEnv;
using test::TempDir;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class BoundsTest : public ::testing::Test {
 protected:
  // Runs the load on a thread of its own; none when it has not ended in time.
  std::optional<std::expected<DecodedMedia, std::string>> load_within(const std::string& source,
                                                                      const MediaLimits& limits,
                                                                      std::chrono::seconds deadline) {
    auto done = std::make_shared<std::promise<std::expected<DecodedMedia, std::string>>>();
    auto result = done->get_future();
    std::thread([done, source, limits] {
      done->set_value(load_media_source(source, nullptr, limits));
    }).detach();
    if (result.wait_for(deadline) != std::future_status::ready) return std::nullopt;
    return result.get();
  }

  // Our children but the HTTP server.
  std::vector<pid_t> stray_children(pid_t server) {
    auto children = test::live_children();
    std::erase(children, server);
    return children;
  }

  TempDir home;
  ScopedEnv home_env{"HOME", home.path().string()};
  TempDir files;
};

TEST_F(BoundsTest, SourcesThatAreNotRegularFilesFailAtOnce) {
  const fs::path fifo = files / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& source : std::vector<std::string>{"/dev/zero", fifo.string(), "/dev/stdin"}) {
    const auto start = Clock::now();
    const auto media = load_within(source, {}, std::chrono::seconds(20));
    ASSERT_TRUE(media.has_value()) << source << " did not end";
    EXPECT_EQ(media->error(), kUndecodableMessage) << source;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << source;
  }
}

TEST_F(BoundsTest, EndlessStreamIsRefusedWithinTheBound) {
  test::LocalHttpServer server(files.path());
  ASSERT_TRUE(server.ready());
  MediaLimits limits;
  limits.max_track_frames = 20 * 48000;  // 7.7 MB of samples
  limits.max_source_bytes = 4u << 20;    // 4 MiB fetched
  test::reset_peak_memory();
  const std::uint64_t before = test::resident_memory_bytes();
  const auto media = load_within(server.url("endless.wav"), limits, std::chrono::seconds(120));
  ASSERT_TRUE(media.has_value()) << "the load did not end";
  EXPECT_EQ(media->error(), kUndecodableMessage);
  const std::uint64_t grown = test::peak_memory_bytes() - before;
  if (test::kPeakMemoryMeaningful) {
    EXPECT_LT(grown, 48u << 20) << "peak grew by " << grown;
  }
  EXPECT_TRUE(stray_children(server.pid()).empty());
}

TEST_F(BoundsTest, SmallFileOfLongSilenceIsRefused) {
  const fs::path flac = files / "silence.flac";
  ASSERT_TRUE(test::run_ffmpeg(
      {"-f", "lavfi", "-i", "anullsrc=r=8000:cl=mono", "-t", "1200", "-c:a", "flac", flac.string()}));
  ASSERT_LT(fs::file_size(flac), 400'000u) << "twenty minutes in a small file";
  MediaLimits limits;
  limits.max_track_frames = 60 * 48000;  // one minute
  test::reset_peak_memory();
  const std::uint64_t before = test::resident_memory_bytes();
  const auto media = load_within(flac.string(), limits, std::chrono::seconds(120));
  ASSERT_TRUE(media.has_value());
  EXPECT_EQ(media->error(), kUndecodableMessage);
  EXPECT_FALSE(decode_with_symphonia(test::read_bytes(flac), limits).has_value());
  const std::uint64_t grown = test::peak_memory_bytes() - before;
  if (test::kPeakMemoryMeaningful) {
    EXPECT_LT(grown, 64u << 20) << "peak grew by " << grown;
  }

  // Within the bound the same file plays.
  limits.max_track_frames = 30 * 60 * 48000;
  EXPECT_TRUE(decode_with_symphonia(test::read_bytes(flac), limits).has_value());
}

TEST_F(BoundsTest, StalledServerEndsWithinTheLimitsAndLeavesNoChild) {
  test::LocalHttpServer server(files.path());
  ASSERT_TRUE(server.ready());
  test::FakeYtdlp ytdlp;
  MediaLimits limits;
  for (auto* limit :
       {&limits.download_limit, &limits.ranged_fetch_limit, &limits.stdout_download_limit,
        &limits.video_download_limit, &limits.resolve_limit, &limits.fetch_limit, &limits.web_decode_limit}) {
    *limit = std::chrono::seconds(1);
  }
  // A web address: ffmpeg on it, then curl, each ended at its limit.
  auto start = Clock::now();
  auto media = load_within(server.url("stall.mp3"), limits, std::chrono::seconds(60));
  ASSERT_TRUE(media.has_value());
  EXPECT_EQ(media->error(), kUndecodableMessage);
  EXPECT_GE(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(stray_children(server.pid()).empty());

  // A page address whose direct address stalls: the ranged fetch, ffmpeg and
  // curl on it, and ffmpeg and curl on the page itself all end at theirs.
  ytdlp.put("g.txt", server.url("stall.m4a") + "\n");
  start = Clock::now();
  media = load_within(server.url("stall/youtube.com/watch?v=dQw4w9WgXcQ"), limits, std::chrono::seconds(90));
  ASSERT_TRUE(media.has_value());
  EXPECT_EQ(media->error(), kUndecodableMessage);
  EXPECT_GE(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(stray_children(server.pid()).empty());
}

}  // namespace
}  // namespace melodara
