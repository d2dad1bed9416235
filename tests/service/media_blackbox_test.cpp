// The media side of the built service at start-up and at its end: the player
// cache backfill normalises a cached clip before it vouches for it, what a
// killed service left in the cache goes, and no child outlives the service
// (at the end of input or killed by a signal). Loads that are cancelled or
// superseded stop their tools; where the folders are with an empty HOME; and
// what a synchronous reload from the disk cache answers for key and tempo.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
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
using Json = nlohmann::json;
using namespace std::chrono_literals;
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

// A stand-in yt-dlp whose downloads wait at a gate, pages of a local server
// (no network), and a real song for the download that is let through.
struct GatedDownloads {
  explicit GatedDownloads(bool gated = true) {
    EXPECT_FALSE(
        test::make_tone_file(fixtures / "song.m4a", {"-c:a", "aac", "-b:a", "128k"}, 3.0, 0.5).empty());
    ytdlp.put_file("song.m4a", fixtures / "song.m4a");
    ytdlp.put("files.txt", "140 m4a song.m4a\n");
    if (gated) ytdlp.put("gate.template", "");
  }
  ServiceOptions options() const {
    ServiceOptions o;
    o.env["MELODARA_YTDLP_PATH"] = ytdlp.script().string();
    return o;
  }
  std::string page(char c) const { return server.url("youtube.com/watch?v=" + std::string(11, c)); }
  // The pid of the first download run for the page, once it has started.
  pid_t download_pid(const std::string& page) const {
    pid_t pid = 0;
    wait_until(
        [&] {
          for (const test::ToolRun& run : ytdlp.runs()) {
            if (std::find(run.args.begin(), run.args.end(), page) != run.args.end()) pid = run.pid;
          }
          return pid != 0;
        },
        30s);
    return pid;
  }
  std::vector<std::string> modes_for(const std::string& page) const {
    std::vector<std::string> modes;
    for (const test::ToolRun& run : ytdlp.runs()) {
      if (std::find(run.args.begin(), run.args.end(), page) != run.args.end()) {
        modes.push_back(test::FakeYtdlp::mode_of(run));
      }
    }
    return modes;
  }

  TempDir fixtures;
  test::LocalHttpServer server{fixtures.path()};
  test::FakeYtdlp ytdlp;
};

// Loss guarded against: every cancelled or superseded load kept its yt-dlp
// (and then every later step of the ladder) running to its own time limit.
TEST(MediaService, CancelledAndSupersededLoadsStopTheirTools) {
  GatedDownloads d;
  ASSERT_TRUE(d.server.ready());
  ServiceProcess service(d.options());
  const std::string a = d.page('a'), b = d.page('b'), c = d.page('c');

  EXPECT_EQ(service.call("player.remote-load", {{"url", a}, {"async", true}})["jobId"], "load-1");
  const pid_t pid_a = d.download_pid(a);
  ASSERT_GT(pid_a, 0);
  service.call("player.load-cancel", {{"jobId", "load-1"}});
  EXPECT_TRUE(process_gone(pid_a, 2s)) << "the cancelled load's yt-dlp runs on";

  service.call("player.remote-load", {{"url", b}, {"async", true}});
  const pid_t pid_b = d.download_pid(b);
  ASSERT_GT(pid_b, 0);
  service.call("player.remote-load", {{"url", c}, {"async", true}});
  const pid_t pid_c = d.download_pid(c);
  ASSERT_GT(pid_c, 0);
  EXPECT_TRUE(process_gone(pid_b, 2s)) << "the superseded load's yt-dlp runs on";
  EXPECT_FALSE(process_gone(pid_c, 0ms)) << "the newest load's yt-dlp was stopped";

  // No further step for the stopped loads; the newest one completes.
  d.ytdlp.put("open.template", "");
  Json status;
  EXPECT_TRUE(wait_until(
      [&] {
        status = service.call("player.load-status", {{"jobId", "load-3"}});
        return status["status"] != "loading";
      },
      30s));
  EXPECT_EQ(status["status"], "completed");
  const Json player = service.call("player.status");
  EXPECT_EQ(player["url"], c);
  EXPECT_EQ(player["loaded"], true);
  EXPECT_NEAR(player["durationSeconds"].get<double>(), 3.0, 0.05);
  for (const char* job : {"load-1", "load-2"}) {
    EXPECT_EQ(service.call("player.load-status", {{"jobId", job}})["status"], "cancelled") << job;
  }
  EXPECT_EQ(d.modes_for(a), std::vector<std::string>{"template"});
  EXPECT_EQ(d.modes_for(b), std::vector<std::string>{"template"});

  // A synchronous load supersedes a job as well.
  fs::remove(d.ytdlp.control() / "open.template");
  const std::string e = d.page('e');
  service.call("player.remote-load", {{"url", e}, {"async", true}});
  const pid_t pid_e = d.download_pid(e);
  ASSERT_GT(pid_e, 0);
  EXPECT_EQ(service.call("player.remote-load", {{"url", (d.fixtures / "song.m4a").string()}})["loaded"],
            true);
  EXPECT_TRUE(process_gone(pid_e, 2s)) << "the job a synchronous load superseded runs on";
  EXPECT_EQ(service.call("player.load-status", {{"jobId", "load-4"}})["status"], "cancelled");
}

