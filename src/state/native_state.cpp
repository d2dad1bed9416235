#include "state/native_state.h"

#include <cmath>

#include "core/counters.h"

namespace melodara {

float clamp_gain(float gain) { return std::isnan(gain) ? 0.0f : std::fmin(2.0f, std::fmax(0.0f, gain)); }

RecorderSlot& recorder_slot(NativeState& state, RecorderTarget target) {
  return target == RecorderTarget::stage ? state.stageRecording : state.recording;
}

const char* load_job_status_text(LoadJobStatus status) {
  switch (status) {
    case LoadJobStatus::Loading: return "loading";
    case LoadJobStatus::Completed: return "completed";
    case LoadJobStatus::Cancelled: return "cancelled";
    case LoadJobStatus::Error: return "error";
  }
  return "error";
}

std::string next_load_job_id(LoadJobTableData& table) {
  bump(table.sequence);
  return "load-" + std::to_string(table.sequence);
}

}  // namespace melodara
