// Vocal chain cost per 128-frame block (the block period is 2,667 us), on a
// voice-like signal with the backing track playing. Reports the mean from the
// framework, and as counters the worst block seen and the blocks over 500 us.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "dsp/every_switch_on.h"
#include "dsp/float_mode.h"
#include "dsp/pitch_shifter.h"
#include "dsp/vocal_dsp.h"
#include "dsp/voice_calibration.h"

namespace {

using namespace melodara;
using test::everything_on;

constexpr std::size_t kBlock = 128;
constexpr std::size_t kSignal = 48000 * 2;

// A sung tone: eight harmonics of 220 Hz with 5.5 Hz vibrato of +-30 cents, plus noise.
std::vector<float> voice_like() {
  std::vector<float> x(kSignal);
  std::mt19937 rng(3);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  double phase = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double t = static_cast<double>(i) / 48000.0;
    const double f = 220.0 * std::pow(2.0, 30.0 / 1200.0 * std::sin(2.0 * std::numbers::pi * 5.5 * t));
    phase += 2.0 * std::numbers::pi * f / 48000.0;
    double v = 0.0;
    for (int k = 1; k <= 8; ++k) v += std::sin(k * phase) / k;
    x[i] = static_cast<float>(0.12 * v) + noise(rng);
  }
  return x;
}

std::vector<float> backing(double f1, double f2, unsigned seed) {
  std::vector<float> x(kSignal);
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.02f);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double t = static_cast<double>(i) / 48000.0;
    x[i] = static_cast<float>(0.2 * std::sin(2.0 * std::numbers::pi * f1 * t) +
                              0.1 * std::sin(2.0 * std::numbers::pi * f2 * t)) +
           noise(rng);
  }
  return x;
}

struct Signals {
  std::vector<float> mic = voice_like();
  std::vector<float> left = backing(110.0, 330.0, 4);
  std::vector<float> right = backing(165.0, 440.0, 5);
};

const Signals& signals() {
  static const Signals s;
  return s;
}

