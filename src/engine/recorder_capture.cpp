#include "engine/recorder_capture.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace melodara {
namespace {

constexpr std::size_t kPendingReserve = kRecorderPendingLimit + 3;

void push2(std::vector<float>& list, float l, float r) {
  list.push_back(l);
  list.push_back(r);
}

bool flushable(const RecorderSlot& slot, std::uint64_t memo) { return slot.active && slot.take == memo; }

// Appends the pending lists to the slot's lists, all or none: the stems stay
// aligned with the mix when the pool runs dry.
bool append_all(std::initializer_list<std::pair<RecorderSamples*, const std::vector<float>*>> lists,
                RecorderPool& pool) {
  for (const auto& [to, from] : lists)
    if (!to->reserve_more(from->size(), pool)) return false;
  for (const auto& [to, from] : lists) to->append_reserved(*from);
  return true;
}

}  // namespace

RecorderPending recorder_pending_new() {
  RecorderPending p;
  for (auto* list : {&p.mix, &p.vocal, &p.dry, &p.beat, &p.stage_mix}) {
    list->resize(kPendingReserve);  // writes every page now, not on the engine thread later
    list->clear();
  }
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

void recorder_flush(RecorderPending& p, RecorderSlot& recording, RecorderSlot& stage, RecorderPool& pool) {
  if (flushable(recording, p.take_memo) || !recording.active) {
    bool keep = false;
    if (recording.active && recording.mix.size() < kRecorderSampleCap) {
      keep = !append_all({{&recording.mix, &p.mix},
                          {&recording.vocal, &p.vocal},
                          {&recording.dryMic, &p.dry},
                          {&recording.beat, &p.beat}},
                         pool);
      recording.durationSec = float(recording.mix.size()) / 96000.0f;
    }
    if (!keep) {
      p.mix.clear();
      p.vocal.clear();
      p.dry.clear();
      p.beat.clear();
    }
  }
  if (flushable(stage, p.stage_take_memo) || !stage.active) {
    bool keep = false;
    if (stage.active && stage.mix.size() < kRecorderSampleCap) {
      keep = !stage.mix.append(p.stage_mix, pool);
      stage.durationSec = float(stage.mix.size()) / 96000.0f;
    }
    if (!keep) p.stage_mix.clear();
  }
}

}  // namespace melodara
