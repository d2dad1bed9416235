#include "engine_test_support.h"

#include <cmath>
#include <cstdlib>
#include <new>
#include <numbers>

namespace melodara::test {

void SimClock::move_to(std::int64_t t) {
  if (t <= now_ns) return;
  now_ns = t;
  const auto target = static_cast<std::uint64_t>(static_cast<double>(now_ns - origin_ns) / 1e9 * 48000.0);
  if (target > frames_done) {
    hw->advance(target - frames_done);
    frames_done = target;
  }
}

EngineClock engine_clock_of(std::shared_ptr<SimClock> clock) {
  EngineClock c;
  c.now = [clock] { return EngineInstant(clock->now_ns); };
  c.sleep_until = [clock](EngineInstant deadline) { clock->move_to(deadline.count()); };
  return c;
}

sim::SignalSource sine(double frequency, double level) {
  sim::SignalSource s;
  s.kind = sim::SignalSource::Kind::sine;
  s.frequency = frequency;
  s.level = level;
  return s;
}

sim::DeviceSpec input_device(std::string name, std::uint16_t channels, sim::SignalSource source) {
  sim::DeviceSpec d;
  d.name = std::move(name);
  d.input_channels = channels;
  d.source = std::move(source);
  return d;
}

sim::DeviceSpec output_device(std::string name, std::uint16_t channels) {
  sim::DeviceSpec d;
  d.name = std::move(name);
  d.output_channels = channels;
  return d;
}

SimEngine make_sim_engine(sim::Config config, std::string input_id, std::string output_id,
                          std::shared_ptr<ProgramStream> backing, std::shared_ptr<ProgramStream> primary) {
  SimEngine s;
  s.hw = sim::Hardware::create(std::move(config), sim::Clocking::manual);
  s.clock = std::make_shared<SimClock>();
  s.clock->hw = s.hw;
  NativeState st;
  st.dsp = vocal_dsp_new(dsp_params_default());
  st.micGain = st.dsp.params.vocal_gain;
  st.musicGain = st.dsp.params.beat_volume;
  if (!input_id.empty()) st.inputDeviceId = input_id;
  if (!output_id.empty()) st.outputDeviceId = output_id;
  s.state = std::make_shared<Mutex<NativeState>>(std::move(st));

  EngineEnv env;
  env.platform = s.hw->platform();
  auto stalled = s.stalled;
  env.enumeration_stalled = [stalled] { return *stalled; };
  auto hw = s.hw;
  env.device_snapshot = [hw] {
    auto p = hw->platform();
    return enumerate_device_names(*p.system);
  };
  auto bus = s.bus_name;
  env.set_bus_name = [bus](std::string n) { *bus = std::move(n); };
  env.clock = engine_clock_of(s.clock);
  s.engine = audio_engine_new(std::move(env), s.state, std::move(backing), std::move(primary));
  return s;
}

BlockOutcome SimEngine::step() {
  const BlockOutcome outcome = engine_run_block(*engine);
  return outcome == BlockOutcome::next ? engine_watch(*engine) : outcome;
}

std::uint64_t SimEngine::run_blocks(std::uint64_t blocks) {
  for (std::uint64_t i = 0; i < blocks; ++i) {
    const BlockOutcome outcome = step();
    if (outcome != BlockOutcome::next) {
      engine_restart(*engine, outcome);
      engine_open_streams(*engine);
      continue;
    }
    engine_pace(*engine);
  }
  return blocks;
}

std::uint64_t SimEngine::run_for(double seconds) {
  const std::int64_t end = clock->now_ns + std::int64_t(seconds * 1e9);
  std::uint64_t n = 0;
  while (clock->now_ns < end) n += run_blocks(1);
  return n;
}

float rms(const std::vector<float>& x, std::size_t from, std::size_t to) {
  double s = 0.0;
  to = std::min(to, x.size());
  if (to <= from) return 0.0f;
  for (std::size_t i = from; i < to; ++i) s += static_cast<double>(x[i]) * static_cast<double>(x[i]);
  return float(std::sqrt(s / double(to - from)));
}

float tone_amplitude(const std::vector<float>& stereo, std::size_t first, std::size_t frames,
                     double frequency, int ch) {
  double re = 0.0, im = 0.0;
  std::size_t n = 0;
  for (std::size_t f = first; f < first + frames && 2 * f + 1 < stereo.size(); ++f, ++n) {
    const double phase = 2.0 * std::numbers::pi * frequency * double(f) / 48000.0;
    const auto v = static_cast<double>(stereo[2 * f + static_cast<std::size_t>(ch)]);
    re += v * std::cos(phase);
    im += v * std::sin(phase);
  }
  return n ? float(2.0 * std::sqrt(re * re + im * im) / double(n)) : 0.0f;
}

}  // namespace melodara::test