void run_chain(benchmark::State& state, const DspParams& params) {
  set_chain_float_mode();  // as the engine thread runs
  const Signals& s = signals();
  // On the heap, as the engine holds it: a stack copy moves with the environment's size.
  const auto heap = std::make_unique<VocalDsp>(vocal_dsp_new(params));
  VocalDsp& engine = *heap;
  std::vector<float> out_l(kBlock), out_r(kBlock);
  std::size_t at = 0;
  double worst = 0.0;
  std::size_t over = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    DspMeters m = vocal_chain_process(engine, std::span(s.mic).subspan(at, kBlock),
                                      std::span(s.left).subspan(at, kBlock),
                                      std::span(s.right).subspan(at, kBlock), out_l, out_r);
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    benchmark::DoNotOptimize(m);
    benchmark::DoNotOptimize(out_l.data());
    worst = std::max(worst, us);
    over += us > 500.0;
    at = (at + kBlock) % (kSignal - kBlock);
  }
  state.counters["worst_us"] = worst;
  state.counters["over_500us"] = static_cast<double>(over);
  state.counters["blocks_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The defaults (reverb on) with the tempo delay feeding its echo lines.
DspParams reverb_and_echo() {
  DspParams p;
  p.delay_enabled = true;
  p.delay_mix = 0.3f;
  p.tc_delay_level = 1.0f;
  p.reverse_reverb_enabled = true;
  return p;
}

void BM_ChainDefaults(benchmark::State& state) { run_chain(state, DspParams{}); }
void BM_ChainReverbAndEcho(benchmark::State& state) { run_chain(state, reverb_and_echo()); }
void BM_ChainEverythingOn(benchmark::State& state) { run_chain(state, everything_on()); }

// The main shifter alone on a block of voice, told its pitch, correcting upwards.
void BM_MainShifterBlock(benchmark::State& state) {
  const Signals& s = signals();
  PitchShifter shifter = pitch_shifter_new(1536);
  std::size_t at = 0;
  for (auto _ : state) {
    float acc = 0.0f;
    for (std::size_t i = 0; i < kBlock; ++i) acc += pitch_shift_sample(shifter, s.mic[at + i], 1.03f, 220.0f);
    benchmark::DoNotOptimize(acc);
    at = (at + kBlock) % (kSignal - kBlock);
  }
}

// Detection, snapping, the correction ratio and the main shifter: stages 8 to 10.
void BM_PitchCorrectionBlock(benchmark::State& state) {
  const Signals& s = signals();
  VocalDsp engine = vocal_dsp_new(DspParams{});
  std::size_t at = 0;
  double worst = 0.0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    float acc = 0.0f;
    for (std::size_t i = 0; i < kBlock; ++i)
      acc += pitch_correction_sample(engine.pitch_state, engine.main_shifter, engine.params, s.mic[at + i]);
    benchmark::DoNotOptimize(acc);
    worst = std::max(
        worst, std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    at = (at + kBlock) % (kSignal - kBlock);
  }
  state.counters["worst_us"] = worst;
  state.counters["detected_hz"] = engine.pitch_state.detected_hz;
}

// The sends as the sends stage forms them for a singer over a playing track,
// without their pair.
Sends singer_over_track() {
  Sends sends;
  sends.off = false;
  sends.singer_level = 0.05f;
  sends.track_level = 0.1f;
  sends.vang_dai = 0.65f;
  sends.volume_ratio = 1.12f;
  sends.target_gain = 0.6f;
  return sends;
}

// The reverb alone at the defaults (the second bank on), fed by the sends of a
// singer over a playing track; argument 0 runs the baseline build, 1 the AVX build.
void BM_ReverbBlock(benchmark::State& state) {
  const ReverbBuild build = state.range(0) == 0 ? ReverbBuild::baseline : ReverbBuild::avx;
  if (build == ReverbBuild::avx && !reverb_avx_available()) {
    state.SkipWithError("no AVX on this processor");
    return;
  }
  const Signals& s = signals();
  const DspParams p;
  VocalDsp engine = vocal_dsp_new(p);
  const ReverbBlock block = reverb_prepare(p, fx_modes(p), effective_tempo(p.bpm));
  const ReverbLines lines = reverb_lines(engine);
  ChainRun& run = engine.run;
  for (std::size_t i = 0; i < kBlock; ++i) {
    run.sends[i] = singer_over_track();
    run.echo[i] = {};
  }
  std::size_t at = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i < kBlock; ++i) {
      const float x = s.mic[at + i];
      run.sends[i].pair = {x, 0.8f * x};
      run.voice[i] = {x, x};
    }
    reverb_process_block(engine.reverb, lines, block, std::span(run.sends).first(kBlock),
                         std::span(run.echo).first(kBlock), std::span(run.voice).first(kBlock), build);
    benchmark::DoNotOptimize(run.voice[0]);
    at = (at + kBlock) % (kSignal - kBlock);
  }
}

// One analysis of the pitch detector on frames of the sung tone, 96 samples apart
// as in the chain: the build the chain takes, then each build in turn.
void BM_PitchAnalysisFrame(benchmark::State& state) {
  const Signals& s = signals();
  std::size_t at = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(analyse_pitch_frame(std::span(s.mic).subspan(at, kPitchFrame)));
    at = (at + 96) % (kSignal - kPitchFrame);
  }
}

void BM_PitchAnalysisFrameBuild(benchmark::State& state) {
  const DetectorBuild build = static_cast<DetectorBuild>(state.range(0));
  if ((build == DetectorBuild::avx && !detector_avx_available()) ||
      (build == DetectorBuild::avx512 && !detector_avx512_available())) {
    state.SkipWithError("the processor lacks this build");
    return;
  }
  const Signals& s = signals();
  std::size_t at = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(analyse_pitch_frame(std::span(s.mic).subspan(at, kPitchFrame), build));
    at = (at + 96) % (kSignal - kPitchFrame);
  }
}

