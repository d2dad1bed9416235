// Routing and mixing cost per 128-frame block (the block period is 2,667 us):
// microphone preparation plus the per-frame mix, for each routing mode, on a
// webcam input with the monitor on. Reports the mean from the framework and the
// worst block seen as a counter.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "engine/routing_mix.h"

namespace {

using namespace melodara;

constexpr std::size_t kBlock = 128;
constexpr std::size_t kSignal = 48000;

struct Signals {
  std::vector<StereoFrame> capture;
  std::array<std::vector<float>, 6> stems;
  std::vector<float> out_l, out_r;
  Signals() : capture(kSignal), out_l(kSignal), out_r(kSignal) {
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    for (auto& s : stems) s.resize(kSignal);
    for (std::size_t i = 0; i < kSignal; ++i) {
      const float t = static_cast<float>(i) / 48000.0f;
      const float voice = 0.3f * std::sin(2.0f * std::numbers::pi_v<float> * 220.0f * t);
      capture[i] = {voice + noise(rng), 0.2f * voice + noise(rng)};
      for (std::size_t s = 0; s < 6; ++s)
        stems[s][i] = 0.4f * std::sin(0.01f * static_cast<float>((s + 1) * i)) + noise(rng);
      out_l[i] = stems[0][i] + stems[2][i];
      out_r[i] = stems[1][i] + stems[3][i];
    }
  }
};

const Signals& signals() {
  static const Signals s;
  return s;
}

void BM_RoutingMixBlock(benchmark::State& state) {
  const Signals& s = signals();
  RoutingMixState mix;
  routing_mix_open(mix, true);
  MixControls controls;
  controls.mode = static_cast<RoutingMode>(state.range(0));
  controls.monitor_enabled = true;
  std::array<float, kBlock> cap_l{}, cap_r{}, mic{};
  std::array<StereoFrame, kBlock> primary{}, backing{}, monitor{}, bus{}, rec_mix{}, rec_vocal{}, rec_dry{};
  const MixOutputs outputs{primary, backing, monitor, bus, rec_mix, rec_vocal, rec_dry};
  std::size_t at = 0;
  double worst = 0.0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const ChainGains gains =
        routing_mix_prepare_mic(mix, controls, std::span(s.capture).subspan(at, kBlock), cap_l, cap_r, mic);
    std::array<std::span<const float>, 6> st;
    for (std::size_t k = 0; k < 6; ++k) st[k] = std::span(s.stems[k]).subspan(at, kBlock);
    const MixInputs in{cap_l,
                       cap_r,
                       mic,
                       std::span(s.out_l).subspan(at, kBlock),
                       std::span(s.out_r).subspan(at, kBlock),
                       st[0],
                       st[1],
                       st[2],
                       st[3],
                       st[4],
                       st[5]};
    const MixMeterSums sums = routing_mix_block(mix, controls, in, outputs);
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    benchmark::DoNotOptimize(gains);
    benchmark::DoNotOptimize(sums);
    benchmark::DoNotOptimize(primary.data());
    benchmark::ClobberMemory();
    worst = std::max(worst, us);
    at = (at + kBlock) % (kSignal - kBlock);
  }
  state.counters["worst_us"] = worst;
}

}  // namespace

// 0 "program", 1 "vocal", 2 "raw-mic", 3 "daw-vocal".
BENCHMARK(BM_RoutingMixBlock)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
