// The player, load-job and link operations of the built service as the host
// sees them: their answers over the line protocol, loads written together
// with unloads and other loads, and a loaded track played by the engine on the
// simulated speakers while its position runs with the clock.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/json_writer.h"
#include "core/wav_writer.h"
#include "media_test_support.h"
#include "platform/sim/wav_io.h"
#include "service_process.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::ServiceOptions;
using testing::ServiceProcess;

constexpr double kToneHz = 1000.0;

// A 48 kHz stereo WAV of a 1 kHz tone.
fs::path write_tone(const fs::path& path, double seconds) {
  const auto frames = static_cast<std::size_t>(seconds * 48000.0);
  std::vector<float> samples(2 * frames);
  for (std::size_t i = 0; i < frames; ++i) {
    const auto v = static_cast<float>(0.3 * std::sin(2.0 * std::numbers::pi * kToneHz * double(i) / 48000.0));
    samples[2 * i] = samples[2 * i + 1] = v;
  }
  EXPECT_TRUE(write_wav_f32(path, samples).has_value());
  return path;
}

class PlayerService : public ::testing::Test {
 protected:
  test::TempDir files;
  test::FakeYtdlp ytdlp;

  // A silent microphone and built-in speakers whose mix lands in `files`.
  ServiceOptions options() const {
    std::ofstream(files / "devices.json")
        << R"({"devices":[{"name":"MacBook Pro Microphone","inputChannels":1,"transport":"builtin",)"
        << R"("source":{"type":"silence"}},)"
        << R"({"name":"MacBook Pro Speakers","outputChannels":2,"transport":"builtin"}]})";
    return {{{"MELODARA_YTDLP_PATH", ytdlp.script().string()},
             {"MELODARA_SIM_DEVICES", (files / "devices.json").string()},
             {"MELODARA_SIM_SINK_DIR", files.path().string()}},
            {}};
  }

  // The whole answer, parsed, without the envelope's fixed members.
  static Json answer(ServiceProcess& service, const std::string& op, const Json& payload) {
    const auto line = service.ask(to_json_text(
        Json{{"protocolVersion", 2}, {"requestId", "r"}, {"operation", op}, {"payload", payload}}));
    EXPECT_TRUE(line.has_value()) << op;
    Json parsed = Json::parse(line.value_or("{}"));
    parsed.erase("protocolVersion");
    parsed.erase("requestId");
    parsed.erase("sessionEpoch");
    return parsed;
  }
};

// Each answer must hold the expected members; a result is compared key by key
// (the player's status is long), an error whole.
struct Step {
  const char* operation;
  Json payload;
  Json expect;
};

Json error(const std::string& code, const std::string& message) {
  return Json{{"ok", false}, {"error", {{"code", code}, {"message", message}, {"retryable", false}}}};
}
Json result(Json members) { return Json{{"ok", true}, {"result", std::move(members)}}; }

