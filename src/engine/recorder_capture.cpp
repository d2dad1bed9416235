#include "engine/recorder_capture.h"

#include <algorithm>
#include <new>

namespace melodara {
namespace {

constexpr std::size_t kPendingReserve = kRecorderPendingLimit + 3;
// The cap is tested before an append, so a list may pass it by one flush.
constexpr std::size_t kSlotReserve = kRecorderSampleCap + kPendingReserve;

void push2(std::vector<float>& list, float l, float r) {
  list.push_back(l);
  list.push_back(r);
}

// False when the list cannot hold `extra` more samples without reallocating
// and its reservation failed: the take then keeps what it has.
bool room(std::vector<float>& list, std::size_t extra) {
  if (list.size() + extra <= list.capacity()) return true;
  try {
    // Past the reservation (lists someone else refilled) growth stays geometric.
    list.reserve(std::max({kSlotReserve, list.size() + extra, 2 * list.capacity()}));
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void append(std::vector<float>& to, const std::vector<float>& from) {
  to.insert(to.end(), from.begin(), from.end());
}

bool flushable(const RecorderSlot& slot, std::uint64_t memo) { return slot.active && slot.take == memo; }

}  // namespace

RecorderPending recorder_pending_new() {
  RecorderPending p;
  for (auto* list : {&p.mix, &p.vocal, &p.dry, &p.beat, &p.stage_mix}) list->reserve(kPendingReserve);
  return p;
}

void recorder_note_slots(RecorderPending& p, const RecorderSlot& recording, const RecorderSlot& stage) {
  p.active = recording.active;
  p.stage_active = stage.active;
  if (recording.take != p.take_memo) {
    p.mix.clear();
    p.vocal.clear();
    p.dry.clear();
    p.beat.clear();
    p.take_memo = recording.take;
  }
  if (stage.take != p.stage_take_memo) {
    p.stage_mix.clear();
    p.stage_take_memo = stage.take;
  }
}

void recorder_capture_block(RecorderPending& p, const RecorderBlock& b) {
  const std::size_t n = std::min({b.mix.size(), b.vocal.size(), b.dry_mic.size(), b.beat.size()});
  for (std::size_t i = 0; i < n; ++i) {
    if (p.active && p.mix.size() <= kRecorderPendingLimit) {
      push2(p.mix, b.mix[i].left, b.mix[i].right);
      push2(p.vocal, b.vocal[i].left, b.vocal[i].right);
      push2(p.dry, b.dry_mic[i].left, b.dry_mic[i].right);
      push2(p.beat, b.beat[i].left, b.beat[i].right);
    }
    if (p.stage_active && p.stage_mix.size() <= kRecorderPendingLimit)
      push2(p.stage_mix, b.mix[i].left, b.mix[i].right);
  }
}

void recorder_flush(RecorderPending& p, RecorderSlot& recording, RecorderSlot& stage) {
  if (flushable(recording, p.take_memo) || !recording.active) {
    if (recording.active && recording.mix.size() < kRecorderSampleCap) {
      const std::size_t n = p.mix.size();
      if (room(recording.mix, n) && room(recording.vocal, n) && room(recording.dryMic, n) &&
          room(recording.beat, n)) {
        append(recording.mix, p.mix);
        append(recording.vocal, p.vocal);
        append(recording.dryMic, p.dry);
        append(recording.beat, p.beat);
      }
      recording.durationSec = float(recording.mix.size()) / 96000.0f;
    }
    p.mix.clear();
    p.vocal.clear();
    p.dry.clear();
    p.beat.clear();
  }
  if (flushable(stage, p.stage_take_memo) || !stage.active) {
    if (stage.active && stage.mix.size() < kRecorderSampleCap) {
      if (room(stage.mix, p.stage_mix.size())) append(stage.mix, p.stage_mix);
      stage.durationSec = float(stage.mix.size()) / 96000.0f;
    }
    p.stage_mix.clear();
  }
}

}  // namespace melodara
