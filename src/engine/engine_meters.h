#pragma once
// The engine's per-block meters: levels of the two program-stream feeds and
// of the monitor output, and the smoothed crackle measure of the monitor.
#include <cstddef>

#include "engine/engine_mix.h"
#include "service/native_state.h"

namespace melodara {

struct BlockMeterSums {
  double primary_sq = 0.0, backing_sq = 0.0, monitor_sq = 0.0, diff_sq = 0.0;
  float primary_peak = 0.0f, backing_peak = 0.0f, monitor_peak = 0.0f;
  std::size_t frames = 0;
};

struct CrackleState {
  float level = 0.15f;
  float m1 = 0.0f, m2 = 0.0f;  // the last two monitor mono samples, across blocks
};

// max(20 log10 x, -96), exactly -96 at or below 0.000016.
float meter_db(float x);

// Thread: engine. Allocates: no.
void meter_frame(BlockMeterSums& sums, CrackleState& crackle, const FrameMix& f);
void crackle_update(CrackleState& crackle, const BlockMeterSums& sums);
// Under the second lock. Thread: engine. Allocates: no.
void write_bus_audit(NativeState& state, const BlockMeterSums& sums, const CrackleState& crackle);

}  // namespace melodara
