#include "dsp/reverb.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>

#include "dsp/modulation.h"
#include "dsp/vocal_dsp.h"
#include "effect_fields.h"
#include "signal_helpers.h"

namespace melodara {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The reverb alone on an engine's lines, driven by its own per-sample inputs.
struct ReverbRig {
  explicit ReverbRig(const DspParams& p)
      : engine(vocal_dsp_new(p)), block(reverb_prepare(p, fx_modes(p), effective_tempo(p.bpm))) {}
  ReverbRig(const ReverbRig&) = delete;

  StereoSample step(const Sends& sends, StereoSample voice = {}, const EchoOut& echo = {}) {
    return reverb_process(engine.reverb, lines, block, sends, echo, voice);
  }

  VocalDsp engine;
  ReverbLines lines = reverb_lines(engine);
  ReverbBlock block;
};

// A send as the sends stage forms it for an audible track and a quiet singer.
Sends sending(StereoSample pair) {
  Sends s;
  s.pair = pair;
  s.off = false;
  s.target_gain = 0.65f;
  s.vang_dai = 0.65f;
  s.volume_ratio = 1.12f;
  s.track_level = 0.05f;
  s.track_boost = 0.92f + 0.14f * (0.045f / 0.155f);
  return s;
}

struct Output {
  std::vector<float> left, right;
};

// n samples; sends_at(i) gives the sample's sends, voice_at(i) its voice pair.
Output run(
    ReverbRig& rig, std::size_t n, const std::function<Sends(std::size_t)>& sends_at,
    const std::function<StereoSample(std::size_t)>& voice_at = [](std::size_t) { return StereoSample{}; }) {
  Output r;
  r.left.resize(n);
  r.right.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const StereoSample out = rig.step(sends_at(i), voice_at(i));
    r.left[i] = out.left;
    r.right[i] = out.right;
  }
  return r;
}

DspParams largest_room() {
  DspParams p;
  p.reverb_room_size = 1.0f;
  p.reverb_damping = 0.0f;
  p.reverb_bpm_sync = true;
  p.bpm = 70.0f;  // room scale 84 / 70, held at 1.08
  p.tc_vang_ngan_level = 1.2f;
  return p;
}

TEST(Reverb, SilenceInGivesExactlyZeroOut) {
  DspParams reverse;
  reverse.dj_fx_vocal = true;
  reverse.dj_fx_mode = "Reverse";
  for (const DspParams& p : {DspParams{}, reverse, largest_room()}) {
    ReverbRig rig(p);
    const Output r = run(rig, 96000, [](std::size_t) { return sending({}); });
    for (std::size_t i = 0; i < r.left.size(); ++i) {
      ASSERT_EQ(r.left[i], 0.0f) << i;
      ASSERT_EQ(r.right[i], 0.0f) << i;
    }
    EXPECT_GT(rig.engine.reverb.active_gain, 0.5f);  // the network was open all along
  }
}

TEST(Reverb, ImpulseDecaysInTheLargestRoomWithTheStrongestFeedback) {
  ReverbRig rig(largest_room());
  ASSERT_FLOAT_EQ(rig.block.comb_feedback, 0.908f);
  rig.engine.reverb.active_gain = 1.0f;  // the main reverb at full level from the start
  const std::size_t window = 12000;      // a quarter of a second
  const Output r = run(rig, 24 * window, [](std::size_t i) {
    Sends s = sending(i == 0 ? StereoSample{1.0f, 1.0f} : StereoSample{});
    s.target_gain = 1.0f;
    return s;
  });
  std::vector<double> energy;
  for (std::size_t at = 0; at < r.left.size(); at += window) {
    double e = 0.0;
    for (std::size_t i = at; i < at + window; ++i) {
      ASSERT_TRUE(std::isfinite(r.left[i]) && std::isfinite(r.right[i])) << i;
      e += static_cast<double>(r.left[i]) * static_cast<double>(r.left[i]) +
           static_cast<double>(r.right[i]) * static_cast<double>(r.right[i]);
    }
    energy.push_back(e);
  }
  EXPECT_GT(energy[0], 0.01);
  for (std::size_t k = 2; k < energy.size(); ++k) EXPECT_LT(energy[k], energy[k - 1]) << "window " << k;
  EXPECT_LT(energy.back(), 1e-8 * energy[0]);
}

