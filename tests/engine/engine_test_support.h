// Helpers for the engine tests: a manual clock that moves the simulated
// hardware as the engine sleeps, device specs, an engine on the simulation,
// sink measurements, and an allocation counter for the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "alloc_counter.h"

#include "engine/engine_thread.h"
#include "platform/sim/sim_hardware.h"

namespace melodara::test {

// Time starts at 1 s; sleeping moves the simulation by the slept frames.
struct SimClock {
  std::shared_ptr<sim::Hardware> hw;
  std::int64_t now_ns = 1'000'000'000;
  std::uint64_t frames_done = 0;
  std::int64_t origin_ns = 1'000'000'000;

  void move_to(std::int64_t t);
  void stall(std::int64_t ns) { move_to(now_ns + ns); }
};

// Clock functions over a shared SimClock.
EngineClock engine_clock_of(std::shared_ptr<SimClock> clock);

sim::DeviceSpec input_device(std::string name, std::uint16_t channels = 1, sim::SignalSource source = {});
sim::DeviceSpec output_device(std::string name, std::uint16_t channels = 2);
sim::SignalSource sine(double frequency, double level);

// An engine on the simulation with its own enumeration state (never stalled
// unless `stalled` says so).
struct SimEngine {
  std::shared_ptr<sim::Hardware> hw;
  std::shared_ptr<SimClock> clock;
  SharedState state;
  std::shared_ptr<bool> stalled = std::make_shared<bool>(false);
  std::shared_ptr<std::string> bus_name = std::make_shared<std::string>();
  AudioEnginePtr engine;

  // One block and its watchdogs, without pacing or restart.
  BlockOutcome step();
  // Runs blocks with pacing (the clock moves the hardware) for `seconds` of
  // engine time, restarting as the loop would. Returns the blocks run.
  std::uint64_t run_for(double seconds);
  std::uint64_t run_blocks(std::uint64_t blocks);

  const BlockSignals& signals() const { return engine_signals(*engine); }
  EngineStatus status() const { return engine_status(*engine); }
};

// Input and output ids go into the state as the start-up would set them.
SimEngine make_sim_engine(sim::Config config, std::string input_id, std::string output_id,
                          std::shared_ptr<ProgramStream> backing = nullptr,
                          std::shared_ptr<ProgramStream> primary = nullptr);

float rms(const std::vector<float>& samples, std::size_t from, std::size_t to);
// Single-bin DFT amplitude of channel `ch` of interleaved stereo.
float tone_amplitude(const std::vector<float>& stereo, std::size_t first_frame, std::size_t frames,
                     double frequency, int ch = 0);

}  // namespace melodara::test