// The echo path and the reverb alone, fed by the sends as the sends stage forms
// them for a singer over a playing track: the second bank, the reverse envelope and
// the echo's wobble all run.
void BM_EchoAndReverbBlock(benchmark::State& state) {
  const Signals& s = signals();
  DspParams p = everything_on();
  VocalDsp engine = vocal_dsp_new(p);
  const FxModes modes = fx_modes(p);
  const TempoTimingBlock timing = tempo_timing_prepare(p, modes);
  const EchoBlock echo_block = echo_prepare(p, modes);
  const ReverbBlock reverb_block = reverb_prepare(p, modes, timing.tempo);
  const EchoLines echo_view = echo_lines(engine);
  const ReverbLines reverb_view = reverb_lines(engine);
  Sends sends = singer_over_track();
  std::size_t at = 0;
  double worst = 0.0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    float acc = 0.0f;
    ChainRun& run = engine.run;
    for (std::size_t i = 0; i < kBlock; ++i) {
      const float x = s.mic[at + i];
      sends.pair = {x, 0.8f * x};
      const EchoTime t = tempo_timing_sample(engine.modulation.timing, timing, sends.singer_level);
      run.echo[i] = echo_process(engine.character_fx.echo, echo_view, echo_block, t, sends);
      run.sends[i] = sends;
      run.voice[i] = {x, x};
    }
    reverb_process_block(engine.reverb, reverb_view, reverb_block, std::span(run.sends).first(kBlock),
                         std::span(run.echo).first(kBlock), std::span(run.voice).first(kBlock));
    for (std::size_t i = 0; i < kBlock; ++i) {
      const StereoSample v = echo_mix(echo_block, run.echo[i], run.sends[i], run.voice[i]);
      acc += v.left + v.right;
    }
    benchmark::DoNotOptimize(acc);
    worst = std::max(
        worst, std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    at = (at + kBlock) % (kSignal - kBlock);
  }
  state.counters["worst_us"] = worst;
}

// Times a block of one stage family: the mean from the framework, the worst block
// as a counter.
template <typename Block>
void time_blocks(benchmark::State& state, Block&& block) {
  std::size_t at = 0;
  double worst = 0.0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(block(at));
    worst = std::max(
        worst, std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    at = (at + kBlock) % (kSignal - kBlock);
  }
  state.counters["worst_us"] = worst;
}

// The harmony voices on a sung tone told its pitch: the feed, four shifters, the
// bus filters (with the switch on: every voice sounds).
void BM_HarmonyBlock(benchmark::State& state) {
  const Signals& s = signals();
  DspParams p;
  p.chong_be_harmony = true;
  VocalDsp engine = vocal_dsp_new(p);
  const HarmonyBlock block = harmony_prepare(engine.harmony, p, fx_modes(p));
  float pitch = 220.0f;
  time_blocks(state, [&](std::size_t at) {
    float acc = 0.0f;
    pitch = pitch > 240.0f ? 220.0f : pitch + 0.5f;  // a fresh snap now and then, as per pitch hop
    for (std::size_t i = 0; i < kBlock; ++i) {
      const StereoSample y = harmony_sample(engine.harmony, engine.harmony_shifters, block,
                                            {pitch, pitch, 440.0f, 0.05f}, s.mic[at + i]);
      acc += y.left + y.right;
    }
    return acc;
  });
}

// Stage 24 on a stereo track: with the defaults (no key shift: two shifters kept
// current) and shifted by two semitones (three shifters heard); the chain's form
// over the run and the one-sample form.
void backing_block(benchmark::State& state, const DspParams& p, bool one_sample) {
  const Signals& s = signals();
  auto engine = std::make_unique<VocalDsp>(vocal_dsp_new(p));
  const BackingBlock block = backing_prepare(p, 0.002f, 1.0f);
  const BackingLines lines = backing_lines(*engine);
  std::array<SingerInputs, kBlock> singer{};
  std::array<BackingOut, kBlock> out{};
  std::array<float, kBlock> track_level{};
  time_blocks(state, [&](std::size_t at) {
    for (std::size_t i = 0; i < kBlock; ++i) singer[i].level = 0.02f + 0.01f * std::fabs(s.mic[at + i]);
    if (one_sample) {
      for (std::size_t i = 0; i < kBlock; ++i) {
        out[i] =
            backing_sample(engine->backing, lines, block, {s.left[at + i], s.right[at + i]}, singer[i].level);
      }
    } else {
      backing_run(engine->backing, lines, block,
                  {std::span(s.left).subspan(at, kBlock), std::span(s.right).subspan(at, kBlock), singer, out,
                   track_level},
                  engine->run.backing_scratch);
    }
    float acc = 0.0f;
    for (const BackingOut& o : out) acc += o.track.left + o.track.right;
    return acc;
  });
}
DspParams shifted_track() {
  DspParams p;
  p.beat_semitone_shift = 2;
  p.vocal_remover_karaoke = true;
  return p;
}
void BM_BackingBlock(benchmark::State& state) { backing_block(state, DspParams{}, false); }
void BM_BackingShiftedBlock(benchmark::State& state) { backing_block(state, shifted_track(), false); }
void BM_BackingOneSampleBlock(benchmark::State& state) { backing_block(state, DspParams{}, true); }

