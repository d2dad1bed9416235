// The bus-audit meters and the crackle level from one block's mix sums.
#include "engine/engine_meters.h"

#include <gtest/gtest.h>

#include <cmath>

namespace melodara {
namespace {

TEST(EngineMeters, BusAuditLevelsFromTheBlockSums) {
  MixMeterSums s;
  s.frames = 128;
  s.primary_sum_sq = 128 * 0.25f;  // per-frame mean of L^2 and R^2: RMS 0.5
  s.primary_peak = 0.5f;
  s.backing_sum_sq = 128 * 0.01f;   // RMS 0.1
  s.backing_peak = 0.000016f;       // at the floor: exactly -96
  s.monitor_sum_sq = 128 * 1e-12f;  // RMS 1e-6: below the floor
  s.monitor_peak = 1.0f;
  NativeState st;
  write_bus_audit(st, s, CrackleState{});
  EXPECT_NEAR(st.primaryUplinkRmsDb, -6.0206f, 1e-3f);
  EXPECT_NEAR(st.primaryUplinkPeakDb, -6.0206f, 1e-3f);
  EXPECT_NEAR(st.backingUplinkRmsDb, -20.0f, 1e-3f);
  EXPECT_EQ(st.backingUplinkPeakDb, -96.0f);
  EXPECT_EQ(st.monitorRmsDb, -96.0f);
  EXPECT_EQ(st.monitorPeakDb, 0.0f);
  EXPECT_FLOAT_EQ(st.monitorCracklePct, 0.15f);
  EXPECT_NEAR(meter_db(0.0000161f), 20.0f * std::log10(0.0000161f), 1e-4f);
}

TEST(EngineMeters, CrackleFollowsTheSecondDifferenceAndSettlesInQuiet) {
  MixMeterSums s;
  s.frames = 128;
  s.monitor_sum_sq = 128 * 0.01f;       // r = 0.1
  s.monitor_diff_sum_sq = 128 * 1e-4f;  // d = 0.01: q = (0.1 - 0.09) x 18 = 0.18
  CrackleState c;
  crackle_update(c, s);
  EXPECT_NEAR(c.level, 0.85f * 0.15f + 0.15f * 0.18f, 1e-5f);

  s.monitor_diff_sum_sq = 128 * 100.0f;  // q clamps at 100
  c = CrackleState{};
  crackle_update(c, s);
  EXPECT_NEAR(c.level, 0.85f * 0.15f + 15.0f, 1e-4f);
  NativeState st;
  write_bus_audit(st, s, c);
  EXPECT_FLOAT_EQ(st.monitorCracklePct, 15.13f);  // rounded to two decimals

  // A quiet monitor (r at most 0.002) decays the level towards 0.15.
  MixMeterSums quiet;
  quiet.frames = 128;
  quiet.monitor_sum_sq = 128 * 0.0015f * 0.0015f;
  quiet.monitor_diff_sum_sq = 128 * 1.0f;
  for (int i = 0; i < 200; ++i) crackle_update(c, quiet);
  EXPECT_NEAR(c.level, 0.15f, 1e-3f);
}

}  // namespace
}  // namespace melodara