TEST(Reverb, ReverseMixIsAShareAndZeroLeavesTheEnvelopeFlat) {
  struct Case {
    const char* what;
    bool enabled;
    const char* mode;
    float mix;
    bool ref_enabled;
    float ref_mix;
  } cases[] = {
      {"mix 0 is reverse off", true, "", 0.0f, false, 0.35f},
      {"negative mix is reverse off", true, "", -2.0f, false, 0.35f},
      {"NaN mix is reverse off", true, "", kNaN, false, 0.35f},
      {"mix 3 is mix 1", true, "", 3.0f, true, 1.0f},
      {"infinite mix is mix 1", true, "", kInf, true, 1.0f},
      {"mix 3 in the Reverse mode is mix 1", false, "Reverse", 3.0f, false, 1.0f},
  };
  const std::vector<float> send = test::noise(48000, 7);
  const auto sends_at = [&](std::size_t i) { return sending({send[i], 0.7f * send[(i * 7) % send.size()]}); };
  const auto voice_at = [](std::size_t i) {
    const float v = 0.2f * std::sin(0.05f * static_cast<float>(i));
    return StereoSample{v, v};
  };
  for (const Case& c : cases) {
    DspParams p, ref;
    p.reverse_reverb_enabled = c.enabled;
    p.reverse_reverb_mix = c.mix;
    ref.reverse_reverb_enabled = c.ref_enabled;
    ref.reverse_reverb_mix = c.ref_mix;
    p.dj_fx_vocal = ref.dj_fx_vocal = *c.mode != '\0';
    p.dj_fx_mode = ref.dj_fx_mode = c.mode;
    ReverbRig a(p), b(ref);
    const Output ra = run(a, send.size(), sends_at, voice_at);
    const Output rb = run(b, send.size(), sends_at, voice_at);
    for (std::size_t i = 0; i < send.size(); ++i) {
      ASSERT_EQ(ra.left[i], rb.left[i]) << c.what << " at " << i;
      ASSERT_EQ(ra.right[i], rb.right[i]) << c.what << " at " << i;
    }
    EXPECT_GT(test::rms(ra.left), 0.05) << c.what;
  }
  // The envelope itself does something.
  DspParams on;
  on.reverse_reverb_enabled = true;
  on.reverse_reverb_mix = 1.0f;
  ReverbRig a(on), b{DspParams{}};
  const Output ra = run(a, send.size(), sends_at, voice_at);
  const Output rb = run(b, send.size(), sends_at, voice_at);
  EXPECT_NE(ra.left, rb.left);
}

// Runs of any length give what the reverb gives sample by sample, bit for bit, in
// the baseline build and in the AVX build: with the pre-delay gliding (its taps'
// whole parts crossing integers) and then jumping inside a run, the sends switching
// off inside runs, the echo feeding the input lines and the reverse envelope and
// the second bank on.
TEST(Reverb, RunsOfAnyLengthInEveryBuildMatchSampleBySample) {
  DspParams p = largest_room();
  p.reverse_reverb_enabled = true;
  p.reverse_reverb_mix = 0.5f;
  ReverbRig single(p);
  single.engine.reverb.predelay = single.block.predelay_target - 30.5f;

  const std::size_t n = 20000;  // past the input lines' wrap
  const std::vector<float> x = test::noise(n, 11), y = test::noise(n, 12);
  std::vector<Sends> sends(n);
  std::vector<EchoOut> echo(n);
  std::vector<StereoSample> voice(n);
  for (std::size_t i = 0; i < n; ++i) {
    sends[i] = sending({x[i], 0.6f * y[i]});
    sends[i].singer_level = i >= 9000 && i < 9050 ? 0.0f : 0.05f;  // quiet: the pre-delay jumps
    sends[i].off = (i >= 3000 && i < 3100) || i % 997 == 0;
    echo[i] = {{0.3f * y[i], 0.3f * x[i]}, 0.2f * x[i], 0.1f * y[i], 0.5f, i % 2000 < 1500};
    voice[i] = {0.25f * y[i], 0.25f * x[i]};
  }

  std::vector<StereoSample> expected(n);
  float glided_to = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    expected[i] = single.step(sends[i], voice[i], echo[i]);
    if (i == 8999) glided_to = single.engine.reverb.predelay;
  }
  EXPECT_GT(glided_to, single.block.predelay_target - 30.5f + 1.0f);
  EXPECT_LT(glided_to, single.block.predelay_target);
  EXPECT_EQ(single.engine.reverb.predelay, single.block.predelay_target);

  std::vector<ReverbBuild> builds = {ReverbBuild::baseline};
  if (reverb_avx_available()) builds.push_back(ReverbBuild::avx);
  // Pieces of every remainder modulo 8 and 4, and runs split by the lines' wraps.
  const std::size_t lengths[] = {128, 1, 37, 300, 128, 5, 127, 6, 3, 122};
  for (const ReverbBuild build : builds) {
    const char* name = build == ReverbBuild::avx ? "avx" : "baseline";
    ReverbRig runs(p);
    runs.engine.reverb.predelay = runs.block.predelay_target - 30.5f;
    std::vector<StereoSample> out = voice;
    std::size_t at = 0;
    for (std::size_t k = 0; at < n; ++k) {
      const std::size_t len = std::min(lengths[k % std::size(lengths)], n - at);
      reverb_process_block(runs.engine.reverb, runs.lines, runs.block, std::span(sends).subspan(at, len),
                           std::span(echo).subspan(at, len), std::span(out).subspan(at, len), build);
      at += len;
    }
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(out[i]), std::bit_cast<std::uint64_t>(expected[i]))
          << name << " at " << i;
    }
    EXPECT_TRUE(runs.engine == single.engine) << name;  // state, lines and filters alike
    EXPECT_GT(test::rms(std::span(&out[0].left, 2 * n)), 0.01) << name;
  }
}

