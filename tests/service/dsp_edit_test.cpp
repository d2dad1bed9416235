// Vocal-parameter edits against state the protocol cannot reach yet: a loaded
// track's key and tempo, levels out of step with the mixer, a saturated revision.
#include <limits>

#include "dispatch_fixture.h"

namespace melodara {
namespace {

using DspEdit = DispatchFixture;

TEST_F(DspEdit, LoadedTrackKeyAndTempoOverrideThePayload) {
  struct Case {
    const char* track_key;
    std::optional<float> track_bpm;
    Json payload;
    std::uint64_t root;
    bool minor;
    float bpm;
  };
  const Case cases[] = {
      {"A Minor", 128.0f, {{"root_key", 0}, {"scale_is_minor", false}, {"bpm", 90}}, 9, true, 128.0f},
      {"F#m", std::nullopt, {{"bpm", 90}}, 6, true, 90.0f},
      // An unreadable name keeps the root and reads as major.
      {"H", 100.0f, {{"root_key", 4}, {"scale_is_minor", true}}, 4, false, 100.0f},
      // A manual key is the player's key from now on; the track tempo is left alone.
      {"A Minor",
       128.0f,
       {{"root_key", 2}, {"scale_is_minor", true}, {"bpm", 95}, {"manual_scale_override", true}},
       2,
       true,
       95.0f},
  };
  for (const Case& c : cases) {
    with_state([&](NativeState& s) {
      s.player.detectedKey = c.track_key;
      s.player.detectedBpm = c.track_bpm;
    });
    ok("tunewerk.dsp.set", c.payload);
    with_state([&](NativeState& s) {
      EXPECT_EQ(s.dsp.params.root_key, c.root) << c.track_key;
      EXPECT_EQ(s.dsp.params.scale_is_minor, c.minor) << c.track_key;
      EXPECT_EQ(s.dsp.params.bpm, c.bpm) << c.track_key;
    });
  }
  with_state([](const NativeState& s) { EXPECT_EQ(s.player.detectedKey, "Dm"); });
}

TEST_F(DspEdit, PresetMirrorsLevelsIntoTheMixer) {
  with_state([](NativeState& s) {
    s.dsp.params.vocal_gain = 0.7f;
    s.dsp.params.beat_volume = 1.4f;
  });
  ok("tunewerk.dsp.preset", {{"preset", "Remix"}});
  with_state([](const NativeState& s) {
    EXPECT_EQ(s.micGain, 0.7f);
    EXPECT_EQ(s.musicGain, 1.4f);
  });
}

TEST_F(DspEdit, RevisionStaysAtItsLargestValue) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::pair<const char*, Json> edits[] = {
      {"tunewerk.dsp.preset", {{"preset", "R&B"}}},
      {"tunewerk.dsp.reverb-mode", {{"mode", "off"}}},
      {"tunewerk.dsp.audio-chain", {{"chain", "Caldane"}}},
      {"tunewerk.dsp.voice-profile", {{"profile", "nu"}}},
      {"tunewerk.dsp.set", {{"reverb_volume", 0.5}}},
  };
  for (const auto& [operation, payload] : edits) {
    with_state([](NativeState& s) { s.audioRevision = kMax - 1; });
    ok(operation, payload);
    ok(operation, payload);
    with_state([&](const NativeState& s) { EXPECT_EQ(s.audioRevision, kMax) << operation; });
  }
}

}  // namespace
}  // namespace melodara
