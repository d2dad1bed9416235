// The engine's block loop on the simulated hardware with a manual clock:
// cost of one engine block (capture pop, copy path, track read and fades,
// mix, meters, recorder capture, ring pushes), with the vocal chain, and the
// chain alone on the same signals; the loop's own cost is the difference.
// Only engine_run_block is timed; the simulated devices run between blocks.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "engine/engine_thread.h"
#include "platform/sim/sim_hardware.h"

namespace {

using namespace melodara;
using Steady = std::chrono::steady_clock;

struct Rig {
  std::shared_ptr<sim::Hardware> hw;
  SharedState state;
  std::unique_ptr<AudioEngine> engine;
  std::int64_t now = 1'000'000'000;
};

Rig make_rig(bool recording) {
  sim::Config cfg;
  sim::DeviceSpec mic;
  mic.name = "MacBook Pro Microphone";
  mic.input_channels = 1;
  mic.source.kind = sim::SignalSource::Kind::sine;
  mic.source.frequency = 220;
  mic.source.level = 0.2;
  sim::DeviceSpec spk;
  spk.name = "MacBook Pro Speakers";
  spk.output_channels = 2;
  sim::DeviceSpec bus = spk;
  bus.name = "Melodara_Virtual_Bus_48kHz";
  cfg.devices = {mic, spk, bus};
  Rig r;
  r.hw = sim::Hardware::create(cfg, sim::Clocking::manual);
  NativeState st;
  st.dsp = vocal_dsp_new(dsp_params_default());
  st.inputDeviceId = "MacBook Pro Microphone";
  st.outputDeviceId = "MacBook Pro Speakers";
  auto track = std::make_shared<std::vector<float>>(2 * 48000 * 60);
  for (std::size_t i = 0; i < track->size(); ++i) (*track)[i] = 0.2f * float(std::sin(double(i) * 0.01));
  st.player.samples = track;
  st.player.playing = true;
  st.recording.active = st.stageRecording.active = recording;
  st.recording.take = st.stageRecording.take = 1;
  r.state = std::make_shared<Mutex<NativeState>>(std::move(st));
  EngineEnv env;
  env.platform = r.hw->platform();
  env.enumeration_stalled = [] { return false; };
  auto hw = r.hw;
  env.device_snapshot = [hw] { return enumerate_device_names(*hw->platform().audio); };
  env.set_bus_name = [](std::string) {};
  auto now = std::make_shared<std::int64_t>(1'000'000'000);
  env.clock.now = [now] { return EngineInstant(*now); };
  env.clock.sleep_until = [now, hw](EngineInstant d) {
    const std::int64_t from = *now;
    if (d.count() > from) {
      hw->advance(std::uint64_t((d.count() - from) * 48 / 1'000'000));
      *now = d.count();
    }
  };
  r.engine = audio_engine_new(std::move(env), r.state, nullptr, nullptr);
  engine_open_streams(*r.engine);
  return r;
}

void run(benchmark::State& bs, bool recording) {
  Rig r = make_rig(recording);
  // A twin chain fed with the engine's own blocks and parameters gives the
  // chain's share of each block.
  VocalDsp twin = vocal_dsp_new(dsp_params_default());
  std::array<float, 128> ol{}, orr{};
  double worst = 0.0, chain_total = 0.0, block_total = 0.0;
  std::uint64_t blocks = 0;
  for (auto _ : bs) {
    const auto t0 = Steady::now();
    engine_run_block(*r.engine);
    const double s = std::chrono::duration<double>(Steady::now() - t0).count();
    bs.SetIterationTime(s);
    if (blocks > 1000) worst = std::max(worst, s);
    block_total += s;
    clone_dsp_params_into(twin.params, r.engine->dsp.params);
    const auto t1 = Steady::now();
    benchmark::DoNotOptimize(
        vocal_chain_process(twin, r.engine->mic, r.engine->music_l, r.engine->music_r, ol, orr));
    chain_total += std::chrono::duration<double>(Steady::now() - t1).count();
    engine_pace(*r.engine);
    // A recorded take would reach its cap on a long run: start it over now and then.
    ++blocks;
    if (recording && blocks % 20000 == 0) {
      // As a new take does: bump the counter, keep the storage.
      auto g = r.state->lock();
      for (RecorderSlot* slot : {&g->recording, &g->stageRecording}) {
        ++slot->take;
        slot->mix.clear();
        slot->vocal.clear();
        slot->dryMic.clear();
        slot->beat.clear();
      }
    }
  }
  const auto n = static_cast<double>(std::max<benchmark::IterationCount>(bs.iterations(), 1));
  bs.counters["worst_us"] = worst * 1e6;  // after the first 1,000 blocks
  bs.counters["chain_us"] = chain_total / n * 1e6;
  bs.counters["loop_us"] = (block_total - chain_total) / n * 1e6;
}

void BM_EngineBlock(benchmark::State& bs) { run(bs, false); }
void BM_EngineBlockRecording(benchmark::State& bs) { run(bs, true); }

// The chain alone, on the same kind of signals, for the subtraction.
void BM_ChainOnly(benchmark::State& bs) {
  VocalDsp dsp = vocal_dsp_new(dsp_params_default());
  std::array<float, 128> mic{}, ml{}, mr{}, ol{}, orr{};
  std::uint64_t n = 0;
  for (auto _ : bs) {
    for (std::size_t i = 0; i < 128; ++i, ++n) {
      mic[i] = 0.2f * float(std::sin(double(n) * 2.0 * M_PI * 220.0 / 48000.0));
      ml[i] = mr[i] = 0.2f * float(std::sin(double(n) * 0.02));
    }
    const auto t0 = Steady::now();
    benchmark::DoNotOptimize(vocal_chain_process(dsp, mic, ml, mr, ol, orr));
    bs.SetIterationTime(std::chrono::duration<double>(Steady::now() - t0).count());
  }
}

BENCHMARK(BM_EngineBlock)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineBlockRecording)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChainOnly)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
