// The live key tracker on synthetic backing tracks: its start, silence, the
// search and locking on an A-minor pad, the tempo of click tracks, seeding and
// the upward key change, and the hand-over through the vocal chain.
#include "dsp/key_tracker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "chain_helpers.h"
#include "dsp/vocal_dsp.h"
#include "key_signals.h"

namespace melodara {
namespace {

using test::add_clicks;
using test::chord_mono;

// The tracker's state after one key analysis.
struct Analysis {
  std::string label;
  float bpm;
  std::uint32_t stable_count;
  std::uint8_t state;
};

// Feeds the signal block by block and keeps what each analysis left.
std::vector<Analysis> feed(LiveKeyTracker& t, const std::vector<float>& mono) {
  std::vector<Analysis> analyses;
  for (std::size_t at = 0; at + 128 <= mono.size(); at += 128) {
    const LiveKey k = track_live_key(t, std::span(mono).subspan(at, 128));
    if (t.since_analysis == 0)
      analyses.push_back({std::string(k.label.view()), k.bpm, t.stable_count, t.state});
  }
  return analyses;
}

std::vector<float> pad(const std::vector<int>& notes, double seconds) {
  const std::vector<float> piece = chord_mono(notes, 2.0);
  std::vector<float> out(static_cast<std::size_t>(seconds * 48000.0));
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = piece[i % piece.size()];
  return out;
}

std::vector<float> click_pad(double bpm, double seconds) {
  std::vector<float> x = pad(test::kAMinorTriad, seconds);
  add_clicks(x, bpm);
  return x;
}

TEST(LiveKeyTracker, StartsOnDMinorAt70AndAnEmptyBlockChangesNothing) {
  LiveKeyTracker t = live_key_tracker_new();
  const LiveKey k = track_live_key(t, {});
  EXPECT_EQ(k.label, std::string_view("Dm"));
  EXPECT_EQ(k.bpm, 70.0f);
  EXPECT_TRUE(t == live_key_tracker_new());
}

TEST(LiveKeyTracker, SilenceAndVeryQuietMusicRunNoAnalysis) {
  // A mean square near 2e-6 (at most 5e-6 in any block), under the 1e-5 an analysis needs.
  const std::vector<float> quiet = test::chord_mono({57}, 1.0, 0.002);
  for (const std::vector<float>& signal : {std::vector<float>(48000, 0.0f), quiet}) {
    LiveKeyTracker t = live_key_tracker_new();
    EXPECT_TRUE(feed(t, signal).empty());
    EXPECT_EQ(t.since_analysis, 48000u / 12);  // still counting
    EXPECT_EQ(t.stable_count, 0u);
    EXPECT_EQ(t.chroma_long, Chroma{});
    EXPECT_EQ(track_live_key(t, std::span(signal).first(128)).label, std::string_view("Dm"));
  }
}

TEST(LiveKeyTracker, AMinorPadIsShownAfterFiveAgreeingAnalysesLockedAfterEightSettledAfter180More) {
  LiveKeyTracker t = live_key_tracker_new();
  const std::vector<Analysis> a = feed(t, pad(test::kAMinorTriad, 20.0));
  ASSERT_GT(a.size(), 190u);
  std::size_t locked_at = 0, settled_at = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    // The first analysis moves the current key to A minor: one agreeing analysis.
    EXPECT_EQ(a[i].stable_count, i + 1) << i;
    EXPECT_EQ(a[i].label, i + 1 >= 5 ? "Am" : "Dm") << i;
    if (a[i].state == 1 && locked_at == 0) locked_at = i;
    if (a[i].state == 2 && settled_at == 0) settled_at = i;
  }
  EXPECT_EQ(locked_at + 1, 8u) << "locked at the eighth agreeing analysis";
  EXPECT_EQ(settled_at - locked_at, 180u);
  EXPECT_EQ(a.back().state, 2u);
}

TEST(LiveKeyTracker, ClickPadTempoSettlesOnItsBpmAQuarterStepAtATime) {
  for (const double bpm : {120.0, 100.0}) {
    LiveKeyTracker t = live_key_tracker_new();
    const std::vector<Analysis> a = feed(t, click_pad(bpm, 25.0));
    // No estimate before 300 onsets (3 s); the first moves a quarter of the way.
    float first_move = 70.0f;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (i < 29) {
        EXPECT_EQ(a[i].bpm, 70.0f) << i;
      }
      if (a[i].bpm != 70.0f) {
        first_move = a[i].bpm;
        break;
      }
    }
    EXPECT_EQ(first_move, std::round(0.25f * float(bpm) + 0.75f * 70.0f)) << bpm;
    // Rounding each step would stall one short of it for ever.
    EXPECT_EQ(a.back().bpm, float(bpm)) << bpm;
    EXPECT_EQ(t.bpm, float(bpm)) << bpm;
  }
}

