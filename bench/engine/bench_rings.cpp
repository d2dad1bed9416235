// Device callbacks on a 512-frame buffer: mean and worst buffer.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <vector>

#include "engine/device_callbacks.h"

namespace melodara {
namespace {

using SteadyClock = std::chrono::steady_clock;

void report_worst(benchmark::State& state, SteadyClock::duration worst) {
  state.counters["worst_us"] = std::chrono::duration<double, std::micro>(worst).count();
}

void BM_CaptureCallback(benchmark::State& state) {
  const auto rate = static_cast<std::uint32_t>(state.range(0));
  const auto channels = static_cast<std::size_t>(state.range(1));
  auto ring = std::make_shared<FrameRing>(kCaptureTargetFill);
  auto s = make_capture_state(ring, std::make_shared<CallbackCounter>(0), rate, channels);
  std::vector<float> buf(512 * channels);
  for (std::size_t i = 0; i < buf.size(); ++i) buf[i] = 0.3f * std::sin(0.01f * float(i));
  SteadyClock::duration worst{};
  for (auto _ : state) {
    const auto t0 = SteadyClock::now();
    input_callback_f32(s, buf);
    worst = std::max(worst, SteadyClock::now() - t0);
    state.PauseTiming();
    {
      auto g = ring->lock();
      StereoFrame f;
      while (g->size() > kCaptureTargetFill && g->pop_front(f)) {}
    }
    state.ResumeTiming();
  }
  report_worst(state, worst);
}
BENCHMARK(BM_CaptureCallback)->Args({48000, 2})->Args({44100, 2})->Args({96000, 4});

template <bool Bus, class T>
void BM_PlaybackCallback(benchmark::State& state) {
  const auto channels = static_cast<std::size_t>(state.range(0));
  auto ring = std::make_shared<FrameRing>(kPlaybackTargetFill);
  auto s = make_playback_state(ring, std::make_shared<CallbackCounter>(0), 44100, channels);
  std::vector<T> buf(512 * channels);
  SteadyClock::duration worst{};
  for (auto _ : state) {
    const auto t0 = SteadyClock::now();
    if constexpr (std::is_same_v<T, float>) {
      if constexpr (Bus)
        bus_output_callback_f32(s, buf);
      else
        output_callback_f32(s, buf);
    } else {
      if constexpr (Bus)
        bus_output_callback_i16(s, buf);
      else
        output_callback_i16(s, buf);
    }
    worst = std::max(worst, SteadyClock::now() - t0);
    benchmark::DoNotOptimize(buf.data());
    state.PauseTiming();
    ring->lock()->fill_to(kPlaybackTargetFill);
    state.ResumeTiming();
  }
  report_worst(state, worst);
}
BENCHMARK(BM_PlaybackCallback<false, float>)->Arg(2)->Arg(4);
BENCHMARK(BM_PlaybackCallback<false, std::int16_t>)->Arg(2);
BENCHMARK(BM_PlaybackCallback<true, float>)->Arg(2);

}  // namespace
}  // namespace melodara
