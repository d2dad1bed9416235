#include "engine/engine_clock.h"

#include <limits>
#include <thread>

#include "core/counters.h"

namespace melodara {

EngineClock steady_engine_clock() {
  using Steady = std::chrono::steady_clock;
  EngineClock c;
  c.now = [] { return std::chrono::duration_cast<EngineInstant>(Steady::now().time_since_epoch()); };
  // sleep_until resumes after an interruption by itself.
  c.sleep_until = [](EngineInstant deadline) {
    std::this_thread::sleep_until(Steady::time_point(std::chrono::duration_cast<Steady::duration>(deadline)));
  };
  return c;
}

std::int64_t blocks_to_ns(std::uint64_t blocks) {
  constexpr std::uint64_t kSecond = 1'000'000'000;
  const std::uint64_t whole = blocks / kBlocksPerSecond, rest = blocks % kBlocksPerSecond;
  const std::uint64_t max_whole = std::uint64_t(std::numeric_limits<std::int64_t>::max()) / kSecond - 1;
  if (whole > max_whole) return std::numeric_limits<std::int64_t>::max();
  return std::int64_t(whole * kSecond + rest * kSecond / kBlocksPerSecond);
}

PaceResult pace_block(BlockPacer& pacer, std::optional<std::size_t> monitor_fill, const EngineClock& clock) {
  pacer.blocks = saturating_next(pacer.blocks);
  if (monitor_fill) {
    if (*monitor_fill < kSteerLowFill)
      pacer.base -= EngineInstant(kSteerNs);
    else if (*monitor_fill > kSteerHighFill)
      pacer.base += EngineInstant(kSteerNs);
  }
  const EngineInstant deadline = pacer.base + EngineInstant(blocks_to_ns(pacer.blocks));
  const EngineInstant now = clock.now();
  if (deadline > now) {
    clock.sleep_until(deadline);
    return PaceResult::slept;
  }
  if ((now - deadline).count() > kResetLatenessNs) {
    pacer.base = now;
    pacer.blocks = 0;
    return PaceResult::reset;
  }
  return PaceResult::caught_up;
}

}  // namespace melodara