TEST_F(PlayerService, AnswersOverTheLineProtocol) {
  const std::string song = write_tone(files / "song.wav", 4.0).string();
  const std::string missing = (files / "missing.mp3").string();
  ytdlp.put("g.txt", "https://media.example/direct.m4a\nhttps://media.example/second\n");
  ServiceProcess service(options());

  const Step steps[] = {
      {"player.play", nullptr, error("invalid_request", "Chưa nạp bài hát vào Player.")},
      {"player.recalculate-key", nullptr, error("invalid_request", "Chưa nạp bài hát để dò tông.")},
      {"player.pause", nullptr, result({{"loaded", false}, {"playing", false}})},
      {"player.seek", {{"positionSeconds", 3}}, result({{"positionSeconds", 0.0}})},
      {"player.load-status", {{"jobId", "load-7"}}, error("invalid_request", "Không tìm thấy job nạp nhạc")},
      {"player.load-cancel",
       {{"jobId", "load-7"}},
       result({{"cancelled", true}, {"jobId", "load-7"}, {"status", "cancelled"}})},
      {"player.unload", nullptr, result({{"mediaGeneration", 1}, {"loaded", false}})},
      {"player.unload", nullptr, result({{"mediaGeneration", 2}, {"url", ""}})},
      {"player.remote-load",
       {{"url", " " + song + " "}, {"title", "Song"}},
       result({{"loaded", true},
               {"loading", false},
               {"loadProgress", 100},
               {"durationSeconds", 4.0},
               {"mediaGeneration", 3},
               {"playing", false},
               {"positionSeconds", 0.0},
               {"title", "Song"},
               {"url", song},
               {"detectedBpm", 92.0},  // a steady tone has no beat
               {"tempoSource", "player-live"}})},
      {"player.seek", {{"positionSeconds", 1.5}}, result({{"positionSeconds", 1.5}, {"playing", false}})},
      {"player.seek", {{"position_seconds", 3.9}}, result({{"positionSeconds", 4.0}, {"playing", false}})},
      {"player.seek", {{"positionSeconds", 50}}, result({{"positionSeconds", 4.0}})},
      {"player.seek", {{"positionSeconds", -1}}, result({{"positionSeconds", 0.0}})},
      {"player.play", {{"positionSeconds", 2.25}}, result({{"positionSeconds", 2.25}, {"playing", true}})},
      {"player.pause", nullptr, result({{"playing", false}})},
      {"player.play", {{"positionSeconds", 1e9}}, result({{"positionSeconds", 4.0}, {"playing", true}})},
      // The same source again: the player's own track, at once, as a finished job.
      {"player.remote-load",
       {{"url", song}, {"async", true}},
       result({{"jobId", "load-1"},
               {"loadJobId", "load-1"},
               {"status", "completed"},
               {"progress", 100},
               {"mediaGeneration", 4},
               {"positionSeconds", 0.0},
               {"playing", false},
               {"title", "Song"},
               {"videoCachedPath", nullptr}})},
      {"player.load-status",
       {{"jobId", "load-1"}},
       result({{"cancelled", false},
               {"error", nullptr},
               {"jobId", "load-1"},
               {"mediaGeneration", 4},
               {"progress", 100},
               {"status", "completed"}})},
      {"player.resolve-source",
       {{"url", "https://media.example/a.m4a"}},
       result({{"url", "https://media.example/a.m4a"}})},
      {"player.resolve-source",
       {{"url", "https://www.youtube.com/watch?v=abcdefghijk"}},
       result({{"url", "https://media.example/direct.m4a"}})},
      {"player.resolve-video", {{"url", song}}, result({{"cachedPath", song}, {"url", song}})},
      {"player.resolve-video", {{"url", missing}}, result({{"url", missing}})},
      {"player.unload", nullptr, result({{"mediaGeneration", 5}, {"loaded", false}, {"loadJobId", nullptr}})},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.operation) + " " + to_json_text(step.payload));
    const Json got = answer(service, step.operation, step.payload);
    if (step.expect["ok"] == false) {
      EXPECT_EQ(got, step.expect);
      continue;
    }
    ASSERT_EQ(got["ok"], true) << got;
    for (const auto& [key, value] : step.expect["result"].items()) {
      ASSERT_TRUE(got["result"].contains(key)) << key;
      EXPECT_EQ(got["result"][key], value) << key;
    }
    if (step.operation == std::string("player.resolve-video")) {
      EXPECT_EQ(got["result"].size(), step.expect["result"].size());
    }
  }

  // Only the page link ran yt-dlp, to print the address of its audio.
  const auto runs = ytdlp.runs();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(test::FakeYtdlp::mode_of(runs[0]), "g");
  EXPECT_EQ(runs[0].args.back(), "https://www.youtube.com/watch?v=abcdefghijk");
}

// The host pipelines: it writes a load and an unload (or more) together and
// pairs the answers by id. A stand-in ffmpeg on PATH notes every decode and,
// while its gate is shut, waits before it decodes.
class PlayerOrder : public PlayerService {
 protected:
  ServiceOptions options() const {
    ServiceOptions o = PlayerService::options();
    o.path_dirs.push_back(bin.path().string());
    return o;
  }
  // A copy of the song under a name of its own: a source no cache holds.
  std::string fresh_copy() {
    const fs::path copy = files / ("miss-" + std::to_string(++copies) + ".wav");
    fs::copy_file(song, copy);
    return copy.string();
  }
  Json line(const std::string& id, const std::string& op, Json payload = nullptr) const {
    return Json{
        {"protocolVersion", 2}, {"requestId", id}, {"operation", op}, {"payload", std::move(payload)}};
  }
  Json load_line(const std::string& id, const std::string& url, bool async) const {
    return line(id, "player.remote-load", {{"url", url}, {"async", async}, {"autoPlay", true}});
  }
  // The job's status once it has left "loading" (or after 10 s).
  static std::string job_outcome(ServiceProcess& service, const Json& job_id) {
    std::string status;
    test::wait_until(
        [&] {
          status = service.call("player.load-status", {{"jobId", job_id}})["status"];
          return status != "loading";
        },
        10s);
    return status;
  }

