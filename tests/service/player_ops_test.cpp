// The player-control operations against a track put straight into the state:
// seconds to frames with their clamps, the end rules, the serial the engine
// trusts, and what an unload leaves.
#include <cmath>
#include <limits>

#include "dispatch_fixture.h"

namespace melodara {
namespace {

class PlayerOps : public DispatchFixture {
 protected:
  // A silent track of `seconds` at `rate` (rates below 48 kHz keep long tracks small).
  void load_track(double seconds, std::uint32_t rate = 1000) {
    with_state([&](NativeState& s) {
      PlayerState& p = s.player;
      const auto frames = static_cast<std::size_t>(std::llround(seconds * rate));
      p.samples = std::make_shared<const std::vector<float>>(2 * frames, 0.0f);
      p.channels = 2;
      p.mediaSampleRate = rate;
      p.durationSeconds = seconds;
      p.position = 0;
      p.title = "Song";
      p.source = "/music/song.mp3";
    });
  }
  PlayerState player() {
    PlayerState copy;
    with_state([&](NativeState& s) { copy = s.player; });
    return copy;
  }
  void set_position(std::uint64_t frame, bool playing = false) {
    with_state([&](NativeState& s) {
      s.player.position = frame;
      s.player.playing = playing;
    });
  }
};

TEST_F(PlayerOps, EmptyPlayer) {
  const std::uint64_t serial = player().trackSerial;
  expect_error(run("p", "player.play"), ErrorCode::InvalidRequest, "Chưa nạp bài hát vào Player.");
  expect_error(run("k", "player.recalculate-key"), ErrorCode::InvalidRequest, "Chưa nạp bài hát để dò tông.");
  EXPECT_EQ(player().trackSerial, serial) << "a refused request changes nothing";
  EXPECT_FALSE(player().playing);

  EXPECT_EQ(ok("player.pause")["playing"], false);
  const Json seek = ok("player.seek", Json{{"positionSeconds", 12.0}});
  EXPECT_EQ(seek["positionSeconds"], 0.0);
  EXPECT_EQ(player().trackSerial, serial + 1);
}

TEST_F(PlayerOps, PlayFromAPositionClampsAndSaturates) {
  load_track(10.0);
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  struct Case {
    Json payload;
    std::uint64_t position;
  } cases[] = {
      {Json{{"positionSeconds", -5}}, 0},
      {Json{{"positionSeconds", 2.5}}, 2500},
      {Json{{"position_seconds", 3}, {"positionSeconds", 7}}, 3000},  // the first alias decides
      {Json{{"positionSeconds", 1e9}}, 10000},                        // clamped to the end
      {Json{{"positionSeconds", nan}}, 0},
      {Json{{"positionSeconds", inf}}, 10000},
      {Json{{"positionSeconds", -inf}}, 0},
  };
  for (const auto& c : cases) {
    set_position(1234);
    const std::uint64_t serial = player().trackSerial;
    const Json status = ok("player.play", c.payload);
    EXPECT_EQ(player().position, c.position) << c.payload;
    EXPECT_EQ(player().trackSerial, serial + 1) << c.payload;
    EXPECT_EQ(status["playing"], true);
  }
}

TEST_F(PlayerOps, PlayWithoutPositionResumesOrRestartsAtTheEnd) {
  load_track(10.0);
  struct Case {
    Json payload;
    std::uint64_t before, after;
    bool bumps;
  } cases[] = {
      {nullptr, 4000, 4000, false},
      {Json{{"positionSeconds", "3"}}, 4000, 4000, false},  // not a number: no position
      {Json{{"position_seconds", "3"}, {"positionSeconds", 3}}, 4000, 4000, false},
      {Json::array({3}), 4000, 4000, false},
      {nullptr, 10000, 0, true},  // played to its end: from the start
  };
  for (const auto& c : cases) {
    set_position(c.before);
    const std::uint64_t serial = player().trackSerial;
    ok("player.play", c.payload);
    EXPECT_EQ(player().position, c.after) << c.payload;
    EXPECT_EQ(player().trackSerial, serial + (c.bumps ? 1 : 0)) << c.payload;
    EXPECT_TRUE(player().playing);
  }
}

TEST_F(PlayerOps, SeekClampsAndTheEndRules) {
  struct Case {
    double duration;
    Json payload;
    std::uint64_t position;
    bool playing;  // while playing before the seek
  } cases[] = {
      {200.0, Json{{"positionSeconds", 199.9}}, 200000, false},  // within the last 0.15 s
      {200.0, Json{{"positionSeconds", 199.8}}, 199800, true},
      {200.0, Json{{"positionSeconds", 250}}, 200000, false},
      {200.0, nullptr, 0, true},
      {200.0, Json{{"positionSeconds", -1}}, 0, true},
      {200.0, Json{{"position_seconds", 12.5}}, 12500, true},
      {200.0, Json{{"positionSeconds", std::nan("")}}, 0, true},
      {0.4, Json{{"positionSeconds", 0.39}}, 390, true},  // too short for the 0.15 s rule
      {0.4, Json{{"positionSeconds", 0.4}}, 400, false},
  };
  for (const auto& c : cases) {
    load_track(c.duration);
    set_position(5, true);
    const std::uint64_t serial = player().trackSerial;
    const Json status = ok("player.seek", c.payload);
    EXPECT_EQ(player().position, c.position) << c.duration << " " << c.payload;
    EXPECT_EQ(status["playing"], c.playing) << c.duration << " " << c.payload;
    EXPECT_EQ(player().trackSerial, serial + 1);
  }
  // A paused seek never starts playback.
  load_track(200.0);
  EXPECT_EQ(ok("player.seek", Json{{"positionSeconds", 10}})["playing"], false);
}

TEST_F(PlayerOps, DurationThatIsNotANumberLeavesTheSecondsUnclamped) {
  load_track(2.0);
  with_state([](NativeState& s) { s.player.durationSeconds = std::nan(""); });
  ok("player.play", Json{{"positionSeconds", 1.5}});
  EXPECT_EQ(player().position, 1500u);
  ok("player.play", Json{{"positionSeconds", 1e300}});
  EXPECT_EQ(player().position, 2000u) << "saturated, then held at the last frame";
}

TEST_F(PlayerOps, PauseKeepsPositionAndSerial) {
  load_track(10.0);
  set_position(777, true);
  const std::uint64_t serial = player().trackSerial;
  const Json status = ok("player.pause");
  EXPECT_EQ(status["playing"], false);
  EXPECT_EQ(player().position, 777u);
  EXPECT_EQ(player().trackSerial, serial);
}

TEST_F(PlayerOps, RecalculateKeyReplacesKeyAndTempo) {
  load_track(3.0);
  with_state([](NativeState& s) {
    s.player.detectedKey = "Am";
    s.player.detectedBpm = 128.0f;
    s.dsp.params.bpm = 128.0f;
  });
  const Json status = ok("player.recalculate-key");
  // The analysis found nothing: no key and the fallback tempo.
  EXPECT_EQ(status["detectedKeyName"], nullptr);
  EXPECT_EQ(status["detectedBpm"], 76.0);
  EXPECT_EQ(status["tempoSource"], "player-live");
  with_state([](NativeState& s) { EXPECT_EQ(s.dsp.params.bpm, 76.0f); });
}

TEST_F(PlayerOps, UnloadEmptiesThePlayerEachTime) {
  load_track(3.0);
  with_state([](NativeState& s) {
    PlayerState& p = s.player;
    p.playing = p.loading = true;
    p.loadProgress = 40;
    p.loadJobId = "load-3";
    p.detectedKey = "C#m";
    p.detectedBpm = 90.0f;
    p.channels = 1;
    p.mediaSampleRate = 44100;
    p.mediaGeneration = 7;
    s.dsp.key_tracker.key_given = true;
  });
  const std::uint64_t serial = player().trackSerial;
  const Json first = ok("player.unload");
  EXPECT_EQ(
      to_json_text(first),
      R"({"channels":2,"detectedBpm":null,"detectedKey":null,"detectedKeyName":null,"durationSeconds":0.0,)"
      R"("loadJobId":null,"loadProgress":0,"loaded":false,"loading":false,"mediaGeneration":8,)"
      R"("playing":false,"positionSeconds":0.0,"sampleRate":48000,"tempoSource":null,"title":"",)"
      R"("url":"","videoCachedPath":null})");
  const PlayerState p = player();
  EXPECT_EQ(p.trackSerial, serial + 1);
  EXPECT_EQ(p.mediaSampleRate, 48000u);
  EXPECT_EQ(p.channels, 2u);
  ASSERT_TRUE(p.samples);
  EXPECT_TRUE(p.samples->empty());
  with_state([](NativeState& s) { EXPECT_FALSE(s.dsp.key_tracker.key_given); });
  EXPECT_EQ(ok("player.unload")["mediaGeneration"], 9);
}

TEST_F(PlayerOps, CountersSaturate) {
  load_track(1.0);
  with_state([](NativeState& s) {
    s.player.trackSerial = std::numeric_limits<std::uint64_t>::max();
    s.player.mediaGeneration = std::numeric_limits<std::uint64_t>::max();
  });
  ok("player.seek", Json{{"positionSeconds", 0.5}});
  ok("player.unload");
  EXPECT_EQ(player().trackSerial, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(player().mediaGeneration, std::numeric_limits<std::uint64_t>::max());
}

}  // namespace
}  // namespace melodara
