#pragma once
// The engine's per-block meters: levels of the two program-stream feeds and
// of the monitor output, and the smoothed crackle measure of the monitor,
// from the sums the routing mix gathers over each block.
#include "engine/routing_mix.h"
#include "state/native_state.h"

namespace melodara {

struct CrackleState {
  float level = 0.15f;  // smoothed crackle percentage
};

// max(20 log10 x, -96), exactly -96 at or below 0.000016. Pure; any thread.
float meter_db(float x);

// Thread: engine. Allocates: no. Blocks: no.
void crackle_update(CrackleState& crackle, const MixMeterSums& sums);
// The bus-audit and crackle meters into the state.
// Thread: engine, holding the state lock. Allocates: no. Blocks: no.
void write_bus_audit(NativeState& state, const MixMeterSums& sums, const CrackleState& crackle);

}  // namespace melodara