TEST(LiveKeyTracker, SeedingLocksTheKeyAndTempoAndSettledItHearsOnlyAnUpwardChange) {
  LiveKeyTracker t = live_key_tracker_new();
  seed_live_key_tracker(t, 9, true, 30.0f);
  LiveKey k = track_live_key(t, {});
  EXPECT_EQ(k.label, std::string_view("Am"));
  EXPECT_EQ(k.bpm, 40.0f);
  EXPECT_EQ(t.state, 1u);
  EXPECT_EQ(t.stable_count, 12u);

  // Its own search is off: a C major pad with clicks changes neither key nor tempo.
  std::vector<float> c_major = pad(test::kCMajorTriad, 19.0);
  add_clicks(c_major, 120.0);
  std::vector<Analysis> a = feed(t, c_major);
  ASSERT_GT(a.size(), 180u);
  for (const Analysis& x : a) {
    ASSERT_EQ(x.label, "Am");
    ASSERT_EQ(x.bpm, 40.0f);
    ASSERT_EQ(x.stable_count, 12u);
  }
  EXPECT_EQ(t.state, 2u) << "settled after 180 analyses";

  // Settled: a change down (G minor) is ignored, one up (B minor) is confirmed.
  a = feed(t, pad({43, 50, 55, 58, 62}, 5.0));
  EXPECT_EQ(a.back().label, "Am");
  EXPECT_EQ(t.state, 2u);
  a = feed(t, pad({47, 54, 59, 62, 66}, 5.0));
  EXPECT_EQ(a.back().label, "Bm");
  EXPECT_EQ(t.state, 3u);
  EXPECT_EQ(t.current_key, 11u);
  EXPECT_EQ(t.stable_count, 16u);

  // Nothing but a new seed leaves state 3.
  seed_live_key_tracker(t, 14, false, 128.0f);
  k = track_live_key(t, {});
  EXPECT_EQ(k.label, std::string_view("B"));
  EXPECT_EQ(k.bpm, 128.0f);
  EXPECT_EQ(t.state, 1u);
}

TEST(LiveKeyTracker, NonFiniteSamplesDoNotStayInTheTracker) {
  LiveKeyTracker t = live_key_tracker_new();
  std::vector<float> x = pad(test::kAMinorTriad, 3.0);
  x[100] = std::numeric_limits<float>::quiet_NaN();
  x[5000] = std::numeric_limits<float>::infinity();
  const std::vector<Analysis> a = feed(t, x);
  EXPECT_TRUE(std::isfinite(t.fast_lp) && std::isfinite(t.slow_lp));
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(a.back().label, "Am");
}

TEST(LiveKeyTracker, BlocksWithAnalysesNeitherAllocateNorFree) {
  LiveKeyTracker t = live_key_tracker_new();
  const std::vector<float> x = click_pad(120.0, 6.0);
  std::size_t analyses = 0;
  test::ThreadAllocationCounter counter;
  for (std::size_t at = 0; at + 128 <= x.size(); at += 128) {
    track_live_key(t, std::span(x).subspan(at, 128));
    if (t.since_analysis == 0) ++analyses;
  }
  EXPECT_EQ(counter.count(), 0u);
  EXPECT_EQ(counter.frees(), 0u);
  EXPECT_GT(analyses, 50u);
  EXPECT_NE(t.bpm, 70.0f) << "tempo estimates ran too";
}

TEST(LiveKeyTracker, TheChainHandsTheTrackedKeyAndTempoToPitchCorrection) {
  VocalDsp d = vocal_dsp_new(dsp_params_default());
  ASSERT_TRUE(d.params.send_key_to_autotune);
  const std::vector<float> music = click_pad(120.0, 20.0);
  const std::vector<float> mic(music.size(), 0.0f);
  const test::ChainRun run = test::run_chain(d, mic, music, music);
  EXPECT_EQ(d.params.root_key, 9u);
  EXPECT_TRUE(d.params.scale_is_minor);
  EXPECT_EQ(d.params.bpm, 120.0f);
  EXPECT_EQ(run.last.detected_key_name, std::string_view("Am"));
  EXPECT_EQ(run.last.detected_bpm, 120.0f);

  // With the hand-over off, the parameters keep their key.
  VocalDsp off = vocal_dsp_new(dsp_params_default());
  off.params.send_key_to_autotune = false;
  const test::ChainRun kept = test::run_chain(off, mic, music, music);
  EXPECT_EQ(off.params.root_key, 2u);
  EXPECT_EQ(kept.last.detected_key_name, std::string_view("Dm"));
}

}  // namespace
}  // namespace melodara
