// Recording operations: start and status under the state lock; stop ends its
// take on the reader and exports it on its worker, without the lock.
#include <memory>

#include "core/turns.h"
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

namespace {

// The stops of a target, in the order the host sent them: each exports and
// stores its paths before the next looks at the slot.
TurnQueue& stop_turns(RecorderTarget target) {
  static TurnQueue diagnostic, stage;
  return target == RecorderTarget::stage ? stage : diagnostic;
}

// What a stop's claim took: the take that was recording (or waiting after a
// failed export), or, when there was none, the slot's take counter then.
struct StopClaim {
  RecorderTarget target = RecorderTarget::diagnostic;
  Turn turn;
  RecorderTake take;
  bool taken = false;
  std::uint64_t take_seen = 0;
  std::shared_ptr<RecorderPool> pool;
};

HandlerResult finish_stop(const SharedState& state, StopClaim claim) {
  const RecorderTarget target = claim.target;
  claim.turn.wait();
  RecorderTake& take = claim.take;
  if (!claim.taken) {
    // Decided now, once the earlier stops are done: a take one of them put
    // back after a failed export, a first export, or the paths to answer
    // with. A take begun after this stop was sent is its own stop's.
    auto g = state->lock();
    if (g.poisoned()) return std::unexpected(state_poisoned());
    RecorderSlot& slot = recorder_slot(*g, target);
    if (slot.active || slot.take != claim.take_seen || !recorder_take_out(slot, *claim.pool, take)) {
      return recording_json(slot, target, false, slot.durationSec);
    }
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
  recorder_release(take, *claim.pool);
  return answer;
}

}  // namespace

RequestRest claim_record_stop(const SharedState& state, const LoadJobTable&, const Request& request) {
  StopClaim claim;
  claim.target = target_of(request.payload);
  claim.turn = stop_turns(claim.target).take();
  {
    auto g = state->lock();
    if (!g.poisoned()) {
      RecorderSlot& slot = recorder_slot(*g, claim.target);
      claim.pool = g->recorderPool;
      // The take ends here, so a start sent after the stop begins a new one.
      if (slot.active || !slot.mix.empty()) claim.taken = recorder_take_out(slot, *claim.pool, claim.take);
      claim.take_seen = slot.take;
    }
  }
  // A poisoned state is answered by the rest, in its turn.
  return [state, claim = std::move(claim)]() mutable -> HandlerResult {
    if (!claim.pool) {
      claim.turn.end();
      return std::unexpected(state_poisoned());
    }
    return finish_stop(state, std::move(claim));
  };
}

}  // namespace melodara