  test::ToolBin bin;
  fs::path song = write_tone(files / "song.wav", 1.0);
  fs::path cached = write_tone(files / "cached.wav", 1.0);
  int copies = 0;
};

struct LoadKind {
  const char* what;
  bool async;
  bool hit;  // from the memory cache, which knows the track's key and tempo
};
constexpr LoadKind kLoadKinds[] = {
    {"asynchronous", true, false},
    {"synchronous", false, false},
    {"asynchronous cache hit", true, true},
    {"synchronous cache hit", false, true},
};
constexpr int kRounds = 8;

// Loss guarded against: a load written together with the unload after it
// took the player back from the unload and, with autoPlay, played the song.
TEST_F(PlayerOrder, ALoadThenAnUnloadInOneWriteLeavesThePlayerEmpty) {
  ServiceProcess service(options());
  const Json first =
      service.call("player.remote-load", {{"url", cached.string()}, {"title", "Cached [Am] 120 BPM"}});
  ASSERT_EQ(first["loaded"], true);
  bin.shut_gate();  // a decode that starts anyway waits, to be stopped

  int n = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (const LoadKind& kind : kLoadKinds) {
      SCOPED_TRACE(std::string(kind.what) + ", round " + std::to_string(round));
      const std::string source = kind.hit ? cached.string() : fresh_copy();
      const std::string load = "load-" + std::to_string(++n), unload = "unload-" + std::to_string(n);
      auto answers = service.exchange({load_line(load, source, kind.async), line(unload, "player.unload")});
      ASSERT_EQ(answers.size(), 2u);
      ASSERT_EQ(answers[load]["ok"], true) << answers[load];
      ASSERT_EQ(answers[unload]["ok"], true) << answers[unload];
      const Json& loaded = answers[load]["result"];

      const Json status = service.call("player.status");
      EXPECT_EQ(status["loaded"], false);
      EXPECT_EQ(status["playing"], false);
      EXPECT_EQ(status["loading"], false);
      EXPECT_EQ(status["url"], "");
      if (kind.hit) {
        // Nothing slow to wait for: the hit was in the player before the unload came.
        if (kind.async) {
          EXPECT_EQ(loaded["status"], "completed");
          EXPECT_EQ(job_outcome(service, loaded["jobId"]), "completed");
        } else {
          EXPECT_EQ(loaded["url"], source);
        }
        EXPECT_EQ(answers[unload]["result"]["mediaGeneration"], loaded["mediaGeneration"].get<int>() + 1);
      } else if (kind.async) {
        EXPECT_EQ(job_outcome(service, loaded["jobId"]), "cancelled");
        EXPECT_EQ(answers[unload]["result"]["mediaGeneration"], loaded["mediaGeneration"].get<int>() + 1);
      } else {
        EXPECT_EQ(loaded["url"], "") << "not the player's status after the unload";
        EXPECT_EQ(loaded["loaded"], false);
      }
    }
  }
  // A decode that began before the unload was stopped within half a second.
  for (const test::ToolRun& run : bin.ffmpeg_runs()) {
    EXPECT_TRUE(test::process_gone(run.pid, 500ms)) << "an unloaded load's ffmpeg runs on: " << run.pid;
  }
}

