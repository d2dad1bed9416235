// The recording operations through the dispatcher, without the engine: target
// selection, the status duration and its rounding, a take restarted, a stop
// right after a start, stops whose workers run out of order, and the poisoned
// state.
#include <stdlib.h>

#include <filesystem>
#include <limits>
#include <stdexcept>
#include <thread>

#include "dispatch_fixture.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;

// Exports go to a fresh HOME with a Downloads folder.
class Recording : public DispatchFixture {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "melodara-rec-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    home = tmpl;
    fs::create_directory(home / "Downloads");
    if (const char* h = getenv("HOME")) old_home = h;
    setenv("HOME", home.c_str(), 1);
    setenv("MELODARA_FFMPEG_PATH", "/bin/false", 1);
  }
  void TearDown() override {
    if (old_home) setenv("HOME", old_home->c_str(), 1);
    unsetenv("MELODARA_FFMPEG_PATH");
    fs::remove_all(home);
  }
  // Samples as the engine would have appended them.
  void record(RecorderSlot& slot, RecorderPool& pool, std::size_t samples) {
    const std::vector<float> x(samples, 0.25f);
    ASSERT_TRUE(slot.mix.append(x, pool));
  }

  fs::path home;
  std::optional<std::string> old_home;
};

TEST_F(Recording, StartSelectsTheTargetByExactName) {
  EXPECT_EQ(to_json_text(ok("tunewerk.record.start", Json{{"target", "Stage"}})),
            R"({"active":true,"durationSec":0.0,"ok":true,"recording":true,"target":"diagnostic"})");
  for (const Json& payload : {Json{{"target", 5}}, Json(nullptr), Json::array({"stage"})})
    EXPECT_EQ(ok("tunewerk.record.status", payload)["recording"], true) << payload;
  EXPECT_EQ(ok("tunewerk.record.status", Json{{"target", "stage"}})["recording"], false);

  EXPECT_EQ(to_json_text(ok("tunewerk.record.start", Json{{"target", "stage"}})),
            R"({"active":true,"durationSec":0.0,"ok":true,"recording":true,"target":"stage"})");
  with_state([](NativeState& st) {
    EXPECT_EQ(st.recording.take, 1u);
    EXPECT_EQ(st.stageRecording.take, 1u);
    EXPECT_TRUE(st.recording.active && st.stageRecording.active);
  });
}

