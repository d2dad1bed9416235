#include "service/handlers.h"
#include "service/payload.h"
#include "service/snapshots.h"

namespace melodara {

HandlerResult handle_handshake(NativeState& state, const Json&) {
  Json result = Json::object();
  result["buildId"] = kBuildId;
  result["capabilities"] = Json::array({"audio", "devices", "camera", "player"});
  result["nativeProtocolVersion"] = 2;
  result["protocolVersion"] = 2;
  result["sessionEpoch"] = state.sessionEpoch;
  result["supportedOperations"] = supported_operations_json();
  return result;
}

// The soundboard has no audio of its own yet; it acknowledges the pad.
HandlerResult handle_soundboard_trigger(NativeState&, const Json& payload) {
  Json result = Json::object();
  result["padId"] = payload_text(payload, {"padId"}).value_or("sfx_01");
  result["queued"] = true;
  result["routes"] = Json::array({"monitor", "program-stream"});
  return result;
}

HandlerResult handle_soundboard_stop(NativeState&, const Json&) {
  return Json{{"queued", true}, {"stopped", true}};
}

}  // namespace melodara
