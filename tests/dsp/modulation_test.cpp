#include "dsp/modulation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "signal_helpers.h"

namespace melodara {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

DspParams with_mode(const char* mode) {
  DspParams p;
  p.dj_fx_vocal = true;
  p.dj_fx_mode = mode;
  return p;
}

TEST(EchoTiming, TargetFollowsTheDivisionAndTheTempo) {
  struct Case {
    const char* division;
    float bpm;
    bool slapback;
    float samples;
  } cases[] = {
      {"1/8", 70.0f, false, 20571.43f},  // 428.6 ms
      {"1/8", 150.0f, false, 19200.0f},  // above 144 the tempo is halved: 75
      {"1/16", 144.0f, false, 5000.0f},  // 144 itself is not halved
      {"1/16", 200.0f, false, 7200.0f},  // 100
      {"1/4", 120.0f, false, 24000.0f},   {"1/4D", 120.0f, false, 36000.0f},
      {"1/2T", 120.0f, false, 31999.99f}, {"1/4T", 120.0f, false, 16000.01f},
      {"1/8D", 120.0f, false, 18000.0f},  {"1/8T", 120.0f, false, 7999.99f},
      {"1/2", 70.0f, false, 47360.0f},  // 82,286 held at the longest time
      {"1/4D", 40.0f, false, 47360.0f},   {"3/8", 70.0f, false, 20571.43f},  // unknown texts are an eighth
      {"1/8 ", 70.0f, false, 20571.43f},                                     // exact text only
      {"", 70.0f, false, 20571.43f},      {"1/8", 20.0f, false, 36000.0f},   // bpm within 40..200
      {"1/8", 500.0f, false, 14400.0f},                                      // 200, halved
      {"1/8", kNaN, false, 36000.0f},     {"1/2", 70.0f, true, 4080.0f},     // "Slapback" is fixed
      {"1/16", 200.0f, true, 4080.0f},
  };
  for (const Case& c : cases) {
    const float got =
        echo_target_samples(effective_tempo(c.bpm), note_division_beats(c.division), c.slapback);
    EXPECT_NEAR(got, c.samples, 0.02f) << c.division << " at " << c.bpm;
  }
}

TEST(EchoTiming, CurrentTimeJumpsOrGlides) {
  struct Case {
    float singer, offset, expected;  // from the target, before and after one sample
  } cases[] = {
      {0.1f, -20.0f, -20.0f + 0.0004f},  // glides by 0.00002 of the gap
      {0.1f, 30.0f, 30.0f - 0.0006f},
      {0.1f, 33.0f, 0.0f},   // more than 32 away: jumps
      {0.014f, 5.0f, 0.0f},  // a quiet singer: jumps
  };
  const DspParams p;
  const TempoTimingBlock b = tempo_timing_prepare(p, fx_modes(p));
  for (const Case& c : cases) {
    TempoTimingState s;
    s.echo_time = b.target + c.offset;
    const EchoTime t = tempo_timing_sample(s, b, c.singer);
    EXPECT_NEAR(t.samples - b.target, c.expected, 2e-3f) << c.offset;
    EXPECT_EQ(t.samples, s.echo_time);
  }
}

TEST(EchoTiming, WobbleAdvancesWithTheTempoAndAccelSpeedsUpOverItsCycle) {
  DspParams p = with_mode("Accel");
  p.bpm = 120.0f;  // one cycle a second
  const TempoTimingBlock b = tempo_timing_prepare(p, fx_modes(p));
  EXPECT_NEAR(b.wobble_step, 1.0f / 48000.0f, 1e-12f);
  struct Case {
    float phase, beats;
  } cases[] = {{0.1f, 1.0f}, {0.3f, 0.5f}, {0.6f, 0.375f}, {0.9f, 0.25f}};
  for (const Case& c : cases) {
    TempoTimingState s;
    s.wobble_phase = c.phase;
    const EchoTime t = tempo_timing_sample(s, b, 0.0f);
    EXPECT_EQ(t.beats, c.beats);
    EXPECT_NEAR(t.samples, 24000.0f * c.beats, 0.01f);
    EXPECT_NEAR(t.wobble_phase, c.phase + 1.0f / 48000.0f, 1e-6f);
  }
  // Slow tempi keep a floor of 0.35 of the 120 BPM rate, fast ones a ceiling of 1.25.
  p.bpm = 40.0f;
  EXPECT_NEAR(tempo_timing_prepare(p, fx_modes(p)).wobble_step, 0.35f / 48000.0f, 1e-12f);
  p.bpm = 144.0f;
  EXPECT_NEAR(tempo_timing_prepare(p, fx_modes(p)).wobble_step, 1.2f / 48000.0f, 1e-12f);
  TempoTimingState s;
  s.wobble_phase = 1.0f - 0.5f / 48000.0f;
  EXPECT_LT(tempo_timing_sample(s, b, 0.0f).wobble_phase, 0.001f);  // wraps
}

TEST(EchoTiming, EchoLevel) {
  struct Case {
    float mix, level;
    const char* mode;
    float e;
  } cases[] = {
      {0.0f, 0.4f, "", 0.4f},  // no mix: the level alone
      {0.0f, 3.0f, "", 1.0f},          {0.0f, -1.0f, "", 0.0f},
      {0.07f, 1.0f, "", 0.5f},  // 0.07 / 0.14
      {0.3f, 0.5f, "", 0.7f},   // mix ratio at most 1.4
      {0.3f, 2.0f, "", 1.0f},          {0.3f, kNaN, "", 0.0f},
      {0.0f, 0.0f, "Slapback", 0.72f},  // echo words raise it to 0.72
      {0.0f, 0.9f, "Up-Down", 0.9f},   {0.0f, 0.0f, "Ramp Accel", 0.72f},
      {0.0f, 0.0f, "Chorus", 0.0f},
  };
  for (const Case& c : cases) {
    DspParams p = with_mode(c.mode);
    p.delay_mix = c.mix;
    p.tc_delay_level = c.level;
    EXPECT_NEAR(echo_level(p, fx_modes(p)), c.e, 1e-6f) << c.mix << " " << c.level << " " << c.mode;
  }
  DspParams off = with_mode("Slapback");
  off.dj_fx_vocal = false;  // mode words need dj_fx_vocal
  EXPECT_EQ(echo_level(off, fx_modes(off)), 0.0f);
}

TEST(BeatGate, PatternAndDepth) {
  constexpr std::array<float, 16> kBuiltIn{1, 0, 1, 0, 1, 1, 0, 1, 1, 0, 1, 0, 1, 1, 0, 1};
  DspU8x16 all_open;
  all_open.fill(1);
  DspU8x16 own{};
  own[3] = 7;  // any non-zero step is open
  struct Case {
    const char* what;
    bool enabled;
    const char* mode;
    DspU8x16 steps;
    float mix;
    std::array<float, 16> open;  // 1 where the target is 1
  } cases[] = {
      {"off", false, "", own, 1.0f, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
      {"own pattern", true, "", own, 1.0f, {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"switch, all open", true, "", all_open, 1.0f, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
      {"Chop, all open", false, "Chop", all_open, 1.0f, kBuiltIn},
      {"BeatGate, all open", false, "BeatGate", all_open, 1.0f, kBuiltIn},
      {"switch and Chop, all open", true, "Chop", all_open, 1.0f, kBuiltIn},
      {"Chop, own pattern", false, "Chop", own, 1.0f, {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    DspParams p = with_mode(c.mode);
    p.beat_gate_enabled = c.enabled;
    p.beat_gate_steps = c.steps;
    p.beat_gate_mix = c.mix;
    const BeatGateBlock b = beat_gate_prepare(p, fx_modes(p));
    for (std::size_t k = 0; k < 16; ++k) {
      EXPECT_NEAR(b.targets[k], c.open[k] != 0.0f ? 1.0f : 0.08f, 1e-6f) << c.what << " step " << k;
    }
  }
  DspParams p;
  p.beat_gate_enabled = true;
  p.beat_gate_steps = own;
  for (const auto& [mix, closed] : {std::pair{0.5f, 0.54f}, {0.0f, 1.0f}, {7.0f, 0.08f}, {kNaN, 1.0f}}) {
    p.beat_gate_mix = mix;
    EXPECT_NEAR(beat_gate_prepare(p, fx_modes(p)).targets[0], closed, 1e-6f) << mix;
  }
}

TEST(BeatGate, ClosedStepsAreAtLeast15DbDownAt120Bpm) {
  DspParams p;
  p.beat_gate_enabled = true;
  p.bpm = 120.0f;
  const BeatGateBlock b = beat_gate_prepare(p, fx_modes(p));
  const std::uint64_t step_length = 6000;  // a sixteenth at 120 BPM
  BeatGateState s;
  const std::vector<float> tone = test::sine(440.0, 0.5, 16 * step_length * 2);
  std::array<double, 16> sum{};
  for (std::uint64_t counter = 1; counter <= tone.size(); ++counter) {
    const std::uint64_t step = (counter / step_length) % 16;
    const float x = tone[counter - 1];
    const StereoSample out = beat_gate_process(s, b, step, {x, -x});
    ASSERT_EQ(out.left, -out.right);
    // Skip the first 10 ms of every step: the gain is still moving there.
    if (counter % step_length >= 480)
      sum[step] += static_cast<double>(out.left) * static_cast<double>(out.left);
  }
  double loudest_closed = 0.0, quietest_open = 1e30;
  for (std::size_t k = 0; k < 16; ++k) {
    if (p.beat_gate_steps[k] != 0) {
      quietest_open = std::min(quietest_open, sum[k]);
    } else {
      loudest_closed = std::max(loudest_closed, sum[k]);
    }
  }
  EXPECT_GT(10.0 * std::log10(quietest_open / loudest_closed), 15.0);
}

// The modulated delay on two lines of its own.
struct ModDelayRig {
  std::vector<float> left = std::vector<float>(kModLineSize, 0.0f);
  std::vector<float> right = std::vector<float>(kModLineSize, 0.0f);
  ModDelayState state;
  ModDelayBlock block;
  StereoSample step(StereoSample x) { return mod_delay_process(state, ModDelayLines{left, right}, block, x); }
};

TEST(ModDelay, IdleDoublerAddsTheSideSignalOnlyWithTheReverb) {
  for (const bool reverb : {true, false}) {
    DspParams p;
    p.reverb_enabled = reverb;
    ModDelayRig rig;
    rig.block = mod_delay_prepare(p, fx_modes(p));
    ASSERT_FALSE(rig.block.doubler);
    for (std::size_t i = 0; i < 1000; ++i) {
      const float x = i == 0 ? 1.0f : 0.0f;
      const StereoSample out = rig.step({x, x});
      float u = 0.0f;
      if (reverb && i == 460) u = 0.018f;
      if (reverb && i == 470) u = -0.018f;
      ASSERT_FLOAT_EQ(out.left, x + u) << i;
      ASSERT_FLOAT_EQ(out.right, x - u) << i;
    }
    EXPECT_EQ(rig.left[0], 1.0f);  // the lines fill while idle
  }
}

TEST(ModDelay, DoublerTapsArriveAtTheirDelaysCrossCoupled) {
  DspParams p;
  p.doubler_mix = 1.0f;
  p.mod_feedback_pct = 0.0f;
  ModDelayRig rig;
  rig.block = mod_delay_prepare(p, fx_modes(p));
  ASSERT_TRUE(rig.block.doubler);
  EXPECT_EQ(rig.block.centre_a, 672.0f);   // 14 ms
  EXPECT_EQ(rig.block.centre_b, 1032.0f);  // 21.5 ms
  std::vector<StereoSample> out;
  for (std::size_t i = 0; i < 1200; ++i) out.push_back(rig.step({i == 0 ? 1.0f : 0.0f, 0.0f}));
  EXPECT_FLOAT_EQ(out[0].left, 1.0f - 0.12f * 0.22f);  // the dry part
  // The left impulse comes back through tap A (delay 672 plus the LFO, about
  // 2.5 samples this early in its cycle): 0.86 on the left, -0.14 on the right.
  double sum = 0.0, moment = 0.0;
  for (std::size_t i = 600; i < 750; ++i) {
    sum += static_cast<double>(out[i].left);
    moment += static_cast<double>(out[i].left) * static_cast<double>(i);
    if (out[i].left != 0.0f) {
      EXPECT_FLOAT_EQ(out[i].right / out[i].left, -0.14f / 0.86f) << i;
    }
  }
  EXPECT_NEAR(sum, 0.86 * 0.22, 1e-3);  // the moving delay stretches the pulse a little
  EXPECT_NEAR(moment / sum, 672.0 + 43.2 * std::sin(2.0 * std::numbers::pi * 0.0000135417 * 674.5), 0.05);
  for (std::size_t i = 750; i < 1200; ++i) ASSERT_EQ(out[i].left, 0.0f) << i;  // no feedback
}

TEST(ModDelay, DelayTimeIsClampedAndBypassTouchesNothing) {
  DspParams p;
  p.doubler_mix = 0.5f;
  p.mod_delay_ms = 100.0f;  // acts as 35
  ModDelayBlock b = mod_delay_prepare(p, fx_modes(p));
  EXPECT_EQ(b.centre_a, 1680.0f);
  EXPECT_EQ(b.centre_b, 2016.0f);
  p.mod_delay_ms = kNaN;
  b = mod_delay_prepare(p, fx_modes(p));
  EXPECT_EQ(b.centre_a, 384.0f);
  EXPECT_EQ(b.centre_b, 576.0f);

  // Chorus words and the harmony raise the amount and fix the feedback.
  DspParams chorus = with_mode("Shimmer");
  b = mod_delay_prepare(chorus, fx_modes(chorus));
  EXPECT_TRUE(b.doubler);
  EXPECT_NEAR(b.wet, 0.68f * 0.22f, 1e-6f);
  EXPECT_EQ(b.feedback, 0.08f);
  DspParams harmony;
  harmony.chong_be_harmony = true;
  b = mod_delay_prepare(harmony, fx_modes(harmony));
  EXPECT_NEAR(b.wet, 0.42f * 0.22f, 1e-6f);
  EXPECT_EQ(b.feedback, 0.08f);
  harmony.chong_be_harmony = false;
  harmony.doubler_mix = 0.3f;
  harmony.mod_feedback_pct = 500.0f;
  EXPECT_NEAR(mod_delay_prepare(harmony, fx_modes(harmony)).feedback, 0.27f, 1e-6f);

  for (const bool mono : {true, false}) {
    DspParams q;
    q.doubler_mix = 1.0f;
    q.send_to_phone_mono = mono;
    q.mod_routing_order = mono ? 0 : 2;
    ModDelayRig rig;
    rig.block = mod_delay_prepare(q, fx_modes(q));
    for (int i = 0; i < 100; ++i) {
      const StereoSample out = rig.step({0.25f, -0.5f});
      ASSERT_EQ(out.left, 0.25f);
      ASSERT_EQ(out.right, -0.5f);
    }
    EXPECT_EQ(rig.state, ModDelayState{});
    EXPECT_EQ(rig.left[0], 0.0f);
  }
}

}  // namespace
}  // namespace melodara