Json load_line(const std::string& id, const std::string& url, bool async) {
  return Json{{"protocolVersion", 2},
              {"requestId", id},
              {"operation", "player.remote-load"},
              {"payload", {{"url", url}, {"async", async}}}};
}

// Reads answers until `count` have come or `timeout` has passed, by request id.
std::map<std::string, Json> read_answers(ServiceProcess& service, std::size_t count,
                                         std::chrono::milliseconds timeout) {
  std::map<std::string, Json> answers;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (answers.size() < count) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) break;
    const auto line = service.read_line(left);
    if (!line) break;
    const Json answer = Json::parse(*line);
    answers[answer["requestId"].get<std::string>()] = answer;
  }
  return answers;
}

// Loss guarded against: a synchronous load overtaken by a newer load kept its
// yt-dlp running, went on to the next rung and had no answer after 75 s.
TEST(MediaService, SupersededSynchronousLoadsStopAndAnswerAtOnce) {
  GatedDownloads d;
  ASSERT_TRUE(d.server.ready());
  ServiceProcess service(d.options());
  struct Case {
    const char* how;
    bool newer_async;
  };
  char letter = 'a';
  for (const Case& c : {Case{"by an asynchronous load", true}, Case{"by a synchronous load", false}}) {
    SCOPED_TRACE(c.how);
    const std::string older = d.page(letter++), newer = d.page(letter++);
    ASSERT_TRUE(service.write_line(load_line("older", older, false).dump()));
    const pid_t older_tool = d.download_pid(older);
    ASSERT_GT(older_tool, 0);
    ASSERT_TRUE(service.write_line(load_line("newer", newer, c.newer_async).dump()));
    const auto sent = std::chrono::steady_clock::now();
    const auto answers = read_answers(service, c.newer_async ? 2 : 1, 2s);
    ASSERT_TRUE(answers.contains("older")) << "no answer within 2 s";
    EXPECT_LE(std::chrono::steady_clock::now() - sent, 2s);
    const Json& answer = answers.at("older");
    ASSERT_EQ(answer["ok"], true) << answer;
    EXPECT_EQ(answer["result"]["url"], newer) << "the answer is the player's status";
    EXPECT_EQ(answer["result"]["loading"], true);
    EXPECT_TRUE(process_gone(older_tool, 2s)) << "the superseded load's yt-dlp runs on";
    const pid_t newer_tool = d.download_pid(newer);
    ASSERT_GT(newer_tool, 0);
    EXPECT_FALSE(process_gone(newer_tool, 0ms)) << "the newer load's yt-dlp was stopped";
    EXPECT_EQ(d.modes_for(older), std::vector<std::string>{"template"}) << "a further rung ran";
  }
}

