#include "core/stale_temps.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "temp_files.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;

TEST(StaleTemps, TempNameCarriesOurPidAndIsFreshEachTime) {
  const fs::path a = temp_path_beside("/x/take.wav");
  const fs::path b = temp_path_beside("/x/take.wav");
  EXPECT_NE(a, b);
  EXPECT_EQ(a.parent_path(), fs::path("/x"));
  EXPECT_EQ(temp_name_pid(a.filename().native()), ::getpid());
  EXPECT_TRUE(a.filename().native().starts_with("take.wav.tmp-"));
}

TEST(StaleTemps, ReadsThePidOfTempNamesOnly) {
  struct Case {
    std::string_view name;
    std::optional<pid_t> pid;
  };
  const Case cases[] = {
      {"clip-yt-abc.pcm48k.tmp-4242-1", 4242},
      {"a.tmp-1-0", 1},
      {"x.tmp-12-3.tmp-77-9", 77},  // the last mark decides
      {"clip-yt-abc.pcm48k", std::nullopt},
      {"a.tmp-", std::nullopt},
      {"a.tmp-12", std::nullopt},
      {"a.tmp-12-", std::nullopt},
      {"a.tmp--3", std::nullopt},
      {"a.tmp-0-3", std::nullopt},
      {"a.tmp-12-3x", std::nullopt},
      {"a.tmp-+12-3", std::nullopt},
      {"a.tmp-99999999999999999999-1", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(temp_name_pid(c.name), c.pid) << c.name;

  // Of one file: its name and exactly one temporary's suffix.
  const Case of_take[] = {
      {"take.wav.tmp-12-3", 12},
      {"take.wav.tmp-12-3.tmp-4-5", std::nullopt},
      {"my take.wav.tmp-12-3", std::nullopt},
      {"take.wav.part.tmp-12-3", std::nullopt},
      {"take.wav", std::nullopt},
      {"take.wa", std::nullopt},
  };
  for (const Case& c : of_take) EXPECT_EQ(temp_name_pid_of(c.name, "take.wav"), c.pid) << c.name;
}

void touch(const fs::path& path) { std::ofstream(path) << "x"; }

// At start-up our own pid's temporaries are a former process's (a pid
// namespace of its own gives the service the same pid every time).
TEST(StaleTemps, RemovesOnlyTemporariesOfProcessesThatAreGoneOrOfOurPid) {
  test::TempDir dir;
  const pid_t gone = test::ended_pid();
  const test::RunningChild other;
  ASSERT_GT(other.pid, 0);
  ASSERT_FALSE(process_running(gone));
  ASSERT_TRUE(process_running(other.pid));

  const std::string stale = "song.pcm48k.tmp-" + std::to_string(gone) + "-0";
  const std::string own = "song.pcm48k.tmp-" + std::to_string(::getpid()) + "-0";
  const std::string live = "song.pcm48k.tmp-" + std::to_string(other.pid) + "-0";
  const std::string foreign = "other.tmp-" + std::to_string(gone) + "-0";  // not the caller's
  touch(dir / stale);
  touch(dir / own);
  touch(dir / live);
  touch(dir / foreign);
  touch(dir / "song.pcm48k");
  fs::create_directory(dir / ("dir.pcm48k.tmp-" + std::to_string(gone) + "-1"));
  touch(dir / "target");
  fs::create_symlink(dir / "target", dir / ("link.pcm48k.tmp-" + std::to_string(gone) + "-2"));

  const TempOwner owner = [](std::string_view name) -> std::optional<pid_t> {
    if (name.find(".pcm48k.tmp-") == std::string_view::npos) return std::nullopt;
    return temp_name_pid(name);
  };
  EXPECT_EQ(remove_stale_temporaries(dir.path(), owner), 2u);
  EXPECT_FALSE(fs::exists(dir / stale));
  EXPECT_FALSE(fs::exists(dir / own));
  for (const std::string& kept : {live, foreign, std::string("song.pcm48k"), std::string("target")}) {
    EXPECT_TRUE(fs::exists(dir / kept)) << kept;
  }
  EXPECT_TRUE(fs::is_directory(dir / ("dir.pcm48k.tmp-" + std::to_string(gone) + "-1")));
  EXPECT_TRUE(fs::is_symlink(dir / ("link.pcm48k.tmp-" + std::to_string(gone) + "-2")));
  EXPECT_EQ(remove_stale_temporaries(dir / "missing", owner), 0u);
}

}  // namespace
}  // namespace melodara
