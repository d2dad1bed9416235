// The engine's block loop on the simulated hardware with a manual clock:
// cost of one engine block (capture pop, copy path, track read and fades,
// mix, meters, recorder capture, ring pushes), with the vocal chain, and the
// chain alone on the same signals; the loop's own cost is the difference.
// Per block, not only on average: the worst block and the blocks over 500 us,
// without and with recording side by side. Only engine_run_block is timed; the
// simulated devices run between blocks.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>

#include "engine/engine_thread.h"
#include "platform/sim/sim_hardware.h"

namespace {

using namespace melodara;
using Steady = std::chrono::steady_clock;

struct Rig {
  std::shared_ptr<sim::Hardware> hw;
  SharedState state;
  AudioEnginePtr engine;
  std::int64_t now = 1'000'000'000;
};

Rig make_rig() {
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
  r.state = std::make_shared<Mutex<NativeState>>(std::move(st));
  EngineEnv env;
  env.platform = r.hw->platform();
  env.enumeration_stalled = [] { return false; };
  auto hw = r.hw;
  env.device_snapshot = [hw] { return enumerate_device_names(*hw->platform().system); };
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

// One rig's per-block record: the realtime budget is broken by single blocks,
// which a mean hides.
struct BlockRecord {
  std::uint64_t blocks = 0, over_500us = 0;
  double worst = 0.0, total = 0.0, chain = 0.0;
};

// Runs one block of the rig, and its chain again on a twin, into the record.
double timed_block(Rig& r, VocalDsp& twin, BlockRecord& rec) {
  const auto t0 = Steady::now();
  engine_run_block(*r.engine);
  const double s = std::chrono::duration<double>(Steady::now() - t0).count();
  ++rec.blocks;
  if (s > 500e-6) ++rec.over_500us;
  rec.worst = std::max(rec.worst, s);
  rec.total += s;
  // A twin chain fed with the engine's own blocks and parameters gives the
  // chain's share of the block.
  std::array<float, 128> ol{}, orr{};
  clone_dsp_params_into(twin.params, engine_dsp_params(*r.engine));
  const BlockSignals& sig = engine_signals(*r.engine);
  const auto t1 = Steady::now();
  benchmark::DoNotOptimize(vocal_chain_process(twin, sig.mic, sig.music_left, sig.music_right, ol, orr));
  rec.chain += std::chrono::duration<double>(Steady::now() - t1).count();
  engine_watch(*r.engine);
  engine_pace(*r.engine);
  return s;
}

// Both targets start a take, as "tunewerk.record.start" does.
void start_takes(Rig& r) {
  auto g = r.state->lock();
  for (RecorderSlot* slot : {&g->recording, &g->stageRecording}) recorder_start(*slot, *g->recorderPool);
}

// Both takes stop as "tunewerk.record.stop" takes them out; their chunks go
// back to the pool instead of into files.
void stop_takes(Rig& r) {
  RecorderTake takes[2];
  std::shared_ptr<RecorderPool> pool;
  {
    auto g = r.state->lock();
    pool = g->recorderPool;
    recorder_take_out(g->recording, *pool, takes[0]);
    recorder_take_out(g->stageRecording, *pool, takes[1]);
  }
  for (RecorderTake& t : takes) recorder_release(t, *pool);
}

void report(benchmark::State& bs, const char* name, const BlockRecord& rec) {
  const double n = double(std::max<std::uint64_t>(rec.blocks, 1));
  const std::string p(name);
  bs.counters[p + "_over_500us"] = double(rec.over_500us);
  bs.counters[p + "_worst_us"] = rec.worst * 1e6;
  bs.counters[p + "_loop_us"] = (rec.total - rec.chain) / n * 1e6;
}

// The engine block without and with recording, side by side: per iteration
// one block of each rig, so both meet the same machine load. The recording
// rig starts its takes over now and then as the service does (the stop's
// files are not written), so take starts are among the blocks measured.
void BM_EngineBlockRecordingSideBySide(benchmark::State& bs) {
  Rig plain = make_rig(), recording = make_rig();
  VocalDsp plain_twin = vocal_dsp_new(dsp_params_default());
  VocalDsp recording_twin = vocal_dsp_new(dsp_params_default());
  BlockRecord plain_rec, recording_rec;
  start_takes(recording);
  std::uint64_t blocks = 0;
  for (auto _ : bs) {
    timed_block(plain, plain_twin, plain_rec);
    bs.SetIterationTime(timed_block(recording, recording_twin, recording_rec));
    if (++blocks % 10'000 == 0) {
      stop_takes(recording);
      start_takes(recording);
    }
  }
  report(bs, "plain", plain_rec);
  report(bs, "recording", recording_rec);
  bs.counters["chain_us"] =
      recording_rec.chain / double(std::max<std::uint64_t>(recording_rec.blocks, 1)) * 1e6;
}

void BM_EngineBlock(benchmark::State& bs) {
  Rig r = make_rig();
  VocalDsp twin = vocal_dsp_new(dsp_params_default());
  BlockRecord rec;
  for (auto _ : bs) bs.SetIterationTime(timed_block(r, twin, rec));
  report(bs, "block", rec);
}

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
BENCHMARK(BM_EngineBlockRecordingSideBySide)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(40'000);
BENCHMARK(BM_ChainOnly)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
