#include "core/tool_discovery.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "media_test_support.h"

namespace melodara {
namespace {

using test::ScopedEnv;
using test::system_ytdlp_present;
using test::TempDir;
namespace fs = std::filesystem;

// A fresh HOME and a PATH holding only `bin` (plus /bin for the scripts' shell).
class DiscoveryTest : public ::testing::Test {
 protected:
  TempDir home;
  TempDir bin;
  ScopedEnv h{"HOME", home.path().string()};
  ScopedEnv p{"PATH", bin.path().string() + ":/bin"};
  ScopedEnv y{"MELODARA_YTDLP_PATH", std::nullopt};
  ScopedEnv f{"MELODARA_FFMPEG_PATH", std::nullopt};
};

TEST_F(DiscoveryTest, YtdlpFromEnvironment) {
  const fs::path tool = home / "tools" / "yt-dlp";
  fs::create_directories(tool.parent_path());
  test::write_script(tool, "exit 0");
  {
    ScopedEnv env("MELODARA_YTDLP_PATH", "  " + tool.string() + "\t\n");
    EXPECT_EQ(resolve_ytdlp_path(), tool.string());
    // A sibling bundle next to the named file wins.
    const fs::path sibling = tool.parent_path() / "ytdlp-dir" / "yt-dlp_macos";
    fs::create_directories(sibling.parent_path());
    test::write_script(sibling, "exit 0");
    EXPECT_EQ(resolve_ytdlp_path(), sibling.string());
  }
  if (system_ytdlp_present()) GTEST_SKIP() << "a yt-dlp is installed in a fixed folder";
  for (const std::string& ignored :
       {(home / "tools").string(), (home / "missing").string(), std::string("   ")}) {
    ScopedEnv env("MELODARA_YTDLP_PATH", ignored);
    EXPECT_FALSE(resolve_ytdlp_path().has_value()) << ignored;
  }
}

TEST_F(DiscoveryTest, YtdlpFixedFoldersThenProbe) {
  if (system_ytdlp_present()) GTEST_SKIP() << "a yt-dlp is installed in a fixed folder";
  EXPECT_FALSE(resolve_ytdlp_path().has_value());

  // A probe that fails does not count; one that succeeds gives the bare name.
  test::write_script(bin / "yt-dlp", "[ \"$1\" = --version ] && exit 1; exit 0");
  EXPECT_FALSE(resolve_ytdlp_path().has_value());
  test::write_script(bin / "yt-dlp", "[ \"$1\" = --version ] && { echo 2026.01.01; exit 0; }; exit 1");
  EXPECT_EQ(resolve_ytdlp_path(), "yt-dlp");

  // The home folder candidates come before the probe, in their order.
  const fs::path local = home / ".local/bin/yt-dlp";
  fs::create_directories(local.parent_path());
  test::write_script(local, "exit 0");
  EXPECT_EQ(resolve_ytdlp_path(), local.string());
  const fs::path app = home / "Library/Application Support/Melodara/bin/yt-dlp";
  fs::create_directories(app.parent_path());
  test::write_script(app, "exit 0");
  EXPECT_EQ(resolve_ytdlp_path(), app.string());
}

TEST_F(DiscoveryTest, FfmpegFromEnvironmentAcceptsAnyExistingPath) {
  {
    ScopedEnv env("MELODARA_FFMPEG_PATH", " " + bin.path().string() + " ");
    EXPECT_EQ(resolve_ffmpeg_path(), bin.path().string());  // a folder is returned as it is
  }
  ScopedEnv env("MELODARA_FFMPEG_PATH", (bin / "nothing-here").string());
  const auto found = resolve_ffmpeg_path();
  if (fs::is_regular_file("/usr/bin/ffmpeg")) {
    EXPECT_EQ(found, "/usr/bin/ffmpeg");
  }
}

}  // namespace
}  // namespace melodara
