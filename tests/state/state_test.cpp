#include <gtest/gtest.h>

#include <future>
#include <limits>
#include <stdexcept>
#include <thread>

#include "core/counters.h"
#include "core/mutex.h"
#include "state/native_state.h"

namespace melodara {
namespace {

TEST(Counters, SaturateAtTheTop) {
  constexpr auto top = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t v = top - 1;
  bump(v);
  EXPECT_EQ(v, top);
  bump(v);
  EXPECT_EQ(v, top);
  static_assert(saturating_next(0) == 1);
  std::uint32_t small = std::numeric_limits<std::uint32_t>::max() - 1;
  bump(small);
  bump(small);
  EXPECT_EQ(small, std::numeric_limits<std::uint32_t>::max());
}

TEST(Counters, JobIdsCountFromOne) {
  LoadJobTableData table;
  EXPECT_EQ(next_load_job_id(table), "load-1");
  EXPECT_EQ(next_load_job_id(table), "load-2");
  table.sequence = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(next_load_job_id(table), "load-18446744073709551615");
}

TEST(PoisonMutex, UnwindingHolderPoisonsForGood) {
  Mutex<int> m(5);
  {
    auto g = m.lock();
    EXPECT_FALSE(g.poisoned());
    *g = 6;
  }
  EXPECT_FALSE(m.is_poisoned());
  try {
    auto g = m.lock();
    throw std::runtime_error("boom");
  } catch (const std::runtime_error&) {}
  EXPECT_TRUE(m.is_poisoned());
  auto g = m.lock();
  EXPECT_TRUE(g.poisoned());
  EXPECT_EQ(*g, 6);  // the value is still reachable for readers that accept it
  g.release();
  EXPECT_FALSE(m.try_lock().has_value());  // poisoned counts as busy
}

TEST(PoisonMutex, TryLockFailsWhileHeldElsewhere) {
  Mutex<int> m(0);
  auto held = m.lock();
  auto attempt = std::async(std::launch::async, [&] { return m.try_lock().has_value(); });
  EXPECT_FALSE(attempt.get());
  held.release();
  EXPECT_TRUE(m.try_lock().has_value());
}

TEST(NativeStateDefaults, FreshValues) {
  NativeState s;
  EXPECT_EQ(s.sessionEpoch, 1u);
  EXPECT_EQ(s.audioRevision, 1u);
  EXPECT_EQ(s.sampleRate, 48000u);
  EXPECT_EQ(s.bufferSize, 128u);
  EXPECT_EQ(s.routingMode, "program");
  EXPECT_EQ(s.presetId, "Pop Ballad");
  EXPECT_EQ(s.monitorCracklePct, 0.15f);
  EXPECT_EQ(s.monitorRmsDb, -96.0f);
  EXPECT_TRUE(s.running);
  EXPECT_TRUE(s.player.samples && s.player.samples->empty());
}

TEST(Gains, ClampIntoZeroToTwo) {
  EXPECT_EQ(clamp_gain(-1.0f), 0.0f);
  EXPECT_EQ(clamp_gain(2.5f), 2.0f);
  EXPECT_EQ(clamp_gain(0.7f), 0.7f);
  EXPECT_EQ(clamp_gain(std::nanf("")), 0.0f);
}

}  // namespace
}  // namespace melodara
