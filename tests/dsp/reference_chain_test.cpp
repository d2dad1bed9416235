// The fast chain against the per-sample reference, bit for bit: outputs, stems,
// meters and the whole engine state, on every build of the detector and the
// reverb that this processor has. A fault in a run loop, a lane helper or the
// reverb's passes shows here as the first sample where the two part.
#include "reference_chain.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "dsp/float_mode.h"
#include "dsp/vocal_dsp.h"
#include "every_switch_on.h"
#include "signal_helpers.h"

namespace melodara {
namespace {

struct Builds {
  const char* name;
  DetectorBuild detector;
  ReverbBuild reverb;
};

void PrintTo(const Builds& b, std::ostream* os) { *os << b.name; }

// Asked at run time: the processor's answers are set up with the library.
bool available(const Builds& b) {
  return (b.detector != DetectorBuild::avx || detector_avx_available()) &&
         (b.detector != DetectorBuild::avx512 || detector_avx512_available()) &&
         (b.reverb != ReverbBuild::avx || reverb_avx_available());
}

const Builds kBuilds[] = {
    {"baseline", DetectorBuild::sse, ReverbBuild::baseline},
    {"avx", DetectorBuild::avx, ReverbBuild::avx},
    {"avx512", DetectorBuild::avx512, ReverbBuild::avx},
};

struct Case {
  const char* name;
  std::function<void(VocalDsp&)> set;
  bool hands_over_key = false;  // the run must see the tracker's key taken over
};

std::vector<Case> cases() {
  return {
      {"defaults", [](VocalDsp&) {}},
      {"every switch on", [](VocalDsp& d) { d.params = test::everything_on(); }},
      {"chain off",
       [](VocalDsp& d) {
         d.params = test::everything_on();
         d.params.vocal_chain_active = false;
       }},
      {"delay before the gate",
       [](VocalDsp& d) {
         d.params = test::everything_on();
         d.params.mod_routing_order = 1;
       }},
      {"neither gate nor delay",
       [](VocalDsp& d) {
         d.params = test::everything_on();
         d.params.mod_routing_order = 2;
       }},
      {"ducking",
       [](VocalDsp& d) {
         d.params.ducker_enabled = true;
         d.params.pk_mode_ducking = true;
         d.params.denoise_enabled = d.params.gate_enabled = true;
       }},
      {"key shift and hand-over",
       [](VocalDsp& d) {
         d.params.beat_semitone_shift = -3;
         d.params.autopitch_mix = 1.0f;
         d.params.autotune_enabled = true;
         // A tracker that has agreed on G major five times hands it over at once.
         LiveKeyTracker& kt = d.key_tracker;
         kt.display_key = 7;
         kt.locked_minor = false;
         kt.stable_count = 5;
         kt.onset_count = 300;
         kt.bpm = 100.0f;
         d.backing.track_level = 0.05f;
       },
       true},
      {"pitch and delay words",
       [](VocalDsp& d) {
         d.params.dj_fx_vocal = true;
         d.params.dj_fx_mode = "Monster Slapback Reverse BeatGate";
       }},
      {"harmony and sweep words",
       [](VocalDsp& d) {
         d.params.dj_fx_vocal = true;
         d.params.dj_fx_mode = "Riser Shimmer Chorus Ramp Megaphone";
       }},
      {"melodic and tempo words",
       [](VocalDsp& d) {
         d.params.dj_fx_vocal = true;
         d.params.reverb_enabled = false;
         d.params.dj_fx_mode = "Chipmunk Melodic Accel Ping-Pong Chop";
       }},
  };
}

// A phrase: a breath of silence, a sung tone with a slide and noise on it, then
// a quiet tail; under it a stereo track.
struct Signals {
  std::vector<float> mic, left, right;
};

Signals signals(std::size_t n) {
  const std::size_t lead = n / 16, tail = n / 8, body = n - lead - tail;
  std::vector<float> voice = test::harmonics(196.0, 0.3, 6, body);
  const std::vector<float> hiss = test::noise(body, 7);
  for (std::size_t i = 0; i < body; ++i) voice[i] += 0.02f * hiss[i];
  Signals s;
  s.mic = test::join({test::silence(lead), voice, test::sine(3000.0, 0.001, tail)});
  s.left = test::harmonics(110.0, 0.25, 8, n);
  s.right = test::noise(n, 11);
  for (float& v : s.right) v *= 0.3f;
  return s;
}

struct Result {
  std::vector<float> out_l, out_r;
  std::array<std::vector<float>, kStemCount> stems;
  std::vector<DspMeters> meters;
};

template <class Chain>
Result run(VocalDsp& d, const Signals& s, std::size_t block, Chain chain) {
  const ChainFloatMode mode;
  Result r;
  const std::size_t n = s.mic.size();
  r.out_l.assign(n, 0.0f);
  r.out_r.assign(n, 0.0f);
  for (auto& stem : r.stems) stem.assign(n, 0.0f);
  for (std::size_t at = 0; at < n; at += block) {
    const std::size_t len = std::min(block, n - at);
    r.meters.push_back(chain(d, std::span(s.mic).subspan(at, len), std::span(s.left).subspan(at, len),
                             std::span(s.right).subspan(at, len), std::span(r.out_l).subspan(at, len),
                             std::span(r.out_r).subspan(at, len)));
    for (std::size_t k = 0; k < kStemCount; ++k)
      std::copy_n(d.stems[k].begin(), len, r.stems[k].begin() + static_cast<std::ptrdiff_t>(at));
  }
  return r;
}

// The first sample where two signals differ in their bits, or -1.
std::ptrdiff_t first_difference(const std::vector<float>& a, const std::vector<float>& b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!test::same_bits(a[i], b[i])) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

// Every meter equal (the cases keep them finite).
bool same_meters(const DspMeters& a, const DspMeters& b) { return a == b; }

class ReferenceChain : public ::testing::TestWithParam<Builds> {
 protected:
  void SetUp() override {
    if (!available(GetParam())) GTEST_SKIP() << "the processor has no " << GetParam().name;
    detector_choose_build(GetParam().detector);
    reverb_choose_build(GetParam().reverb);
  }
  void TearDown() override {
    detector_choose_build(detector_fastest_build());
    reverb_choose_build(reverb_fastest_build());
  }
};

TEST_P(ReferenceChain, FastChainGivesTheReferenceBitsForEveryCaseAndRunLength) {
  // Short blocks pay the block set-up per sample: they get a shorter phrase.
  const struct { std::size_t block, frames; } kLengths[] = {{1, 6000}, {5, 12000}, {37, 36000}, {128, 36000}};
  for (const Case& c : cases()) {
    for (const auto& length : kLengths) {
      SCOPED_TRACE(std::string(c.name) + ", blocks of " + std::to_string(length.block));
      const Signals s = signals(length.frames);
      VocalDsp fast = vocal_dsp_new(dsp_params_default());
      c.set(fast);
      VocalDsp reference =
          vocal_dsp_new(dsp_params_default());  // not a copy: a copy drops the stems' reserve
      c.set(reference);
      const std::uint64_t root_before = fast.params.root_key;
      const Result a = run(fast, s, length.block, vocal_chain_process);
      const Result b = run(reference, s, length.block, test::reference_chain_process);
      ASSERT_EQ(first_difference(a.out_l, b.out_l), -1);
      ASSERT_EQ(first_difference(a.out_r, b.out_r), -1);
      for (std::size_t k = 0; k < kStemCount; ++k)
        ASSERT_EQ(first_difference(a.stems[k], b.stems[k]), -1) << k;
      for (std::size_t m = 0; m < a.meters.size(); ++m)
        ASSERT_TRUE(same_meters(a.meters[m], b.meters[m])) << m;
      ASSERT_TRUE(fast == reference) << "the engines' states part";
      if (c.hands_over_key) {
        EXPECT_NE(fast.params.root_key, root_before) << "the key was never handed over";
      }
      // The case reaches the voice: something other than silence came out.
      EXPECT_GT(test::rms(a.out_l), 1e-4);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, ReferenceChain, ::testing::ValuesIn(kBuilds),
                         [](const auto& build) { return std::string(build.param.name); });

}  // namespace
}  // namespace melodara
