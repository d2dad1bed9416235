// The player, load-job and link operations of the built service as the host
// sees them: their answers over the line protocol, and a loaded track played
// by the engine on the simulated speakers while its position runs with the
// clock.
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
