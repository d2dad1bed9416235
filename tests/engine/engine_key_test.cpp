// The live key between the engine and the shared state: a loaded track's key
// reaches pitch correction, the engine's own tracker hands a key it found to
// the shared parameters and the player, and that write-back never undoes an
// edit, a load or a seek that lands between a block's two state accesses.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "core/counters.h"
#include "dsp/key_names.h"
#include "dsp/track_key_analysis.h"
#include "engine/engine_block.h"
#include "engine/engine_thread.h"
#include "engine_test_support.h"
#include "key_signals.h"
#include "state/key_tracker_seed.h"

namespace melodara {
namespace {

// A minor, 20 s, as interleaved stereo.
std::shared_ptr<const std::vector<float>> a_minor_track() {
  static const auto track = [] {
    const std::vector<float> piece = test::chord_mono(test::kAMinorTriad, 2.0);
    std::vector<float> mono(20 * 48000);
    for (std::size_t i = 0; i < mono.size(); ++i) mono[i] = piece[i % piece.size()];
    return std::make_shared<const std::vector<float>>(test::stereo(mono));
  }();
  return track;
}

// A sung B flat, 30 cents sharp: in key in D minor, out of key in A minor,
// where the nearest scale note is B.
constexpr double kSungHz = 233.082 * 1.0174796921026863;
constexpr float kBFlatHz = 233.08f, kBHz = 246.94f;

struct Rig {
  NativeState state;
  EngineBlock block = engine_block_new();
  std::array<StereoFrame, kEngineBlock> captured{};
  std::size_t mic_at = 0;