// Loss guarded against: of a burst of loads, an earlier one ended up loading
// (the workers reached the player out of order), the last one sent was
// cancelled, and older jobs kept their tools running.
TEST(MediaService, ABurstOfAsynchronousLoadsLoadsTheLastOneSent) {
  GatedDownloads d;
  ASSERT_TRUE(d.server.ready());
  ServiceProcess service(d.options());
  constexpr int kLoads = 20;
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<std::string> pages;
    std::string burst;
    for (int i = 0; i < kLoads; ++i) {
      char id[12];
      std::snprintf(id, sizeof id, "R%02dL%02dburst", round, i);
      pages.push_back(d.server.url("youtube.com/watch?v=" + std::string(id)));
      burst += load_line("load" + std::to_string(i), pages.back(), true).dump() + "\n";
    }
    ASSERT_TRUE(service.write_raw(burst));  // one write
    const auto answers = read_answers(service, kLoads, 30s);
    ASSERT_EQ(answers.size(), std::size_t{kLoads});
    for (const auto& [id, answer] : answers) ASSERT_EQ(answer["ok"], true) << answer;
    const std::string last_job = answers.at("load" + std::to_string(kLoads - 1))["result"]["jobId"];

    const Json player = service.call("player.status");
    EXPECT_EQ(player["url"], pages.back());
    EXPECT_EQ(player["loading"], true);
    EXPECT_EQ(player["loadJobId"], last_job);
    EXPECT_EQ(service.call("player.load-status", {{"jobId", last_job}})["status"], "loading");
    for (int i = 0; i + 1 < kLoads; ++i) {
      const Json& result = answers.at("load" + std::to_string(i))["result"];
      EXPECT_EQ(service.call("player.load-status", {{"jobId", result["jobId"]}})["status"], "cancelled")
          << "load " << i;
    }
    // At most the last one's stand-in runs, 3 s after the burst at the latest.
    auto others_running = [&] {
      std::vector<pid_t> running;
      for (const test::ToolRun& run : d.ytdlp.runs()) {
        const bool last = std::find(run.args.begin(), run.args.end(), pages.back()) != run.args.end();
        if (!last && !process_gone(run.pid, 0ms)) running.push_back(run.pid);
      }
      return running;
    };
    EXPECT_TRUE(wait_until([&] { return others_running().empty(); }, 3s))
        << ::testing::PrintToString(others_running());
  }
}

// Loss guarded against: a service killed with signal 9 left its hung yt-dlp
// running as an orphan for ever.
TEST(MediaService, KilledServiceTakesItsToolAlong) {
  GatedDownloads d;
  ASSERT_TRUE(d.server.ready());
  ServiceProcess service(d.options());
  const std::string page = d.page('k');
  ASSERT_TRUE(service.write_line(Json{
      {"protocolVersion", 2},
      {"requestId", "sync"},
      {"operation", "player.remote-load"},
      {"payload", {{"url", page}}}}.dump()));
  const pid_t tool = d.download_pid(page);
  ASSERT_GT(tool, 0);
  ::kill(service.pid(), SIGKILL);
  ASSERT_TRUE(service.wait_exit().has_value());
  const bool gone = process_gone(tool, 2s);
  if (!gone) ::kill(-tool, SIGKILL);
  EXPECT_TRUE(gone) << "the stand-in outlived the killed service";
}

// Loss guarded against: the temporaries of a killed service (100 MB and more
// each) stayed in the player cache for ever.
TEST(MediaService, StaleTemporariesGoAtStartUp) {
  const pid_t dead = test::ended_pid();
  ASSERT_GT(dead, 0);
  const std::string alive = std::to_string(::getpid());
  const std::string cache = "home/.cache/melodara/player-cache/";
  const std::vector<std::string> stale = {
      "clip-yt-aaaaaaaaaaa.pcm48k.tmp-" + std::to_string(dead) + "-1",
      "clip-yt-aaaaaaaaaaa.dl" + std::to_string(dead) + ".140.m4a",
  };
  const std::vector<std::string> kept = {
      "clip-yt-bbbbbbbbbbb.pcm48k.tmp-" + alive + "-0",  // a running writer's
      "clip-yt-bbbbbbbbbbb.dl" + alive + ".251.webm",    // a running download's
      "clip-0123456789abcdef.pcm48k",                    // a cached track
      "clip-0123456789abcdef.meta.json",
      "notes.tmp-" + std::to_string(dead) + "-x",  // not a name we write
  };
  std::map<std::string, std::string> files;
  for (const auto& n : stale) files[cache + n] = "partial";
  for (const auto& n : kept) files[cache + n] = "kept";
  ServiceProcess service({}, files);
  service.call("player.status");  // answered only after the start-up sweep
  const fs::path dir = fs::path(service.home()) / ".cache/melodara/player-cache";
  for (const auto& n : stale) EXPECT_FALSE(fs::exists(dir / n)) << n;
  for (const auto& n : kept) EXPECT_TRUE(fs::exists(dir / n)) << n;
}