TEST_F(Recording, StatusDurationWhileRecordingAndRounded) {
  ok("tunewerk.record.start");
  with_state([&](NativeState& st) { record(st.recording, *st.recorderPool, 144'000); });
  EXPECT_EQ(
      to_json_text(ok("tunewerk.record.status")),
      R"({"beatPath":"","dryPath":"","durationSec":1.5,"ok":true,"recording":true,"savedPath":"","sharePath":"","target":"diagnostic","vocalPath":""})");

  // A second start begins a new take: the samples so far are dropped.
  ok("tunewerk.record.start");
  EXPECT_EQ(ok("tunewerk.record.status")["durationSec"], 0.0);
  with_state([](NativeState& st) { EXPECT_EQ(st.recording.take, 2u); });

  // Idle, the slot's stored duration, to two decimals (half away from zero)
  // in 32-bit floats, widened.
  struct Case {
    float stored;
    const char* written;
  } cases[] = {
      {0.125f, "0.12999999523162842"},
      {0.145f, "0.15000000596046448"},
      {1.005f, "1.0099999904632568"},
      {2.999f, "3.0"},
      {0.004f, "0.0"},
      {-0.125f, "-0.12999999523162842"},
      {std::numeric_limits<float>::quiet_NaN(), "null"},
      {std::numeric_limits<float>::infinity(), "null"},
  };
  for (const auto& c : cases) {
    with_state([&](NativeState& st) {
      st.stageRecording.durationSec = c.stored;
      st.stageRecording.savedPath = "/x/a.wav";
    });
    const Json status = ok("tunewerk.record.status", Json{{"target", "stage"}});
    EXPECT_EQ(to_json_text(status["durationSec"]), c.written) << c.stored;
    EXPECT_EQ(status["savedPath"], "/x/a.wav");
  }
}

TEST_F(Recording, StopRightAfterStartExportsAPaddedTwentiethOfASecond) {
  ok("tunewerk.record.start");
  const Json stop = ok("tunewerk.record.stop");
  const fs::path mix = home / "Downloads" / "Melodara_BanThu_48kHz.wav";
  EXPECT_EQ(stop["savedPath"], mix.string());
  EXPECT_EQ(stop["sharePath"], mix.string());
  EXPECT_EQ(stop["recording"], false);
  EXPECT_EQ(to_json_text(stop["durationSec"]), "0.05000000074505806");
  EXPECT_EQ(fs::file_size(mix), 44u + 2 * 4800);
  with_state([](NativeState& st) {
    EXPECT_FALSE(st.recording.active);
    EXPECT_TRUE(st.recording.mix.empty());
    EXPECT_EQ(st.recording.durationSec, 0.05f);
  });
}

// Guards takes against stops whose workers run in another order than the host
// sent them: each stop ends the take it was sent behind, and the exports of a
// target land in the order sent, so the files hold the last take.
TEST_F(Recording, StopsEndTheTakesTheyWereSentBehindAndExportInTheOrderSent) {
  const fs::path mix = home / "Downloads" / "Melodara_BanThu_48kHz.wav";
  ok("tunewerk.record.start");
  with_state([&](NativeState& st) { record(st.recording, *st.recorderPool, 96'000); });
  StartedRequest first = start("tunewerk.record.stop");
  EXPECT_EQ(ok("tunewerk.record.start")["recording"], true) << "the start sent after the stop";
  with_state([&](NativeState& st) { record(st.recording, *st.recorderPool, 192'000); });
  StartedRequest second = start("tunewerk.record.stop");
  StartedRequest third = start("tunewerk.record.stop");  // finds no take of its own

  // The later stops' workers come first; they wait for the earlier exports.
  Response answers[3];
  std::thread late([&] { answers[2] = finish(std::move(third)); });
  std::thread middle([&] { answers[1] = finish(std::move(second)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(fs::exists(mix)) << "a later stop exported before the first";
  answers[0] = finish(std::move(first));
  middle.join();
  late.join();
  for (const Response& a : answers) ASSERT_TRUE(a.ok) << a.error->message;
  EXPECT_EQ(answers[0].result->at("durationSec"), 1.0);
  EXPECT_EQ(answers[1].result->at("durationSec"), 2.0);
  EXPECT_EQ(*answers[2].result, *answers[1].result);
  EXPECT_EQ(fs::file_size(mix), 44u + 2 * 192'000) << "the files hold another take than the last";

  // A stop with no take of its own leaves alone the take begun after it.
  ok("tunewerk.record.start");
  with_state([&](NativeState& st) { record(st.recording, *st.recorderPool, 48'000); });
  first = start("tunewerk.record.stop");
  second = start("tunewerk.record.stop");
  ok("tunewerk.record.start");
  EXPECT_EQ(finish(std::move(first)).result->at("durationSec"), 0.5);
  EXPECT_EQ(finish(std::move(second)).result->at("durationSec"), 0.5);
  EXPECT_EQ(ok("tunewerk.record.status")["recording"], true) << "an earlier stop ended the new take";
}

TEST_F(Recording, PoisonedStateStopsNothingAndWritesNothing) {
  ok("tunewerk.record.start");
  poison_state();
  const Response r = run("s", "tunewerk.record.stop");
  EXPECT_FALSE(r.ok);
  ASSERT_TRUE(r.error.has_value());
  EXPECT_EQ(r.error->code, ErrorCode::InternalError);
  EXPECT_EQ(r.error->message, "Native state mutex poisoned");
  EXPECT_TRUE(r.error->retryable);
  EXPECT_EQ(r.sessionEpoch, 1u);
  EXPECT_TRUE(fs::is_empty(home / "Downloads"));
  for (const char* op : {"tunewerk.record.start", "tunewerk.record.status"})
    expect_error(run("s", op), ErrorCode::InternalError, "Native state mutex poisoned");
}

}  // namespace
}  // namespace melodara
