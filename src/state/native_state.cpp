#include "state/native_state.h"

#include <cmath>

#include "core/counters.h"

namespace melodara {

float clamp_gain(float gain) { return std::isnan(gain) ? 0.0f : std::fmin(2.0f, std::fmax(0.0f, gain)); }

std::uint64_t bump_media_generation(PlayerState& player) {
  bump(player.mediaGeneration);
  player.generationCopy->store(player.mediaGeneration, std::memory_order_release);
  return player.mediaGeneration;
}

bool generation_moved_past(const GenerationWatch& watch, std::uint64_t generation) {
  return watch && watch->load(std::memory_order_acquire) > generation;
}

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

std::string add_load_job(LoadJobTableData& table, LoadJob job) {
  std::string id = next_load_job_id(table);
  table.jobs.insert_or_assign(id, std::move(job));
  return id;
}

void cancel_superseded_load_jobs(LoadJobTableData& table, std::uint64_t generation) {
  for (auto& [id, job] : table.jobs) {
    if (job.status == LoadJobStatus::Loading && job.mediaGeneration < generation) {
      job.cancelled = true;
      job.status = LoadJobStatus::Cancelled;
    }
  }
}

}  // namespace melodara
