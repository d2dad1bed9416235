// The start-up backfill of the player cache: a cached YouTube clip without a
// side file is normalised once and gets its side file and its video; files of
// other shapes are left alone.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "media/analysis_meta.h"
#include "media/cache_backfill.h"
#include "media/player_cache.h"
#include "media_test_support.h"

namespace melodara {
namespace {

using test::FakeYtdlp;
using test::ScopedEnv;
using test::TempDir;
namespace fs = std::filesystem;

std::vector<std::uint8_t> loud_pcm(double seconds) {
  std::vector<float> s(2 * static_cast<std::size_t>(seconds * 48000));
  for (std::size_t i = 0; i < s.size(); ++i)
    s[i] = 0.6f * static_cast<float>(std::sin(0.0576 * double(i / 2)));
  std::vector<std::uint8_t> bytes(s.size() * 4);
  std::memcpy(bytes.data(), s.data(), bytes.size());
  return bytes;
}

std::vector<float> floats(const std::vector<std::uint8_t>& bytes) {
  std::vector<float> out(bytes.size() / 4);
  std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

TEST(CacheBackfill, NormalisesOnceAndFetchesVideosOfYoutubeClipsOnly) {
  TempDir home;
  ScopedEnv h("HOME", home.path().string());
  FakeYtdlp ytdlp;
  TempDir fixtures;
  ASSERT_FALSE(test::make_clip_video(fixtures / "video.mp4", 1.0, 0.3).empty());
  ytdlp.put_file("video.mp4", fixtures / "video.mp4");
  const fs::path cache = player_cache_dir();
  const auto loud = loud_pcm(2.0);

  const std::string id = "dQw4w9WgXcQ";
  test::write_file(cache / ("clip-yt-" + id + ".pcm48k"), loud);
  test::write_file(cache / ("clip-yt-" + id + ".audio"), std::vector<std::uint8_t>(2000, 1));  // the same id
  // Names of other shapes: a short id, an id that its watch address does not
  // map back to, a Bilibili and a hash id.
  const std::vector<std::string> others{"clip-yt-abc.pcm48k", "clip-yt-abc.def.ghi.pcm48k",
                                        "clip-bili-BV1xx411c7mD.pcm48k", "clip-0123456789abcdef.pcm48k"};
  for (const auto& name : others) test::write_file(cache / name, loud);

  clip_cache_backfill_worker();

  const std::string source = "https://www.youtube.com/watch?v=" + id;
  const auto meta = read_analysis_meta(source);
  ASSERT_TRUE(meta.has_value());
  EXPECT_TRUE(meta->normalized);
  EXPECT_EQ(meta->detected_bpm, 76.0f) << "the analysis found nothing";
  const auto normalised = test::read_bytes(cache / ("clip-yt-" + id + ".pcm48k"));
  ASSERT_EQ(normalised.size(), loud.size());
  EXPECT_NEAR(test::stereo_rms(floats(normalised)), 0.135, 0.002);
  EXPECT_TRUE(is_mp4_file(cache / ("clip-yt-" + id + ".mp4")));
  const auto runs = ytdlp.runs();
  ASSERT_EQ(runs.size(), 1u) << "one video, for the one YouTube id";
  EXPECT_EQ(runs[0].args.back(), source);

  for (const auto& name : others) {
    EXPECT_EQ(test::read_bytes(cache / name), loud) << name;
  }
  std::size_t side_files = 0;
  for (const auto& e : fs::directory_iterator(cache)) side_files += e.path().extension() == ".json";
  EXPECT_EQ(side_files, 1u);

  // A second start finds the side file and the video: nothing changes.
  clip_cache_backfill_worker();
  EXPECT_EQ(test::read_bytes(cache / ("clip-yt-" + id + ".pcm48k")), normalised);
  EXPECT_EQ(ytdlp.runs().size(), 1u);
}

}  // namespace
}  // namespace melodara
