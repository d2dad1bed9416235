// Seeding the shared engine's live key tracker from the parameters.
#include "state/key_tracker_seed.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "dsp/key_tracker.h"

namespace melodara {
namespace {

TEST(KeyTrackerSeed, LocksTheTrackerAndShowsTheBackingKeyInTheTelemetry) {
  struct Case {
    std::uint64_t root;
    bool minor;
    std::int32_t beat_shift;
    float bpm;
    const char* label;  // the tracker's
    float tracker_bpm;
    const char* telemetry;  // shifted by the beat, long form
  } cases[] = {
      {9, true, 0, 30.0f, "Am", 50.0f, "A Minor"},
      {11, false, 2, 120.0f, "B", 120.0f, "C# Major"},
      {1, true, -3, 96.5f, "C#m", 96.5f, "A# Minor"},
      {0, false, -40, 500.0f, "C", 200.0f, "C Major"},  // shift clamped to -12
      {40, false, 13, std::numeric_limits<float>::quiet_NaN(), "B", 50.0f, "B Major"},  // 12 up, not 13
  };
  for (const Case& c : cases) {
    NativeState state;
    state.dsp.params.root_key = c.root;
    state.dsp.params.scale_is_minor = c.minor;
    state.dsp.params.beat_semitone_shift = c.beat_shift;
    state.dsp.params.bpm = c.bpm;
    seed_key_tracker(state);
    LiveKeyTracker& t = state.dsp.key_tracker;
    EXPECT_TRUE(t.key_given);
    EXPECT_EQ(t.state, 1u);
    EXPECT_EQ(t.stable_count, 12u);
    const LiveKey k = track_live_key(t, {});
    EXPECT_EQ(k.label, std::string_view(c.label)) << c.telemetry;
    EXPECT_EQ(k.bpm, c.tracker_bpm) << c.telemetry;
    EXPECT_EQ(state.telemetry.detected_key_name, std::string_view(c.telemetry));
    EXPECT_EQ(state.telemetry.detected_bpm, c.tracker_bpm) << c.telemetry;
  }
}

}  // namespace
}  // namespace melodara
