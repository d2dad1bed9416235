#include "state/recorder_slot.h"

#include "core/counters.h"

namespace melodara {

RecorderTarget recorder_target_of(const std::optional<std::string>& text) {
  return text && *text == "stage" ? RecorderTarget::stage : RecorderTarget::diagnostic;
}

std::string_view recorder_target_name(RecorderTarget target) {
  return target == RecorderTarget::stage ? "stage" : "diagnostic";
}

void recorder_start(RecorderSlot& slot, RecorderPool& pool) {
  pool.prime();
  if (!slot.active) pool.user_begins();
  bump(slot.take);
  slot.active = true;
  for (RecorderSamples* list : {&slot.mix, &slot.vocal, &slot.dryMic, &slot.beat}) list->clear();
  slot.durationSec = 0.0f;
}

bool recorder_take_out(RecorderSlot& slot, RecorderPool& pool, RecorderTake& out) {
  const bool was_active = slot.active;
  slot.active = false;
  if (was_active) pool.user_ends();
  if (!was_active && slot.mix.empty() && (!slot.savedPath.empty() || slot.take == 0)) return false;
  out.mix.swap(slot.mix);
  out.vocal.swap(slot.vocal);
  out.dryMic.swap(slot.dryMic);
  out.beat.swap(slot.beat);
  out.take = slot.take;
  return true;
}

bool recorder_put_back(RecorderSlot& slot, RecorderTake& take) {
  if (slot.active || slot.take != take.take || !slot.mix.empty()) return false;
  slot.mix.swap(take.mix);
  slot.vocal.swap(take.vocal);
  slot.dryMic.swap(take.dryMic);
  slot.beat.swap(take.beat);
  return true;
}

void recorder_release(RecorderTake& take, RecorderPool& pool) {
  for (RecorderSamples* list : {&take.mix, &take.vocal, &take.dryMic, &take.beat}) list->release_to(pool);
}

}  // namespace melodara
