#include "dsp/reverb.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>

#include "dsp/biquad_lanes.h"
#include "dsp/delay_line.h"
#include "dsp/dsp_math.h"
#include "dsp/lanes.h"

namespace melodara {
namespace {

inline float db_to_gain(float db) noexcept { return std::pow(10.0f, db / 20.0f); }

// The early-reflection taps of the input lines: each reads the line it names at
// (pre-delay, if after_pre) + offset (times the tap factor f, if scaled).
struct TapSpec {
  bool right;
  bool after_pre;
  float offset;
  bool scaled;
};
enum Tap : std::size_t {
  kSetA163,
  kSetA431,
  kSetA859,
  kSetA1483,
  kSetB229,
  kSetB523,
  kSetB977,
  kSetB1627,
  kDirectL,
  kDirectR,
  kEa547,
  kEa1031,
  kEa1663,
  kEa2347,
  kEb631,
  kEb1153,
  kEb1811,
  kEb2503,
  kCrossR1483,
  kCrossL2111,
  kCrossR859,
  kCrossL1811,
  kCrossR2503,
};
constexpr std::array<TapSpec, kReverbTaps> kTapSpecs{{
    {false, true, 163.0f, true},   {true, true, 431.0f, true},    {false, true, 859.0f, true},
    {true, true, 1483.0f, true},   {true, true, 229.0f, true},    {false, true, 523.0f, true},
    {true, true, 977.0f, true},    {false, true, 1627.0f, true},  {false, true, 0.0f, false},
    {true, true, 43.0f, false},    {false, false, 547.0f, true},  {true, false, 1031.0f, true},
    {false, false, 1663.0f, true}, {true, false, 2347.0f, true},  {true, false, 631.0f, true},
    {false, false, 1153.0f, true}, {true, false, 1811.0f, true},  {false, false, 2503.0f, true},
    {true, false, 1483.0f, true},  {false, false, 2111.0f, true}, {true, false, 859.0f, true},
    {false, false, 1811.0f, true}, {true, false, 2503.0f, true},
}};

// The run, once for every x86-64 processor and once for those with AVX (eight
// lanes a step; no FMA). Each copy sits in its own namespace, so no function of
// one can stand in for the other's at link time.
namespace baseline {
constexpr bool kEightLanes = false;
template <class Body>
inline void for_run(std::size_t n, Body body) noexcept {
  for_lanes(n, body);
}
#include "dsp/reverb_run.inc"
}  // namespace baseline

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx")
#endif
namespace avx {
constexpr bool kEightLanes = true;
template <class Body>
inline void for_run(std::size_t n, Body body) noexcept {
  for_lanes8(n, body);
}
#include "dsp/reverb_run.inc"
}  // namespace avx
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// Read once at start-up, before any engine runs.
const bool kHaveAvx = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx") != 0;
}();
const ReverbBuild kFastest = kHaveAvx ? ReverbBuild::avx : ReverbBuild::baseline;
// The build the overload without one takes: the fastest, unless a test asks for another.
std::atomic<ReverbBuild> g_chosen{kFastest};

}  // namespace

float reverb_tap_factor(float predelay) noexcept MELODARA_NONBLOCKING {
  return baseline::tap_factor(predelay);
}

ReverbBlock reverb_prepare(const DspParams& p, const FxModes& modes,
                           float tempo) noexcept MELODARA_NONBLOCKING {
  ReverbBlock b;
  const float pd = p.reverb_predelay_ms;
  float ms = pd > 60.0f ? 20.0f + 0.18f * (pd - 60.0f) : clamp_f(pd, 8.0f, 48.0f);
  if (p.reverb_bpm_sync) ms *= clamp_f(96.0f / tempo, 0.82f, 1.18f);
  b.predelay_target = clamp_f(ms * 0.001f * 48000.0f, 384.0f, 2400.0f);

  const float room_scale = p.reverb_bpm_sync ? clamp_f(84.0f / tempo, 0.88f, 1.08f) : 1.0f;
  b.comb_feedback =
      clamp_f(0.854f + 0.072f * clamp_f(p.reverb_room_size, 0.05f, 1.0f) * room_scale, 0.74f, 0.908f);
  b.damping = clamp_f(0.22f + 0.12f * clamp_f(p.reverb_damping, 0.0f, 1.0f), 0.2f, 0.34f);
  b.bank_feedback = clamp_f(0.38f * room_scale, 0.28f, 0.44f);
  b.mid_gain = db_to_gain(clamp_f(0.35f * p.reverb_mid_gain_db, -4.0f, 2.5f));
  b.high_gain = db_to_gain(clamp_f(0.35f * p.reverb_high_gain_db, -3.0f, 3.0f));
  b.phase_step = tempo / 60.0f / 48000.0f;

  // A mix beyond 0..1 would invert the reverb or blow it up: it is a share.
  const float mix = clamp_f(p.reverse_reverb_mix, 0.0f, 1.0f);
  if (modes.reverse) {
    b.envelope_mix = max_f(mix, 0.72f);
  } else if (p.reverse_reverb_enabled) {
    b.envelope_mix = mix;
  }
  b.envelope = b.envelope_mix > 0.0f;  // at 0 the envelope is exactly 1

  b.pk = p.pk_mode_ducking;
  b.echo_in = p.reverb_enabled;
  b.bank_on = p.tc_vang_ngan_level > 0.005f;
  b.bank_gain = (b.pk ? 0.05f : 0.22f) * min_f(p.tc_vang_ngan_level, 1.2f);
  b.trim_level = 0.16f * clamp_f(p.tc_vang_ngan_level, 0.0f, 1.0f);
  return b;
}

bool reverb_avx_available() noexcept { return kHaveAvx; }
void reverb_choose_build(ReverbBuild build) noexcept { g_chosen.store(build, std::memory_order_relaxed); }
ReverbBuild reverb_fastest_build() noexcept { return kFastest; }

void reverb_process_block(ReverbState& state, const ReverbLines& lines, const ReverbBlock& block,
                          std::span<const Sends> sends, std::span<const EchoOut> echo,
                          std::span<StereoSample> voice, ReverbBuild build) noexcept MELODARA_NONBLOCKING {
  for (std::size_t start = 0; start < voice.size(); start += kReverbRun) {
    const std::size_t n = std::min(kReverbRun, voice.size() - start);
    if (build == ReverbBuild::avx) {
      avx::reverb_run(state, lines, block, sends.subspan(start, n), echo.subspan(start, n),
                      voice.subspan(start, n));
    } else {
      baseline::reverb_run(state, lines, block, sends.subspan(start, n), echo.subspan(start, n),
                           voice.subspan(start, n));
    }
  }
}

void reverb_process_block(ReverbState& state, const ReverbLines& lines, const ReverbBlock& block,
                          std::span<const Sends> sends, std::span<const EchoOut> echo,
                          std::span<StereoSample> voice) noexcept MELODARA_NONBLOCKING {
  reverb_process_block(state, lines, block, sends, echo, voice, g_chosen.load(std::memory_order_relaxed));
}

StereoSample reverb_process(ReverbState& state, const ReverbLines& lines, const ReverbBlock& block,
                            const Sends& sends, const EchoOut& echo,
                            StereoSample voice) noexcept MELODARA_NONBLOCKING {
  reverb_process_block(state, lines, block, {&sends, 1}, {&echo, 1}, {&voice, 1});
  return voice;
}

}  // namespace melodara
