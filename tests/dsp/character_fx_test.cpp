#include "dsp/character_fx.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <vector>

#include "dsp/vocal_dsp.h"
#include "effect_fields.h"
#include "signal_helpers.h"

namespace melodara {
namespace {

DspParams echo_params(const char* mode = "") {
  DspParams p;
  p.delay_enabled = true;
  p.delay_mix = 0.3f;
  p.tc_delay_level = 1.0f;
  p.dj_fx_vocal = *mode != '\0';
  p.dj_fx_mode = mode;
  return p;
}

Sends track_playing(StereoSample pair = {}) {
  Sends s;
  s.pair = pair;
  s.track_level = 0.05f;
  s.off = false;
  return s;
}

// The echo path alone on an engine's lines, with the timing in front of it.
struct EchoRig {
  explicit EchoRig(const DspParams& p)
      : engine(vocal_dsp_new(p)),
        timing(tempo_timing_prepare(p, fx_modes(p))),
        block(echo_prepare(p, fx_modes(p))) {}
  EchoRig(const EchoRig&) = delete;

  EchoOut step(const Sends& sends) {
    const EchoTime t = tempo_timing_sample(engine.modulation.timing, timing, sends.singer_level);
    return echo_process(engine.character_fx.echo, lines, block, t, sends);
  }
  std::vector<EchoOut> run(std::size_t n, const std::function<Sends(std::size_t)>& sends_at) {
    std::vector<EchoOut> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(step(sends_at(i)));
    return out;
  }

