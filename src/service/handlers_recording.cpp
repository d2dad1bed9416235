// Recording operations: start and status under the state lock; stop on its
// worker, exporting without the lock.
#include <mutex>

#include "core/wav_writer.h"
#include "engine/recording_export.h"
#include "media/inprocess_decoder.h"
#include "service/handlers.h"
#include "service/payload.h"
#include "service/snapshots.h"

namespace melodara {
namespace {

RecorderTarget target_of(const Json& payload) {
  return recorder_target_of(payload_text(payload, {"target"}));
}

// The stored paths after an export: a file that was not written is not named.
void store_paths(RecorderSlot& slot, RecorderTarget target, const RecordingPaths& paths,
                 const RecordingExportResult& done) {
  auto named = [](bool written, const std::filesystem::path& path) {
    return written ? recording_path_text(path) : std::string();
  };
  slot.savedPath = recording_path_text(paths.mix);
  slot.sharePath = done.share_made ? recording_path_text(paths.share) : slot.savedPath;
  if (target == RecorderTarget::stage) return;
  slot.vocalPath = named(done.vocal_written, paths.vocal);
  slot.dryPath = named(done.dry_written, paths.dry);
  slot.beatPath = named(done.beat_written, paths.beat);
}

}  // namespace

HandlerResult handle_record_start(NativeState& state, const Json& payload) {
  const RecorderTarget target = target_of(payload);
  recorder_start(recorder_slot(state, target), *state.recorderPool);
  Json j = Json::object();
  j["active"] = true;
  j["durationSec"] = json_from_f32(0.0f);
  j["ok"] = true;
  j["recording"] = true;
  j["target"] = recorder_target_name(target);
  return j;
}

HandlerResult handle_record_status(NativeState& state, const Json& payload) {
  const RecorderTarget target = target_of(payload);
  return recording_status_json(recorder_slot(state, target), target);
}

HandlerResult handle_record_stop(const SharedState& state, const LoadJobTable&, const Request& request) {
  const RecorderTarget target = target_of(request.payload);
  // A second stop waits for the first one's export and then finds its paths.
  std::lock_guard serial(recording_export_guard(target));

  RecorderTake take;
  std::shared_ptr<RecorderPool> pool;
  {
    auto g = state->lock();
    if (g.poisoned()) return std::unexpected(state_poisoned());
    RecorderSlot& slot = recorder_slot(*g, target);
    pool = g->recorderPool;
    if (!recorder_take_out(slot, *pool, take)) return recording_json(slot, target, false, slot.durationSec);
  }

  const RecordingPaths paths = recording_paths(downloads_dir(), target);
  const RecordingExportResult done = export_recording_files({target, paths, &take, share_copy_plays});

  HandlerResult answer;
  {
    auto g = state->lock();
    if (g.poisoned()) return std::unexpected(state_poisoned());
    RecorderSlot& slot = recorder_slot(*g, target);
    if (done.mix_error) {
      // Nothing recorded is lost: the next stop exports the same take.
      recorder_put_back(slot, take);
      answer = std::unexpected(ResponseError{ErrorCode::InternalError, *done.mix_error, true, {}});
    } else {
      store_paths(slot, target, paths, done);
      slot.durationSec = float(recording_padded_size(take.mix)) / 96000.0f;
      answer = recording_json(slot, target, false, slot.durationSec);
    }
  }
  recorder_release(take, *pool);
  return answer;
}

}  // namespace melodara
