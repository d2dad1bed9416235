#include "dsp/dynamics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "chain_helpers.h"
#include "signal_helpers.h"

namespace melodara {
namespace {

using test::harmonics;
using test::join;
using test::silence;
using test::sine;

// A loud voice over a loud backing track with clicks: every dynamics stage works.
struct Scene {
  std::vector<float> mic =
      join({harmonics(233.0, 0.3, 8, 12000), sine(5500.0, 0.25, 4000), harmonics(147.0, 0.6, 8, 12000)});
  std::vector<float> left = sine(98.0, 0.5, mic.size());
  std::vector<float> right = sine(3100.0, 0.3, mic.size());
  Scene() {
    for (std::size_t i = 0; i < left.size(); i += 5000) left[i] = 0.95f;
  }
};

test::ChainRun run_scene(const DspParams& p) {
  static const Scene scene;
  VocalDsp d = vocal_dsp_new(p);
  return test::run_chain(d, scene.mic, scene.left, scene.right);
}

TEST(Dynamics, ClampedParametersSoundTheSameOnFreshEngines) {
  using Edit = std::function<void(DspParams&)>;
  struct Group {
    const char* what;
    std::vector<Edit> edits;  // the first is the reference
  } groups[] = {
      {"ratio 8 and above",
       {[](DspParams& p) { p.comp_ratio = 8.5f; }, [](DspParams& p) { p.comp_ratio = 20.0f; },
        [](DspParams& p) { p.comp_ratio = 1000.0f; }}},
      {"ratio 1.5 and below",
       {[](DspParams& p) { p.comp_ratio = 1.5f; }, [](DspParams& p) { p.comp_ratio = 1.0f; },
        [](DspParams& p) { p.comp_ratio = -4.0f; }}},
      {"threshold -3 dB and above",
       {[](DspParams& p) { p.comp_thresh_db = -3.0f; }, [](DspParams& p) { p.comp_thresh_db = 0.0f; },
        [](DspParams& p) { p.comp_thresh_db = 12.0f; }}},
      {"threshold -40 dB and below",
       {[](DspParams& p) { p.comp_thresh_db = -40.0f; }, [](DspParams& p) { p.comp_thresh_db = -60.0f; }}},
      {"chain mode other than 1, or no vitamin",
       {[](DspParams& p) { p.audio_chain_mode = 0; }, [](DspParams& p) { p.audio_chain_mode = 2; },
        [](DspParams& p) { p.audio_chain_mode = 255; }, [](DspParams& p) { p.tc_vitamin_enabled = false; }}},
      {"pre-compressor ratio 4 and above",
       {[](DspParams& p) { p.pre_comp_ratio = 4.0f; }, [](DspParams& p) { p.pre_comp_ratio = 40.0f; }}},
      {"compressor off, whatever its settings",
       {[](DspParams& p) { p.comp_enabled = false; },
        [](DspParams& p) {
          p.comp_enabled = false;
          p.comp_ratio = 2.0f;
          p.comp_thresh_db = -30.0f;
          p.comp_makeup_db = 9.0f;
        }}},
      {"de-esser off, whatever its amount",
       {[](DspParams& p) { p.deesser_enabled = false; },
        [](DspParams& p) {
          p.deesser_enabled = false;
          p.deesser_amount = 1.0f;
          p.tc_deesser_pre_db = -40.0f;
        }}},
  };
  for (const Group& g : groups) {
    DspParams reference_params;
    g.edits[0](reference_params);
    const test::ChainRun reference = run_scene(reference_params);
    for (std::size_t k = 1; k < g.edits.size(); ++k) {
      DspParams p;
      g.edits[k](p);
      EXPECT_TRUE(test::same_samples(reference, run_scene(p))) << g.what << ", variant " << k;
    }
    EXPECT_FALSE(test::same_samples(reference, run_scene(DspParams{}))) << g.what << " against the defaults";
  }
}

TEST(Dynamics, ASustainedLoudToneIsReducedBetweenTheFloors) {
  // The knee's gain floor 0.34 (9.37 dB) and, after the peak stage, 0.26 (11.7 dB).
  VocalDsp loud = vocal_dsp_new(DspParams{});
  const test::ChainRun r = test::run_voice(loud, harmonics(196.0, 0.6, 4, 48000));
  EXPECT_GE(r.last.comp_reduction_db, 9.37f);
  EXPECT_LE(r.last.comp_reduction_db, 11.71f);

  // Below the knee (K1 = 0.0548 with the defaults) nothing is taken off.
  VocalDsp quiet = vocal_dsp_new(DspParams{});
  EXPECT_EQ(test::run_voice(quiet, sine(196.0, 0.02, 48000)).last.comp_reduction_db, 0.0f);
}

TEST(Dynamics, TheDeEsserActsOnALoudSibilantAndNotOnALowTone) {
  struct Case {
    double hz;
    bool enabled;
    bool acts;
  } cases[] = {{5500.0, true, true}, {300.0, true, false}, {5500.0, false, false}};
  for (const Case& c : cases) {
    DspParams p;
    p.deesser_enabled = c.enabled;
    VocalDsp d = vocal_dsp_new(p);
    const test::ChainRun r = test::run_voice(d, sine(c.hz, 0.3, 24000));
    float most = 0.0f;
    for (const DspMeters& m : r.meters) most = std::fmax(most, m.deesser_reduction_db);
    if (c.acts) {
      EXPECT_GT(most, 1.0f) << c.hz;
    } else {
      EXPECT_EQ(most, 0.0f) << c.hz << (c.enabled ? "" : ", off");
    }
  }
}

TEST(Dynamics, MakeupAndRiderFollowASingingVoiceAndRestInSilence) {
  // A fresh engine in silence: the gate is closed, so no makeup and no rider.
  VocalDsp d = vocal_dsp_new(DspParams{});
  test::run_voice(d, silence(24000));
  EXPECT_EQ(d.dynamics.makeup_gain, 1.0f);
  EXPECT_EQ(d.dynamics.rider_gain, 1.0f);

  // A quiet sung note opens the gate: the full makeup (7.38 dB with the defaults)
  // and the rider lifting the quiet voice.
  test::run_voice(d, harmonics(220.0, 0.02, 6, 48000));
  EXPECT_NEAR(20.0f * std::log10(d.dynamics.makeup_gain), 7.38f, 0.05f);
  EXPECT_GT(d.dynamics.rider_gain, 1.05f);

  // Silence again: both come back to rest, the rider to within its hysteresis
  // of 0.015 around 1.
  test::run_voice(d, silence(2 * 48000));
  EXPECT_LT(20.0f * std::log10(d.dynamics.makeup_gain), 0.1f);
  EXPECT_LT(d.dynamics.rider_gain, 1.02f);
}

TEST(Dynamics, ThePunchStageLiftsTheTrackInChainMode1) {
  // A mid-band track tone, between the punch's 220 Hz and 2,594 Hz filters: the
  // track pair grows by 1 + 0.035 pv and nothing else.
  const std::vector<float> track = sine(1000.0, 0.2, 24000);
  const std::vector<float> quiet(track.size(), 0.0f);
  auto track_rms = [&](std::uint8_t mode) {
    DspParams p;
    p.audio_chain_mode = mode;
    VocalDsp d = vocal_dsp_new(p);
    const test::ChainRun r = test::run_chain(d, quiet, track, track);
    return test::rms(std::span<const float>(r.stems[2]).subspan(12000));
  };
  EXPECT_NEAR(track_rms(1) / track_rms(0), 1.0 + 0.035 * 0.45, 0.002);
}

}  // namespace
}  // namespace melodara