// Loss guarded against: the load written last did not end up in the player.
TEST_F(PlayerOrder, TheLoadWrittenLastIsTheOneInstalled) {
  ServiceProcess service(options());
  ASSERT_EQ(service.call("player.remote-load",
                         {{"url", cached.string()}, {"title", "Cached [Am] 120 BPM"}})["loaded"],
            true);
  int n = 0;
  // Writes the requests together; the last is a load of `last`, which must play.
  auto expect_last_installed = [&](std::vector<Json> requests, const LoadKind& kind,
                                   const std::string& last) {
    const std::string newest = requests.back()["requestId"];
    auto answers = service.exchange(requests);
    ASSERT_EQ(answers.size(), requests.size());
    for (const auto& [id, answer] : answers) ASSERT_EQ(answer["ok"], true) << answer;
    const Json& loaded = answers[newest]["result"];
    if (kind.async) {
      EXPECT_EQ(job_outcome(service, loaded["jobId"]), "completed");
    } else {
      EXPECT_EQ(loaded["url"], last);
    }
    const Json status = service.call("player.status");
    EXPECT_EQ(status["loaded"], true);
    EXPECT_EQ(status["url"], last);
    EXPECT_EQ(status["playing"], true) << "autoPlay";
    if (requests.size() == 3 && kind.async) {
      EXPECT_EQ(job_outcome(service, answers[requests[0]["requestId"]]["result"]["jobId"]), "cancelled");
    }
  };
  for (int round = 0; round < kRounds / 2; ++round) {
    for (const LoadKind& kind : kLoadKinds) {
      SCOPED_TRACE(std::string(kind.what) + ", round " + std::to_string(round));
      const std::string id = std::to_string(++n);
      const std::string last = kind.hit ? cached.string() : fresh_copy();
      // Unload, then load.
      expect_last_installed({line("u-" + id, "player.unload"), load_line("b-" + id, last, kind.async)}, kind,
                            last);
      // Load A, unload, load B.
      const std::string again = kind.hit ? cached.string() : fresh_copy();
      expect_last_installed({load_line("a-" + id, fresh_copy(), kind.async), line("v-" + id, "player.unload"),
                             load_line("c-" + id, again, kind.async)},
                            kind, again);
    }
  }
}

struct Sound {
  double level = 0.0;  // RMS
  double pitch = 0.0;  // Hz, from zero crossings
};

// The left channel of the last `frames` the speakers played; none before
// that many are written.
std::optional<Sound> speakers_tail(const fs::path& dir, std::size_t frames) {
  const auto wav = sim::read_wav((dir / "MacBook Pro Speakers.wav").string());
  if (!wav || wav->channels != 2 || wav->samples.size() < 2 * frames) return std::nullopt;
  const std::span<const float> tail(wav->samples.data() + wav->samples.size() - 2 * frames, 2 * frames);
  double sum = 0.0;
  for (std::size_t i = 0; i < frames; ++i) sum += double(tail[2 * i]) * double(tail[2 * i]);
  return Sound{std::sqrt(sum / double(frames)), test::channel_frequency(tail, 0, 48000.0)};
}

TEST_F(PlayerService, ALoadedTrackPlaysOnTheSpeakersWhileItsPositionRuns) {
  const std::string song = write_tone(files / "long.wav", 30.0).string();
  ServiceProcess service(options());
  auto ok = [&](const std::string& op, const Json& payload) {
    const Json got = answer(service, op, payload);
    EXPECT_EQ(got["ok"], true) << got;
    return got.value("result", Json::object());
  };

  EXPECT_EQ(ok("player.remote-load", {{"url", song}, {"async", true}, {"autoPlay", true}}),
            (Json{{"jobId", "load-1"}, {"mediaGeneration", 1}, {"progress", 10}, {"status", "loading"}}));
  ASSERT_TRUE(test::wait_until(
      [&] {
        return ok("player.load-status", {{"jobId", "load-1"}})["status"] != "loading";
      },
      60s));
  ASSERT_EQ(ok("player.load-status", {{"jobId", "load-1"}})["status"], "completed");

  // The position follows the clock, never ahead of it.
  const auto t0 = Clock::now();
  const double p0 = ok("player.status", nullptr)["positionSeconds"].get<double>();
  double p1 = p0;
  ASSERT_TRUE(test::wait_until(
      [&] {
        p1 = ok("player.status", nullptr)["positionSeconds"].get<double>();
        return p1 >= p0 + 1.0;
      },
      30s))
      << "the position stands at " << p1;
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  EXPECT_LE(p1 - p0, elapsed + 0.1);

  // The speakers play the track's tone.
  Sound heard;
  EXPECT_TRUE(test::wait_until(
      [&] {
        heard = speakers_tail(files.path(), 12000).value_or(Sound{});
        return heard.level > 0.02 && std::abs(heard.pitch - kToneHz) < 20.0;
      },
      30s))
      << "level " << heard.level << ", pitch " << heard.pitch;

  // Paused, the position holds and the speakers fall silent.
  const double paused = ok("player.pause", nullptr)["positionSeconds"].get<double>();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(ok("player.status", nullptr)["positionSeconds"].get<double>(), paused);
  std::optional<Sound> after;
  EXPECT_TRUE(test::wait_until(
      [&] {
        after = speakers_tail(files.path(), 4800);
        return after && after->level < 1e-3;
      },
      30s))
      << "level " << (after ? after->level : -1.0);
}

}  // namespace
}  // namespace melodara