TEST(Reverb, BlockValuesAtTheDefaultsAndTheirLimits) {
  DspParams p;
  p.reverb_bpm_sync = false;
  ReverbBlock b = reverb_prepare(p, fx_modes(p), effective_tempo(p.bpm));
  EXPECT_NEAR(b.mid_gain, 1.02035f, 1e-5f);    // 10^(0.175 / 20)
  EXPECT_NEAR(b.high_gain, 1.041118f, 1e-5f);  // 10^(0.35 / 20)
  EXPECT_NEAR(b.comb_feedback, 0.90152f, 1e-6f);
  EXPECT_NEAR(b.predelay_target, 960.0f, 1e-3f);
  EXPECT_NEAR(b.bank_feedback, 0.38f, 1e-6f);

  p.reverb_predelay_ms = 0.0f;  // 8 ms at the least
  EXPECT_NEAR(reverb_prepare(p, fx_modes(p), 70.0f).predelay_target, 384.0f, 1e-3f);
  EXPECT_EQ(reverb_tap_factor(384.0f), 0.75f);
  EXPECT_FLOAT_EQ(reverb_tap_factor(1555.2f), 1.35f);
  EXPECT_EQ(reverb_tap_factor(2400.0f), 1.35f);
  EXPECT_EQ(reverb_tap_factor(1152.0f), 1.0f);
  p.reverb_predelay_ms = 200.0f;  // 20 + 0.18 x 140 ms
  EXPECT_NEAR(reverb_prepare(p, fx_modes(p), 70.0f).predelay_target, 2169.6f, 1e-2f);
  p.reverb_predelay_ms = 5000.0f;
  EXPECT_EQ(reverb_prepare(p, fx_modes(p), 70.0f).predelay_target, 2400.0f);

  p = largest_room();
  EXPECT_EQ(reverb_prepare(p, fx_modes(p), 70.0f).comb_feedback, 0.908f);
  EXPECT_NEAR(reverb_prepare(p, fx_modes(p), 70.0f).bank_feedback, 0.4104f, 1e-6f);

  p = DspParams{};
  p.bpm = 96.0f;  // with tempo sync: pre-delay unscaled, room scale at its floor of 0.88
  b = reverb_prepare(p, fx_modes(p), effective_tempo(p.bpm));
  EXPECT_NEAR(b.predelay_target, 960.0f, 1e-3f);
  EXPECT_NEAR(b.comb_feedback, 0.854f + 0.072f * 0.66f * 0.88f, 1e-6f);

  for (float db : {100.0f, -100.0f, kInf, -kInf, kNaN}) {
    p.reverb_mid_gain_db = p.reverb_high_gain_db = db;
    b = reverb_prepare(p, fx_modes(p), 70.0f);
    EXPECT_GE(b.mid_gain, std::pow(10.0f, -4.0f / 20.0f) * 0.9999f) << db;
    EXPECT_LE(b.mid_gain, std::pow(10.0f, 2.5f / 20.0f) * 1.0001f) << db;
    EXPECT_GE(b.high_gain, std::pow(10.0f, -3.0f / 20.0f) * 0.9999f) << db;
    EXPECT_LE(b.high_gain, std::pow(10.0f, 3.0f / 20.0f) * 1.0001f) << db;
  }
}

