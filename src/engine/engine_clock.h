#pragma once
// The engine's block clock: a monotonic time source with a sleep, injectable
// so that pacing can be driven by a test (or by a simulation's manual clock),
// and the block pacer: blocks are due every 1/375 s from a base instant,
// steered 60 us by the monitor ring's fill and reset after a long stall.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace melodara {

using EngineInstant = std::chrono::nanoseconds;  // since an arbitrary monotonic epoch

// Both run on the engine thread: `now` must not block or allocate;
// `sleep_until` blocks until the deadline (a sleep cut short sleeps the rest).
struct EngineClock {
  std::function<EngineInstant()> now;
  std::function<void(EngineInstant deadline)> sleep_until;
};

// The steady clock of the process. Thread: any. Allocates: yes.
EngineClock steady_engine_clock();

inline constexpr std::uint64_t kBlocksPerSecond = 375;
inline constexpr std::int64_t kSteerNs = 60'000;
inline constexpr std::int64_t kResetLatenessNs = 80'000'000;  // later than this resets
inline constexpr std::size_t kSteerLowFill = 1280;            // below: run faster
inline constexpr std::size_t kSteerHighFill = 2304;           // above: run slower

struct BlockPacer {
  EngineInstant base{0};
  std::uint64_t blocks = 0;
};

// Exact nanoseconds of `blocks` block periods (saturating). Pure; any thread.
std::int64_t blocks_to_ns(std::uint64_t blocks);

enum class PaceResult { slept, caught_up, reset };

// Counts one block, steers by the monitor fill (none without a monitor
// output stream: the clock alone paces), sleeps to the deadline when it is
// ahead, and resets the base after more than 80 ms of lateness.
// Thread: engine. Allocates: no. Blocks: the sleep only.
PaceResult pace_block(BlockPacer& pacer, std::optional<std::size_t> monitor_fill, const EngineClock& clock);

}  // namespace melodara