  VocalDsp engine;
  EchoLines lines = echo_lines(engine);
  TempoTimingBlock timing;
  EchoBlock block;
};

// Centre of mass of the side signal over [at - 12, at + 12].
double arrival(const std::vector<EchoOut>& out, double at) {
  double sum = 0.0, moment = 0.0;
  for (auto i = static_cast<std::size_t>(at) - 12; i <= static_cast<std::size_t>(at) + 12; ++i) {
    sum += static_cast<double>(out[i].side);
    moment += static_cast<double>(out[i].side) * static_cast<double>(i);
  }
  return moment / sum;
}

TEST(EchoPath, EchoesArriveAtTheirDelays) {
  const double eighth = 60.0 / 70.0 * 0.5 * 48000.0;  // 20,571.4 samples at the default tempo
  struct Case {
    const char* what;
    const char* mode;
    bool spread;
    const char* division;
    double left, right;
  } cases[] = {
      {"plain", "", false, "1/8", eighth, eighth},
      {"delay_ping_pong", "", true, "1/8", 1.06 * eighth, eighth},
      {"Slapback, no spread", "Slapback", true, "1/8", 4080.0, 4080.0},
      {"Ping-Pong, an eighth", "Ping-Pong", false, "1/8", 1.33333 * eighth, eighth},
      {"Ping-Pong, a quarter", "Ping-Pong", false, "1/4", 1.5 * 2.0 * eighth, 2.0 * eighth},
  };
  for (const Case& c : cases) {
    DspParams p = echo_params(c.mode);
    p.delay_ping_pong = c.spread;
    p.delay_note_div = c.division;
    for (const bool left : {true, false}) {
      EchoRig rig(p);
      const double expected = left ? c.left : c.right;
      const auto out = rig.run(static_cast<std::size_t>(expected) + 20, [&](std::size_t i) {
        const float x = i == 0 ? 1.0f : 0.0f;
        return track_playing(left ? StereoSample{x, 0.0f} : StereoSample{0.0f, x});
      });
      EXPECT_NEAR(arrival(out, expected), expected, 0.02) << c.what << (left ? " left" : " right");
      EXPECT_TRUE(out.back().active);
    }
  }
}

TEST(EchoPath, FeedbackIsClampedPerMode) {
  struct Case {
    const char* mode;
    float feedback, same_as;
  } cases[] = {
      {"", 0.9f, 0.14f},          {"", -1.0f, 0.04f},       {"Ping-Pong", 0.9f, 0.78f},
      {"Ping-Pong", 0.1f, 0.48f}, {"Up-Down", 0.1f, 0.48f}, {"Slapback", 0.9f, 0.05f},
  };
  const std::vector<float> send = test::noise(48000, 11);
  const auto sends_at = [&](std::size_t i) {
    return track_playing(i < send.size() ? StereoSample{send[i], -send[i]} : StereoSample{});
  };
  for (const Case& c : cases) {
    DspParams a = echo_params(c.mode), b = echo_params(c.mode);
    a.delay_feedback = c.feedback;
    b.delay_feedback = c.same_as;
    EchoRig ra(a), rb(b);
    const auto oa = ra.run(100000, sends_at);
    const auto ob = rb.run(100000, sends_at);
    for (std::size_t i = 0; i < oa.size(); ++i) {
      ASSERT_EQ(oa[i].pair.left, ob[i].pair.left) << c.mode << " " << c.feedback << " at " << i;
      ASSERT_EQ(oa[i].pair.right, ob[i].pair.right) << c.mode << " " << c.feedback << " at " << i;
    }
  }
  // Within the range the feedback does change the echo.
  DspParams a = echo_params(), b = echo_params();
  a.delay_feedback = 0.1f;
  b.delay_feedback = 0.14f;
  EchoRig ra(a), rb(b);
  EXPECT_NE(ra.run(100000, sends_at).back().pair.left, rb.run(100000, sends_at).back().pair.left);
}

TEST(EchoPath, EachRepeatIsAtMostTheClampedShareOfTheOneBefore) {
  DspParams p = echo_params();
  p.delay_feedback = 0.9f;  // acts as 0.14
  EchoRig rig(p);
  const std::size_t d = 20571;
  const auto out = rig.run(3 * d + 2000, [](std::size_t i) {
    return track_playing({i == 0 ? 1.0f : 0.0f, 0.0f});
  });
  // The left line's echo comes back at D, crosses into the right line (2 D), then back (3 D).
  std::array<double, 3> peak{};
  for (std::size_t k = 0; k < 3; ++k) {
    for (std::size_t i = (k + 1) * d - 10; i < (k + 1) * d + 1500; ++i) {
      peak[k] = std::max(peak[k], std::fabs(static_cast<double>(out[i].side)));
    }
  }
  EXPECT_NEAR(peak[0], 0.56 * 0.58 * 0.75, 0.56 * 0.58 * 0.25);  // split over two slots
  EXPECT_GT(peak[1], 0.0);
  EXPECT_LE(peak[1], 0.14 * peak[0]);
  EXPECT_GT(peak[2], 0.0);
  EXPECT_LE(peak[2], 0.14 * peak[1]);
}

TEST(EchoPath, WhenTheLinesAreFed) {
  struct Case {
    const char* what;
    DspParams params;
    float track_level;
    bool fed;
  };
  DspParams no_level = echo_params();
  no_level.tc_delay_level = 0.0f;  // e = 0
  DspParams muted = echo_params("Ping-Pong");
  muted.tc_mute_all_sends = true;
  DspParams pause = echo_params();
  pause.auto_mute_reverb_on_pause = true;
  DspParams slap = echo_params("Slapback");
  slap.delay_enabled = false;
  DspParams off = echo_params();
  off.delay_enabled = false;
  const Case cases[] = {
      {"delay on", echo_params(), 0.0f, true}, {"echo level 0", no_level, 0.05f, false},
      {"delay off", off, 0.05f, false},        {"Slapback alone", slap, 0.05f, true},
      {"muted sends", muted, 0.05f, false},    {"paused track", pause, 0.001f, false},
      {"playing track", pause, 0.002f, true},
  };
  for (const Case& c : cases) {
    EchoRig rig(c.params);
    Sends s = track_playing({0.5f, 0.5f});
    s.track_level = c.track_level;
    const EchoOut out = rig.step(s);
    EXPECT_EQ(out.active, c.fed) << c.what;
    EXPECT_EQ(rig.engine.tempo_line_l[0] != 0.0f, c.fed) << c.what;
  }
}

TEST(EchoPath, AnUnfedEchoIsSilentAtOnceAndItsLinesClearWithinTwoSeconds) {
  DspParams p = echo_params();
  p.auto_mute_reverb_on_pause = true;
  EchoRig rig(p);
  const std::vector<float> send = test::noise(48000, 2);
  rig.run(send.size(), [&](std::size_t i) { return track_playing({send[i], send[i]}); });
  Sends paused = track_playing();
  paused.track_level = 0.0f;
  const EchoOut first = rig.step(paused);
  EXPECT_FALSE(first.active);
  EXPECT_NE(first.pair.left, 0.0f);  // the lines still hold the echo...
  const StereoSample voice{0.1f, 0.2f};
  const StereoSample mixed = echo_mix(rig.block, first, paused, voice);
  EXPECT_EQ(mixed.left, voice.left);  // ... but none of it reaches the voice
  EXPECT_EQ(mixed.right, voice.right);
  rig.run(kEchoLineSize, [&](std::size_t) { return paused; });
  for (float v : rig.engine.tempo_line_l) ASSERT_EQ(v, 0.0f);
  for (float v : rig.engine.tempo_line_r) ASSERT_EQ(v, 0.0f);
}

TEST(EchoPath, HostileParametersStayFinite) {
  const std::vector<float> send = test::noise(60000, 4);
  for (const char* mode : {"", "Ping-Pong Accel", "Slapback"}) {
    for (std::size_t f = 0; f < std::size(test::kEchoFields); ++f) {
      for (const float v : test::kHostileValues) {
        DspParams p = echo_params(mode);
        p.*test::kEchoFields[f] = v;
        EchoRig rig(p);
        for (std::size_t i = 0; i < send.size(); ++i) {
          Sends s = track_playing({send[i], send[i]});
          s.singer_level = 0.02f;  // the echo time glides
          const EchoOut e = rig.step(s);
          const StereoSample out = echo_mix(rig.block, e, s, {});
          ASSERT_TRUE(std::isfinite(out.left) && std::isfinite(out.right))
              << mode << " field " << f << " = " << v;
        }
      }
    }
  }
}

TEST(EchoMix, GainFollowsTheModeTheTrackAndTheSinger) {
  struct Case {
    const char* what;
    const char* mode;
    bool reverb, pk, duck;
    float sens, singer, boost;
    bool active;
    float gain;
  } cases[] = {
      {"not fed", "", true, false, false, 0.72f, 0.0f, 1.0f, false, 0.0f},
      {"no reverb, no word", "", false, false, false, 0.72f, 0.0f, 1.0f, true, 0.0f},
      {"plain", "", true, false, false, 0.72f, 0.0f, 1.0f, true, 0.055f},
      {"grows with the track", "", true, false, false, 0.72f, 0.0f, 1.06f, true, 0.055f * 1.06f},
      {"echo word", "Up-Down", false, false, false, 0.72f, 0.0f, 1.0f, true, 0.45f},
      {"pk ducking", "Slapback", true, true, true, 0.72f, 0.5f, 1.06f, true, 0.04f},
      {"ducked, silent singer", "", true, false, true, 0.72f, 0.0f, 1.0f, true, 0.055f * 0.85f},
      {"ducked, loud singer", "", true, false, true, 1.0f, 0.23f, 1.0f, true, 0.055f * 0.22f},
      {"ducked, some singer", "", true, false, true, 0.72f, 0.1f, 1.0f, true, 0.055f * 0.7104f},
      {"ducked, NaN singer", "", true, false, true, 0.72f, std::numeric_limits<float>::quiet_NaN(), 1.0f,
       true, 0.055f * 0.22f},
  };
  for (const Case& c : cases) {
    DspParams p = echo_params(c.mode);
    p.reverb_enabled = c.reverb;
    p.pk_mode_ducking = c.pk;
    p.delay_auto_duck = c.duck;
    p.delay_auto_sens = c.sens;
    const EchoBlock b = echo_prepare(p, fx_modes(p));
    EchoOut echo;
    echo.pair = {1.0f, -0.5f};
    echo.level = 0.8f;
    echo.active = c.active;
    Sends s = track_playing();
    s.singer_level = c.singer;
    s.track_boost = c.boost;
    const StereoSample out = echo_mix(b, echo, s, {0.25f, 0.25f});
    EXPECT_NEAR(out.left - 0.25f, c.gain * 0.8f, 1e-6f) << c.what;
    EXPECT_NEAR(out.right - 0.25f, -0.5f * c.gain * 0.8f, 1e-6f) << c.what;
  }
}

TEST(Flanger, SweepsAroundAHundredSamplesAndHoldsItsLine) {
  FlangerState s;
  std::vector<float> line(kFlangerLineSize, 0.0f);
  std::vector<float> out;
  for (std::size_t i = 0; i < 400; ++i) out.push_back(flanger_process(s, line, i == 0 ? 1.0f : 0.0f));
  EXPECT_EQ(out[0], 0.5f);
  double sum = 0.0, moment = 0.0;
  for (std::size_t i = 60; i < 160; ++i) {
    sum += static_cast<double>(out[i]);
    moment += static_cast<double>(out[i]) * static_cast<double>(i);
  }
  EXPECT_NEAR(sum, 0.5, 1e-3);
  // 105.6 (1 + 0.35 sin(2 pi phase)) with the phase about 106 x 0.00000375.
  EXPECT_NEAR(moment / sum, 105.6 * (1.0 + 0.35 * std::sin(2.0 * std::numbers::pi * 0.00000375 * 106.0)),
              0.02);

  for (int i = 0; i < 5000; ++i) {
    const float y = flanger_process(s, line, i % 2 == 0 ? 10.0f : -10.0f);
    ASSERT_TRUE(std::isfinite(y));
  }
  for (float v : line) ASSERT_LE(std::fabs(v), 1.5f);
  EXPECT_EQ(test::peak_abs(line), 1.5);
}

TEST(Radio, BandLimitsAndSaturates) {
  const auto gain_at = [](double hz) {
    VocalDsp d = vocal_dsp_new(DspParams{});
    const std::vector<float> in = test::sine(hz, 0.01, 9600);
    std::vector<float> out;
    for (float x : in) out.push_back(radio_process(radio_sections(d), x));
    return test::rms(std::span(out).last(4800)) / test::rms(std::span(in).last(4800));
  };
  const double mid = gain_at(1350.0);
  EXPECT_GT(20.0 * std::log10(mid / gain_at(100.0)), 20.0);
  EXPECT_GT(20.0 * std::log10(mid / gain_at(12000.0)), 20.0);
  VocalDsp d = vocal_dsp_new(DspParams{});
  for (float x : test::sine(1350.0, 100.0, 4800))
    ASSERT_LE(std::fabs(radio_process(radio_sections(d), x)), 0.78f);
}

}  // namespace
}  // namespace melodara