  Rig() {
    engine_block_open(block, false, true, state.deviceRevision);
    state.player.samples = a_minor_track();
    state.player.channels = 2;
    state.player.playing = true;
  }
  void sing() {
    for (StereoFrame& f : captured) {
      const auto v =
          static_cast<float>(0.2 * std::sin(2.0 * std::numbers::pi * kSungHz * double(mic_at++) / 48000.0));
      f = {v, v};
    }
  }
  // One block with both state accesses; `between` runs between them.
  template <typename Between>
  void run_block(Between between) {
    engine_block_copy(block, state);
    sing();
    engine_block_process(block, captured);
    between();
    engine_block_publish(block, state);
  }
  void run_block() {
    run_block([] {});
  }
  void run_seconds(double seconds) {
    for (int i = 0; i < int(seconds * 375.0); ++i) run_block();
  }
};

TEST(EngineLiveKey, LoadedTracksKeyMovesThePitchCorrectionTarget) {
  Rig rig;
  rig.state.player.playing = false;
  rig.run_seconds(1.0);  // nothing plays yet: D minor, the default
  EXPECT_NEAR(rig.block.signals.meters.corrected_vocal_hz, kBFlatHz, 0.05f);

  // A load installs the track with its analysis, as a load job does.
  const auto analysis = analyze_track_key_bpm(*a_minor_track(), "Beat karaoke");
  ASSERT_TRUE(analysis.has_value());
  ASSERT_EQ(analysis->key_label, "Am");
  NativeState& st = rig.state;
  apply_key_name_to_dsp_params(st.dsp.params, *analysis->key_label);
  st.dsp.params.bpm = float(analysis->bpm);
  st.player.detectedKey = analysis->key_label;
  st.player.detectedBpm = float(analysis->bpm);
  bump(st.player.trackSerial);
  seed_key_tracker(st);
  st.player.playing = true;

  rig.run_seconds(1.0);
  EXPECT_EQ(rig.block.dsp.params.root_key, 9u);
  EXPECT_TRUE(rig.block.dsp.params.scale_is_minor);
  EXPECT_TRUE(rig.block.dsp.key_tracker.key_given) << "the engine seeded its own tracker";
  EXPECT_EQ(rig.block.dsp.key_tracker.display_key, 9u);
  EXPECT_NEAR(rig.block.signals.meters.corrected_vocal_hz, kBHz, 0.05f);
  EXPECT_EQ(st.telemetry.detected_key_name, std::string_view("Am"));
}

TEST(EngineLiveKey, TrackedKeyReachesPitchCorrectionOnlyWhenSentToTheAutotune) {
  for (const bool send : {true, false}) {
    Rig rig;
    rig.state.dsp.params.send_key_to_autotune = send;
    rig.run_seconds(3.0);
    const NativeState& st = rig.state;
    if (send) {
      EXPECT_NEAR(rig.block.signals.meters.corrected_vocal_hz, kBHz, 0.05f);
      EXPECT_EQ(st.dsp.params.root_key, 9u) << "written back";
      EXPECT_TRUE(st.dsp.params.scale_is_minor);
      EXPECT_EQ(st.player.detectedKey, "Am");
      EXPECT_TRUE(rig.block.dsp.key_tracker.key_given) << "the found key then seeds the tracker";
    } else {
      EXPECT_NEAR(rig.block.signals.meters.corrected_vocal_hz, kBFlatHz, 0.05f);
      EXPECT_EQ(st.dsp.params.root_key, 2u);
      EXPECT_FALSE(st.player.detectedKey.has_value());
    }
  }
}

// What a "tunewerk.dsp.set" with a manual key does to the state.
void set_key(NativeState& st, std::uint64_t root, bool minor, float bpm) {
  st.dsp.params.root_key = root;
  st.dsp.params.scale_is_minor = minor;
  st.dsp.params.bpm = bpm;
  st.player.detectedKey = key_label(root, minor);
  seed_key_tracker(st);
  bump(st.audioRevision);
}

TEST(EngineLiveKey, AnEditBetweenTheTwoAccessesOfASeededBlockStays) {
  Rig rig;
  set_key(rig.state, 9, true, 100.0f);
  rig.run_seconds(0.5);
  ASSERT_TRUE(rig.block.dsp.key_tracker.key_given);
  rig.run_block([&] { set_key(rig.state, 4, false, 128.0f); });
  EXPECT_EQ(rig.state.dsp.params.root_key, 4u);
  EXPECT_FALSE(rig.state.dsp.params.scale_is_minor);
  EXPECT_EQ(rig.state.dsp.params.bpm, 128.0f);
  rig.run_seconds(0.2);
  EXPECT_EQ(rig.state.dsp.params.root_key, 4u);
  EXPECT_EQ(rig.block.dsp.params.root_key, 4u) << "the next copy takes the edit";
  EXPECT_EQ(rig.state.player.detectedKey, "E");
}

TEST(EngineLiveKey, AnEditOrALoadBetweenTheAccessesOfTheHandOverBlockStays) {
  struct Case {
    const char* name;
    void (*change)(NativeState&);
    std::uint64_t root;
  } cases[] = {
      {"edit", [](NativeState& st) { set_key(st, 4, false, 128.0f); }, 4},
      // A load writes the key and a new track without touching the audio revision.
      {"load",
       [](NativeState& st) {
         apply_key_name_to_dsp_params(st.dsp.params, "G");
         st.player.detectedKey = "G";
         bump(st.player.trackSerial);
       },
       7},
  };
  for (const Case& c : cases) {
    Rig rig;  // no key given: the engine's tracker searches
    bool handed_over = false;
    for (int i = 0; i < 2 * 375 && !handed_over; ++i) {
      rig.run_block([&] {
        // The chain just moved the engine's key: the shared state changes now.
        if (rig.block.dsp.params.root_key != rig.block.copied_key.root) {
          handed_over = true;
          c.change(rig.state);
        }
      });
    }
    ASSERT_TRUE(handed_over) << c.name;
    EXPECT_EQ(rig.block.dsp.params.root_key, 9u) << c.name;
    EXPECT_EQ(rig.state.dsp.params.root_key, c.root) << c.name;
    EXPECT_FALSE(rig.state.dsp.params.scale_is_minor) << c.name;
    rig.run_seconds(0.5);
    EXPECT_EQ(rig.state.dsp.params.root_key, c.root) << c.name;
    EXPECT_EQ(rig.block.dsp.params.root_key, c.root) << c.name << ": the engine follows the new key";
  }
}

TEST(EngineLiveKey, UnloadedPlayerGetsNoKeyBackFromTheEngine) {
  Rig rig;
  set_key(rig.state, 9, true, 100.0f);
  rig.run_seconds(0.2);
  NativeState& st = rig.state;
  st.player.samples = std::make_shared<const std::vector<float>>();
  st.player.playing = false;
  st.player.detectedKey.reset();
  bump(st.player.trackSerial);
  rig.run_seconds(0.2);
  EXPECT_FALSE(st.player.detectedKey.has_value());
}

TEST(EngineLiveKey, EditsRacingTheEngineThreadAreNeverUndone) {
  sim::Config cfg;
  auto s = test::make_sim_engine(cfg, "", "");
  engine_open_streams(*s.engine);
  {
    auto g = s.state->lock();
    g->player.samples = a_minor_track();
    g->player.playing = true;
    set_key(*g, 9, true, 100.0f);
  }
  std::atomic<std::uint64_t> blocks{0};
  std::atomic<bool> stop{false};
  std::thread engine([&] {
    while (!stop) {
      engine_run_block(*s.engine);
      ++blocks;
      // The track ends after 20 s of blocks: start it again.
      if (blocks % 5000 == 0) s.state->lock()->player.position = 0;
    }
  });
  const auto wait_blocks = [&](std::uint64_t n) {
    const std::uint64_t until = blocks + n;
    while (blocks < until) std::this_thread::yield();
  };
  int undone = 0;
  for (int i = 0; i < 200; ++i) {
    const std::uint64_t root = std::uint64_t(i) % 12;
    const float bpm = 60.0f + float(i % 80);
    set_key(*s.state->lock(), root, i % 2 == 0, bpm);
    wait_blocks(3);
    auto g = s.state->lock();
    if (g->dsp.params.root_key != root || g->dsp.params.bpm != bpm ||
        g->dsp.params.scale_is_minor != (i % 2 == 0))
      ++undone;
  }
  stop = true;
  engine.join();
  EXPECT_EQ(undone, 0);
}

}  // namespace
}  // namespace melodara
