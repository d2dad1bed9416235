// Vocal-parameter and telemetry operations.
#include "service/handlers.h"
#include "service/payload.h"
#include "service/snapshots.h"

namespace melodara {

HandlerResult handle_dsp_get(NativeState& state, const Json&) { return dsp_state_json(state); }

HandlerResult handle_dsp_routing(NativeState& state, const Json& payload) {
  if (auto mode = payload_text(payload, {"mode"})) parse_routing_mode(state, *mode);
  return dsp_state_json(state);
}

}  // namespace melodara
