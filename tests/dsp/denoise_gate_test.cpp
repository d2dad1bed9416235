#include "dsp/denoise_gate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "chain_helpers.h"
#include "signal_helpers.h"

namespace melodara {
namespace {

using test::harmonics;
using test::join;
using test::silence;

constexpr std::size_t kBlock = 128;

// The analysis and the gate alone on x, as the chain runs them with a flat
// correction EQ (y = x), told the pitch pitch_hz.
std::vector<GateSample> run_gate(DenoiseGateState& s, const DspParams& p, const std::vector<float>& x,
                                 float pitch_hz) {
  const DenoiseGateBlock block = denoise_gate_prepare(p, p.vocal_gain);
  std::vector<GateSample> out;
  out.reserve(x.size());
  for (float v : x)
    out.push_back(denoise_gate_sample(s, block, input_analysis_sample(s, block, v, pitch_hz), v));
  return out;
}

// Index of the first block whose meter reads the gate open at or after block from.
std::size_t first_open_block(const test::ChainRun& r, std::size_t from) {
  for (std::size_t b = from; b < r.meters.size(); ++b) {
    if (r.meters[b].gate_open) return b;
  }
  return r.meters.size();
}

TEST(DenoiseGate, SilenceKeepsTheGateClosedAtItsHissFloor) {
  VocalDsp d = vocal_dsp_new(DspParams{});
  const test::ChainRun r = test::run_voice(d, silence(48000));
  for (const DspMeters& m : r.meters) ASSERT_FALSE(m.gate_open);
  // Digital silence reads as a hissy pause: the floor gain 0.2 (1 - 0.2975) 0.12.
  EXPECT_NEAR(d.denoise_gate.gate_gain, 0.2f * (1.0f - 0.2975f) * 0.12f, 1e-5f);
  EXPECT_EQ(d.denoise_gate.noise_floor, 0.00018f);
  for (float v : r.out_l) ASSERT_EQ(v, 0.0f);
}

TEST(DenoiseGate, AVoiceOpensTheGateAtOnceAndItClosesAfterItsHold) {
  // 0.25 s of silence, half a second of a quiet sung tone, then silence.
  const std::size_t onset = 12000, stop = 36000;
  const std::vector<float> mic =
      join({silence(onset), harmonics(196.0, 0.03, 6, stop - onset), silence(48000)});
  DspParams p;
  p.reverb_enabled = false;  // no tail after the voice
  VocalDsp d = vocal_dsp_new(p);
  const test::ChainRun r = test::run_voice(d, mic);

  const std::size_t opened = first_open_block(r, 0);
  EXPECT_GE(opened, onset / kBlock);
  EXPECT_LE(opened, onset / kBlock + 2);  // within about 5 ms
  for (std::size_t b = opened; b < stop / kBlock; ++b) ASSERT_TRUE(r.meters[b].gate_open) << b;
  // It holds through a pause of a tenth of a second, and closes within half a second.
  EXPECT_TRUE(r.meters[(stop + 4800) / kBlock].gate_open);
  EXPECT_FALSE(r.meters[(stop + 24000) / kBlock].gate_open);
  EXPECT_LT(test::rms(std::span<const float>(r.out_l).subspan(stop + 24000, 4800)), 1e-4);
}

TEST(DenoiseGate, WithGateAndDenoiseOffTheGateReadsOpenAndPassesTheVoice) {
  DspParams p;
  p.gate_enabled = p.denoise_enabled = false;
  VocalDsp d = vocal_dsp_new(p);
  const test::ChainRun r = test::run_voice(d, silence(24000));
  EXPECT_TRUE(r.last.gate_open);
  EXPECT_NEAR(d.denoise_gate.gate_gain, 1.0f, 1e-5f);

  // At stage level: the gated voice is the corrected input itself, even in a pause.
  DenoiseGateState s;
  const std::vector<float> x = join({harmonics(150.0, 0.001, 4, 24000), silence(2400)});
  const std::vector<GateSample> g = run_gate(s, p, x, 0.0f);
  for (std::size_t i = 12000; i < x.size(); ++i) ASSERT_NEAR(g[i].voice, x[i], 1e-6f) << i;
}

TEST(DenoiseGate, TheNoiseFloorCreepsUpOnlyWhileNoPitchIsHeard) {
  // A steady hum in the voice band whose detector level is some 4 dB above the
  // initial floor: unvoiced it raises the floor (by up to 1.7 dB a second) to its
  // own level; heard as a pitch it never does.
  const std::vector<float> hum = test::sine(300.0, 0.0006, 3 * 48000);
  for (float pitch : {0.0f, 300.0f}) {
    DenoiseGateState s;
    float highest = s.noise_floor;
    const DenoiseGateBlock block = denoise_gate_prepare(DspParams{}, 1.0f);
    for (float v : hum) {
      input_analysis_sample(s, block, v, pitch);
      highest = std::fmax(highest, s.noise_floor);
    }
    if (pitch > 0.0f) {
      EXPECT_EQ(highest, 0.00045f);
    } else {
      EXPECT_GT(20.0f * std::log10(highest / 0.00045f), 3.0f);
    }
  }
}

TEST(DenoiseGate, TheGateReadoutFollowsTheSinger) {
  // A vowel, a hiss (an "s") and silence: the voice hold rises while singing and
  // falls in silence; the onset value marks the hiss and stays 0 on the vowel.
  std::mt19937 rng(7);
  std::normal_distribution<float> g(0.0f, 0.02f);
  std::vector<float> hiss(4800);
  float previous = 0.0f;
  for (float& v : hiss) {
    const float w = g(rng);
    v = w - previous;  // first difference: a bright noise
    previous = w;
  }
  const std::vector<float> x = join({harmonics(220.0, 0.05, 6, 24000), hiss, silence(48000)});
  DenoiseGateState s;
  const std::vector<GateSample> out = run_gate(s, DspParams{}, x, 0.0f);

  EXPECT_GT(out[23999].voice_hold, 0.9f);
  EXPECT_GT(out[23999].confidence, 0.9f);
  float vowel_onset = 0.0f, hiss_onset = 0.0f;
  for (std::size_t i = 4800; i < 24000; ++i) vowel_onset = std::fmax(vowel_onset, out[i].onset);
  for (std::size_t i = 24000 + 480; i < 28800; ++i) hiss_onset = std::fmax(hiss_onset, out[i].onset);
  EXPECT_EQ(vowel_onset, 0.0f);
  EXPECT_GT(hiss_onset, 0.5f);
  EXPECT_LT(out.back().voice_hold, 0.15f);
  EXPECT_LT(out.back().confidence, 0.15f);
  // The floor gain the compressor measures the gate against is where it rests.
  EXPECT_NEAR(out.back().gain, out.back().floor_gain, 1e-3f);
}

TEST(DenoiseGate, TheGateLevelOnlyMovesTheThresholdBetweenItsBounds) {
  // Below about -42.9 dB the parameter floor is under the 0.0024 bound; above
  // about -41.9 dB the threshold is pinned at 0.0027: each group sounds the same.
  std::mt19937 rng(3);
  std::normal_distribution<float> noise(0.0f, 0.002f);
  std::vector<float> mic = join({harmonics(180.0, 0.004, 6, 24000), silence(12000)});
  for (float& v : mic) v += noise(rng);
  auto run = [&mic](float gate_db) {
    DspParams p;
    p.denoise_gate_db = gate_db;
    VocalDsp d = vocal_dsp_new(p);
    return test::run_voice(d, mic);
  };
  const test::ChainRun low = run(-54.0f), high = run(-30.0f);
  for (float db : {-45.0f, -62.0f, -90.0f}) EXPECT_TRUE(test::same_samples(low, run(db))) << db;
  for (float db : {-41.0f, -24.0f, 0.0f}) EXPECT_TRUE(test::same_samples(high, run(db))) << db;
  EXPECT_FALSE(test::same_samples(low, high));
}

// Guards against one NaN microphone sample (a direct caller's: the engine cleans
// its capture) latching the analysis, so that the gate's voice stayed NaN for
// good. With clean input after it, the analysis and the gate are finite again.
TEST(DenoiseGate, OneNaNSampleThenCleanInputLeavesNoTrace) {
  DspParams p;
  p.denoise_enabled = p.gate_enabled = true;
  std::vector<float> x = harmonics(220.0, 0.3, 5, 48000);
  x[12000] = std::numeric_limits<float>::quiet_NaN();
  DenoiseGateState s;
  const std::vector<GateSample> out = run_gate(s, p, x, 220.0f);
  EXPECT_TRUE(std::isnan(out[12000].voice));
  for (std::size_t i = 12002; i < x.size(); ++i) {
    ASSERT_TRUE(std::isfinite(out[i].voice) && std::isfinite(out[i].level) && std::isfinite(out[i].gain))
        << i;
  }
  for (const float v : {s.level, s.hp1, s.hp2, s.voice_smooth1, s.voice_band, s.high_smooth, s.high_power,
                        s.voice_power, s.detector_level, s.noise_floor, s.gate_gain}) {
    EXPECT_TRUE(std::isfinite(v));
  }
  // The voice comes back: the gate opens on the tone again.
  EXPECT_GT(out.back().gain, 0.5f);
}

}  // namespace
}  // namespace melodara