// Stage 25: the send weights and the ten send filters, singer over a track.
void BM_SendsBlock(benchmark::State& state) {
  const Signals& s = signals();
  const DspParams p;
  VocalDsp engine = vocal_dsp_new(p);
  const SendsBlock block = sends_prepare(p, fx_modes(p));
  std::array<float, kBlock> left{}, right{};
  time_blocks(state, [&](std::size_t at) {
    float acc = 0.0f;
    for (std::size_t i = 0; i < kBlock; ++i) {
      const float x = s.mic[at + i];
      const SingerInputs singer{0.05f, 0.05f, 0.9f, 0.8f, 0.0f};
      const Sends o = sends_sample(block, singer, {x, 0.9f * x}, {s.left[at + i], s.right[at + i]}, 0.08f);
      left[i] = o.pair.left;
      right[i] = o.pair.right;
    }
    sends_filter_run(send_filters(engine), left, right);
    for (std::size_t i = 0; i < kBlock; ++i) acc += left[i] + right[i];
    return acc;
  });
}

// Voice calibration's share of an engine block: the six band filters and the
// analysis, with the completion (preset and texts) in every 350th block.
// Also the worst completion block and the blocks over 100 us.
void BM_VoiceCalBlock(benchmark::State& state) {
  const Signals& s = signals();
  VoiceCalBands bands = voice_cal_bands_new();
  DspParams params;
  VoiceCalStatus cal = voice_cal_started(1.8f, params, voice_cal_default_state());
  std::size_t at = 0;
  float pitch = 150.0f;
  double worst = 0.0, worst_completion = 0.0;
  std::int64_t slow = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    voice_cal_measure_bands(bands, true, std::span(s.mic).subspan(at, kBlock));
    pitch = pitch > 300.0f ? 150.0f : pitch + 0.37f;  // a fresh place in the sorted list each block
    const bool done = voice_cal_analyze(cal, VoiceCalBlock{0.1f, pitch, bands.energy});
    if (done) voice_cal_complete(cal, params);
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    worst = std::max(worst, us);
    if (us > 100.0) ++slow;
    if (done) {
      worst_completion = std::max(worst_completion, us);
      state.PauseTiming();
      cal = voice_cal_started(1.8f, params, voice_cal_default_state());
      state.ResumeTiming();
    }
    at = (at + kBlock) % (kSignal - kBlock);
  }
  state.counters["worst_us"] = worst;
  state.counters["worst_completion_us"] = worst_completion;
  state.counters["blocks_over_100us"] = static_cast<double>(slow);
}

}  // namespace

BENCHMARK(BM_EchoAndReverbBlock)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReverbBlock)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VoiceCalBlock)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PitchCorrectionBlock)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PitchAnalysisFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PitchAnalysisFrameBuild)
    ->ArgName("build")
    ->Arg(static_cast<int>(DetectorBuild::sse))
    ->Arg(static_cast<int>(DetectorBuild::avx))
    ->Arg(static_cast<int>(DetectorBuild::avx512))
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChainDefaults)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChainReverbAndEcho)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChainEverythingOn)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MainShifterBlock)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HarmonyBlock)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BackingBlock)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BackingShiftedBlock)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BackingOneSampleBlock)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SendsBlock)->Unit(benchmark::kMicrosecond);
