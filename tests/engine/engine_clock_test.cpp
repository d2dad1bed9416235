// Block pacing: deadlines every 1/375 s, steering by the monitor fill, reset
// after a long stall. Driven by a fake clock; nothing sleeps.
#include "engine/engine_clock.h"

#include <gtest/gtest.h>

namespace melodara {
namespace {

struct FakeClock {
  std::int64_t now = 5'000'000'000;
  std::vector<std::int64_t> sleeps;  // deadlines slept to
  EngineClock clock() {
    return {[this] { return EngineInstant(now); },
            [this](EngineInstant d) {
              sleeps.push_back(d.count());
              now = std::max(now, std::int64_t(d.count()));
            }};
  }
};

TEST(EngineClock, BlockPeriodsAreExactNanoseconds) {
  EXPECT_EQ(blocks_to_ns(0), 0);
  EXPECT_EQ(blocks_to_ns(1), 2'666'666);
  EXPECT_EQ(blocks_to_ns(3), 8'000'000);
  EXPECT_EQ(blocks_to_ns(375), 1'000'000'000);
  EXPECT_EQ(blocks_to_ns(375 * 3600 + 1), 3600'000'000'000 + 2'666'666);
}

TEST(EngineClock, MonitorFillSteersTheDeadline) {
  struct Case {
    std::optional<std::size_t> fill;
    std::int64_t shift;
  } cases[] = {{1279, -60'000}, {1280, 0},    {1792, 0},        {2304, 0},
               {2305, 60'000},  {0, -60'000}, {std::nullopt, 0}};  // no monitor stream: the clock alone
  for (const auto& c : cases) {
    FakeClock fc;
    auto clock = fc.clock();
    BlockPacer p{EngineInstant(fc.now), 0};
    EXPECT_EQ(pace_block(p, c.fill, clock), PaceResult::slept);
    ASSERT_EQ(fc.sleeps.size(), 1u);
    EXPECT_EQ(fc.sleeps[0], 5'000'000'000 + 2'666'666 + c.shift)
        << (c.fill ? static_cast<std::int64_t>(*c.fill) : -1);
  }
}

TEST(EngineClock, RunsOnTimeAndResetsOnlyAfterMoreThan80msLate) {
  FakeClock fc;
  auto clock = fc.clock();
  BlockPacer p{EngineInstant(fc.now), 0};
  for (int i = 0; i < 375; ++i) pace_block(p, 1792, clock);
  EXPECT_EQ(fc.now, 6'000'000'000);  // one second for 375 blocks

  // 50 ms late: caught up by blocks without sleeping, no reset.
  fc.now += 50'000'000;
  int quick = 0;
  while (pace_block(p, 1792, clock) == PaceResult::caught_up) ++quick;
  EXPECT_EQ(quick, 18);  // 50 ms / 2.667 ms
  EXPECT_GT(p.blocks, 375u);

  // Exactly 80 ms late still catches up; one nanosecond more resets.
  const std::int64_t due = p.base.count() + blocks_to_ns(p.blocks + 1);
  fc.now = due + 80'000'000;
  EXPECT_EQ(pace_block(p, 1792, clock), PaceResult::caught_up);
  const std::int64_t due2 = p.base.count() + blocks_to_ns(p.blocks + 1);
  fc.now = due2 + 80'000'001;
  EXPECT_EQ(pace_block(p, 1792, clock), PaceResult::reset);
  EXPECT_EQ(p.blocks, 0u);
  EXPECT_EQ(p.base.count(), fc.now);
  // A 100 ms stall gives no burst: the next block is a full period away.
  fc.sleeps.clear();
  EXPECT_EQ(pace_block(p, 1792, clock), PaceResult::slept);
  EXPECT_EQ(fc.sleeps.back(), p.base.count() + 2'666'666);
}

}  // namespace
}  // namespace melodara
