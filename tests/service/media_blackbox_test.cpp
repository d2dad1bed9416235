// The media side of the built service at start-up and at its end: the player
// cache backfill normalises a cached clip before it vouches for it, and the
// children still running when input ends do not outlive the service.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "media_test_support.h"
#include "service_process.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;
using test::process_gone;
using test::TempDir;
using test::wait_until;
using testing::ServiceOptions;
using testing::ServiceProcess;

std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<float> loud_track(double seconds) {
  std::vector<float> s(2 * static_cast<std::size_t>(seconds * 48000));
  for (std::size_t i = 0; i < s.size(); ++i)
    s[i] = 0.6f * static_cast<float>(std::sin(0.0576 * double(i / 2)));
  return s;
}

double rms(const std::string& bytes) {
  std::vector<float> s(bytes.size() / 4);
  std::memcpy(s.data(), bytes.data(), s.size() * 4);
  double sum = 0.0;
  for (float v : s) sum += double(v) * double(v);
  return s.empty() ? 0.0 : std::sqrt(sum / double(s.size()));
}

// A HOME whose player cache holds one YouTube clip's decoded audio without a
// side file, and a yt-dlp stand-in that notes its pid and then hangs.
struct CachedClip {
  CachedClip() {
    fs::create_directories(cache);
    const auto track = loud_track(20.0);
    std::ofstream(pcm, std::ios::binary)
        .write(reinterpret_cast<const char*>(track.data()), static_cast<std::streamsize>(track.size() * 4));
    std::ofstream(ytdlp) << "#!/bin/sh\necho $$ > '" << (home.path() / "ytdlp.pid").string()
                         << "'\nexec sleep 60\n";
    fs::permissions(ytdlp, fs::perms::owner_all);
  }
  ServiceOptions options() const {
    ServiceOptions o;
    o.env["HOME"] = home.path().string();
    o.env["MELODARA_YTDLP_PATH"] = ytdlp.string();
    return o;
  }

  TempDir home;
  fs::path cache = home.path() / ".cache/melodara/player-cache";
  fs::path pcm = cache / "clip-yt-dQw4w9WgXcQ.pcm48k";
  fs::path meta = cache / "clip-yt-dQw4w9WgXcQ.meta.json";
  fs::path ytdlp = home.path() / "yt-dlp";
};

TEST(MediaService, BackfillAtStartUpAndNoChildOutlivesTheService) {
  CachedClip clip;
  const std::string loud = read_text(clip.pcm);
  ServiceProcess service(clip.options());
  const fs::path pid_file = clip.home.path() / "ytdlp.pid";
  ASSERT_TRUE(wait_until([&] { return fs::exists(pid_file) && fs::file_size(pid_file) > 0; },
                         std::chrono::seconds(30)))
      << "the backfill fetches the clip's missing video";
  EXPECT_EQ(read_text(clip.meta),
            R"({"detected_bpm":92.0,"detected_key":"Am","normalized":true,"version":4})");
  const std::string normalised = read_text(clip.pcm);
  ASSERT_EQ(normalised.size(), loud.size());
  EXPECT_NEAR(rms(normalised), 0.135, 0.002);

  const pid_t child = std::stoi(read_text(pid_file));
  EXPECT_FALSE(process_gone(child, std::chrono::milliseconds(0)));
  service.close_stdin();
  ASSERT_TRUE(service.wait_exit(std::chrono::seconds(10)).has_value());
  EXPECT_TRUE(
      wait_until([&] { return process_gone(child, std::chrono::milliseconds(0)); }, std::chrono::seconds(5)))
      << "the yt-dlp of the backfill outlived the service";
}

// True once the backfill has begun to write: a temporary file, a new side file
// or a changed ".pcm48k".
bool backfill_writing(const CachedClip& clip, fs::file_time_type original) {
  std::error_code ec;
  if (fs::exists(clip.meta, ec) || fs::last_write_time(clip.pcm, ec) != original) return true;
  for (const auto& e : fs::directory_iterator(clip.cache, ec)) {
    if (e.path().filename().string().find(".tmp-") != std::string::npos) return true;
  }
  return false;
}

TEST(MediaService, BackfillKilledAnywhereNeverVouchesForUnnormalisedAudio) {
  // Killed as soon as the rewrite shows, and a little later each time.
  for (int after_ms : {0, 1, 3, 10, 30, 100}) {
    CachedClip clip;
    const std::string loud = read_text(clip.pcm);
    const auto original = fs::last_write_time(clip.pcm);
    {
      ServiceProcess service(clip.options());
      // Polled closely: the moment between the rewrite and the side file is short.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!backfill_writing(clip, original) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
      ASSERT_TRUE(backfill_writing(clip, original));
      std::this_thread::sleep_for(std::chrono::milliseconds(after_ms));
      ::kill(service.pid(), SIGKILL);
      service.wait_exit(std::chrono::seconds(10));
    }
    const std::string now = read_text(clip.pcm);
    ASSERT_EQ(now.size(), loud.size()) << after_ms << " ms: a torn rewrite";
    if (fs::exists(clip.meta)) {
      EXPECT_NEAR(rms(now), 0.135, 0.002) << after_ms << " ms: a side file beside unnormalised audio";
    }
  }
}

}  // namespace
}  // namespace melodara