TEST(Reverb, PreDelayGlidesOnlyWhileTheSingerIsAudibleAndClose) {
  struct Case {
    float singer, offset, expected;  // pre-delay before and after one sample, from the target
  } cases[] = {
      {0.1f, -10.0f, -10.0f + 0.0002f},  // moves by 0.00002 of the gap
      {0.1f, 30.0f, 30.0f - 0.0006f},
      {0.1f, -60.0f, 0.0f},   // more than 32 off: jumps
      {0.001f, -5.0f, 0.0f},  // a quiet singer: jumps
      {0.1f, -1.0f, -1.0f},   // a step too small to change the value: holds
      {0.001f, -1.0f, 0.0f},
  };
  for (const Case& c : cases) {
    ReverbRig rig{DspParams{}};
    const float target = rig.block.predelay_target;
    rig.engine.reverb.predelay = target + c.offset;
    Sends s = sending({});
    s.singer_level = c.singer;
    rig.step(s);
    EXPECT_NEAR(rig.engine.reverb.predelay - target, c.expected, 1e-4f) << c.offset;
    if (c.expected == c.offset) {
      EXPECT_EQ(rig.engine.reverb.predelay, target + c.offset);
    }
  }
}

TEST(Reverb, NonFiniteSendsLeaveNoTrace) {
  DspParams p = largest_room();
  p.reverse_reverb_enabled = true;
  ReverbRig rig(p);
  const std::vector<float> send = test::noise(96000, 3);
  const Output r = run(rig, send.size(), [&](std::size_t i) {
    Sends s = sending({0.3f * send[i], 0.3f * send[(i + 17) % send.size()]});
    if (i == 1000) s.pair = {kNaN, kNaN};
    if (i == 2000) s.pair = {kInf, -kInf};
    if (i == 3000) s.target_gain = kNaN;
    if (i == 4000) s.volume_ratio = kInf;
    return s;
  });
  for (std::size_t i = 48000; i < r.left.size(); ++i) {
    ASSERT_TRUE(std::isfinite(r.left[i]) && std::isfinite(r.right[i])) << i;
  }
  EXPECT_GT(test::rms(std::span(r.left).subspan(48000)), 0.01);  // still reverberating
  const ReverbState& s = rig.engine.reverb;
  EXPECT_TRUE(std::isfinite(s.active_gain));
  for (float m : s.damp_l) EXPECT_TRUE(std::isfinite(m));
  for (float m : s.b_damp_r) EXPECT_TRUE(std::isfinite(m));
}

TEST(Reverb, HostileParametersWithTheSendsOnStayFinite) {
  const std::vector<float> send = test::noise(12000, 9);
  for (std::size_t f = 0; f < std::size(test::kReverbFields); ++f) {
    for (const float v : test::kHostileValues) {
      DspParams p;
      p.reverse_reverb_enabled = true;
      p.*test::kReverbFields[f] = v;
      ReverbRig rig(p);
      const Output r = run(
          rig, send.size(),
          [&](std::size_t i) {
            return sending({send[i], send[i]});
          },
          [&](std::size_t i) {
            return StereoSample{send[i], 0.0f};
          });
      for (std::size_t i = 0; i < send.size(); ++i) {
        ASSERT_TRUE(std::isfinite(r.left[i]) && std::isfinite(r.right[i])) << "field " << f << " = " << v;
      }
    }
  }
}

TEST(Reverb, SendOffStopsTheInputAndLetsTheTankRingOut) {
  ReverbRig rig(largest_room());
  const std::vector<float> send = test::noise(48000, 5);
  run(rig, send.size(), [&](std::size_t i) { return sending({send[i], send[i]}); });
  const float gain_before = rig.engine.reverb.active_gain;
  Sends off;  // the default: every send off
  const Output r = run(rig, 48000, [&](std::size_t) { return off; });
  EXPECT_LT(rig.engine.reverb.active_gain, 0.01f * gain_before);
  EXPECT_GT(test::rms(std::span(r.left).first(2400)), 1e-3);  // the tail goes on at once
  EXPECT_LT(test::rms(std::span(r.left).last(4800)), 1e-5);
  for (float v : rig.engine.long_line_l) ASSERT_EQ(v, 0.0f);
  for (float v : rig.engine.long_line_r) ASSERT_EQ(v, 0.0f);
}

}  // namespace
}  // namespace melodara
