// Key and tempo: the offline analysis of a four-minute track (three windows
// of 55, 55 and 48 s at 12 kHz), and the live tracker per 128-frame block on
// the engine thread, whose key analysis and tempo estimate each run inside
// one block. Reports the worst block, the mean and worst of the blocks that
// analysed, the mean of those that also estimated the tempo, and the blocks
// over 150 us.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <vector>

#include "dsp/key_tracker.h"
#include "dsp/track_key_analysis.h"

namespace {

using namespace melodara;

constexpr std::size_t kBlock = 128;

// An A-minor pad (three harmonics per note) with a 70 Hz thump on every beat
// at 120 BPM, mono at 48 kHz; made from a 2 s piece.
std::vector<float> click_pad(double seconds) {
  const int notes[] = {45, 52, 57, 60, 64};
  std::vector<float> piece(96000);
  for (std::size_t i = 0; i < piece.size(); ++i) {
    const double t = static_cast<double>(i) / 48000.0;
    double v = 0.0;
    for (const int n : notes) {
      const double f = 440.0 * std::pow(2.0, (n - 69) / 12.0);
      for (int h = 1; h <= 3; ++h) v += std::sin(2.0 * std::numbers::pi * f * h * t) / (h * h);
    }
    const double since = std::fmod(t, 0.5);
    if (since < 0.03) v += 7.5 * std::sin(2.0 * std::numbers::pi * 70.0 * since) * std::exp(-since / 0.01);
    piece[i] = static_cast<float>(0.08 * v);
  }
  std::vector<float> out(static_cast<std::size_t>(seconds * 48000.0));
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = piece[i % piece.size()];
  return out;
}

void BM_OfflineAnalysisFourMinutes(benchmark::State& state) {
  const std::vector<float> mono = click_pad(240.0);
  std::vector<float> track(mono.size() * 2);
  for (std::size_t i = 0; i < mono.size(); ++i) track[2 * i] = track[2 * i + 1] = mono[i];
  std::uint32_t bpm = 0;
  for (auto _ : state) {
    const auto found = analyze_track_key_bpm(track, "Beat karaoke");
    bpm = found ? found->bpm : 0;
    benchmark::DoNotOptimize(bpm);
  }
  state.counters["bpm"] = bpm;
}
BENCHMARK(BM_OfflineAnalysisFourMinutes)->Unit(benchmark::kMillisecond);

void BM_LiveTrackerBlock(benchmark::State& state) {
  static const std::vector<float> music = click_pad(30.0);
  LiveKeyTracker tracker = live_key_tracker_new();
  std::size_t at = 0;
  double worst = 0.0, analysing = 0.0, worst_analysis = 0.0, tempo = 0.0;
  std::size_t analyses = 0, tempos = 0, over = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const LiveKey key = track_live_key(tracker, std::span(music).subspan(at, kBlock));
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    benchmark::DoNotOptimize(key);
    worst = std::max(worst, us);
    over += us > 150.0;
    if (tracker.since_analysis == 0) {
      ++analyses;
      analysing += us;
      worst_analysis = std::max(worst_analysis, us);
      if ((tracker.stable_count & 3u) == 0) {  // the tempo estimate ran too
        ++tempos;
        tempo += us;
      }
    }
    at = (at + kBlock) % (music.size() - kBlock);
  }
  state.counters["worst_us"] = worst;
  state.counters["analysis_mean_us"] = analyses ? analysing / double(analyses) : 0.0;
  state.counters["analysis_worst_us"] = worst_analysis;
  state.counters["tempo_block_mean_us"] = tempos ? tempo / double(tempos) : 0.0;
  state.counters["analyses"] = static_cast<double>(analyses);
  state.counters["over_150us"] = static_cast<double>(over);
  state.counters["bpm"] = tracker.bpm;
}
BENCHMARK(BM_LiveTrackerBlock);

}  // namespace