// Loss guarded against: an empty HOME put the player cache (100 MB a track)
// under whatever folder the service was started from.
TEST(MediaService, EmptyHomeWritesNothingIntoTheWorkingFolder) {
  TempDir files;
  const fs::path song = test::make_tone_file(files / "song.m4a", {"-c:a", "aac", "-b:a", "128k"}, 2.0, 0.5);
  ASSERT_FALSE(song.empty());
  ServiceOptions options;
  options.env["HOME"] = "";
  ServiceProcess service(options);
  EXPECT_EQ(service.call("player.remote-load", {{"url", song.string()}})["loaded"], true);
  // The cache falls back to the temporary folder (the service's TMPDIR is the parent of its HOME).
  const fs::path temp_cache = fs::path(service.home()).parent_path() / "melodara-player-cache";
  EXPECT_TRUE(wait_until(
      [&] {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(temp_cache, ec)) {
          if (e.path().extension() == ".json") return true;
        }
        return false;
      },
      10s));
  std::vector<std::string> written;
  for (const auto& e : fs::recursive_directory_iterator(service.workdir())) {
    written.push_back(e.path().string());
  }
  EXPECT_TRUE(written.empty()) << ::testing::PrintToString(written);
}

// Loss guarded against: a synchronous load that found the track's decoded
// audio and side file ignored the key and tempo its title names.
TEST(MediaService, SynchronousReloadFromTheDiskCacheReadsTheTitle) {
  GatedDownloads d(false);
  ASSERT_TRUE(d.server.ready());
  TempDir home;
  ServiceOptions options = d.options();
  options.env["HOME"] = home.path().string();
  const std::string page = d.page('t');
  Json first;
  {
    ServiceProcess service(options);
    first = service.call("player.remote-load", {{"url", page}, {"title", "Song"}});
    // The side file must hold the analysis' key and tempo: a reload then has
    // both from the disk cache, which used to skip the analysis.
    const fs::path cache = home.path() / ".cache/melodara/player-cache";
    const fs::path meta = cache / "clip-yt-ttttttttttt.meta.json";
    ASSERT_TRUE(wait_until(
        [&] {
          const std::string text = read_text(meta);
          return fs::exists(cache / "clip-yt-ttttttttttt.pcm48k") &&
                 text.find("\"detected_key\":\"") != std::string::npos &&
                 text.find("\"detected_bpm\":null") == std::string::npos &&
                 text.find("detected_bpm") != std::string::npos;
        },
        10s))
        << read_text(meta);
  }
  ASSERT_NE(first["detectedBpm"], 128.0) << "the title must be what says 128";
  ServiceProcess again(options);
  const Json reload = again.call("player.remote-load", {{"url", page}, {"title", "Song [Am] 128 BPM"}});
  const auto modes = d.modes_for(page);
  EXPECT_EQ(std::count(modes.begin(), modes.end(), "template"), 1) << "the reload downloaded again";
  EXPECT_EQ(reload["loaded"], true);
  EXPECT_EQ(reload["detectedKey"]["name"], "Am");
  EXPECT_EQ(reload["detectedKey"]["minor"], true);
  EXPECT_EQ(reload["detectedBpm"], 128.0);
}

}  // namespace
}  // namespace melodara
