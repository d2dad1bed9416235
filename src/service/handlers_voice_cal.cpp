// Voice-calibration operations: start, status, finish and cancel.
#include <limits>

#include "service/handlers.h"
#include "service/payload.h"
#include "state/voice_calibration.h"

namespace melodara {
namespace {

constexpr float kDefaultWantedSec = 15.0f;

// Any JSON number as a 32-bit float; beyond the float range an infinity.
float to_f32(double value) {
  constexpr auto kMax = static_cast<double>(std::numeric_limits<float>::max());
  if (value > kMax) return std::numeric_limits<float>::infinity();
  if (value < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

Json calibration_only(const NativeState& state) {
  return Json::object({{"ok", true}, {"voiceCal", voice_cal_status_to_json(state.voiceCal)}});
}

Json calibration_object(const NativeState& state) {
  Json result = calibration_only(state);
  result["params"] = dsp_params_to_json(state.dsp.params);
  result["voiceProfile"] = state.voiceProfile;
  return result;
}

}  // namespace

HandlerResult handle_voice_cal_start(NativeState& state, const Json& payload) {
  const auto wanted = payload_number(payload, {"target_sec", "targetSec"});
  voice_cal_start(state, wanted ? to_f32(*wanted) : kDefaultWantedSec);
  return calibration_only(state);
}

HandlerResult handle_voice_cal_status(NativeState& state, const Json&) { return calibration_object(state); }

HandlerResult handle_voice_cal_finish(NativeState& state, const Json&) {
  if (state.voiceCal.active) save_my_vocal_profile(state);
  return calibration_object(state);
}

HandlerResult handle_voice_cal_cancel(NativeState& state, const Json&) {
  voice_cal_cancel(state);
  return calibration_only(state);
}

}  // namespace melodara
