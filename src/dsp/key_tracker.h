// Live key and tempo tracker: listens to the backing track inside the chain
// (its left channel, once per block) and estimates its key and tempo,
// starting from D minor at 70 BPM. A key given from outside seeds and locks
// it: its own key and tempo search stop, and once settled it only watches for
// an upward key change of one to three semitones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/realtime.h"
#include "dsp/chroma.h"
#include "dsp/key_names.h"

namespace melodara {

struct LiveKeyTracker {
  std::vector<float> decimated;  // the last 0.2 s at 4 kHz, a ring
  std::vector<float> onsets;     // 400 onset strengths, one per 10 ms, a ring
  std::size_t decim_phase = 0;
  std::size_t decimated_pos = 0;
  std::size_t since_analysis = 0;  // decimated samples since the last analysis
  ChromaBins goertzel_coeff{};
  Chroma chroma_long{};  // slow chroma: 0..11 all bins, 12..23 low bins
  std::size_t energy_blocks = 0;
  std::size_t onset_pos = 0;
  std::size_t onset_count = 0;
  std::size_t current_key = 2;
  Chroma chroma_short{};  // fast chroma, same layout
  std::size_t candidate_key = 2;
  std::size_t locked_key = 2;
  std::size_t display_key = 2;
  float fast_lp = 0.0f;
  float slow_lp = 0.0f;
  float energy_fast = 0.0f;
  float energy_slow = 0.0f;
  float rms_fast = 0.0f;
  float rms_slow = 0.0f;
  std::uint32_t stable_count = 0;  // analyses agreeing with current_key
  std::uint32_t settle_count = 0;  // analyses since locking
  std::uint32_t change_count = 0;  // confirmations of candidate_key
  float bpm = 70.0f;               // what the tracker reports, a whole BPM
  bool current_minor = true;
  bool key_given = false;  // seeded from outside: no own key or tempo search
  bool candidate_minor = true;
  bool locked_minor = true;
  std::uint8_t state = 0;  // 0 searching, 1 locked, 2 settled, 3 key change confirmed

  // The tempo the smoothing carries, unrounded: rounding it at every update
  // would stall it one short of a steady tempo.
  float bpm_smooth = 70.0f;
  // The onsets in time order less their mean, for the tempo estimate.
  std::array<double, 400> onset_scratch{};

  friend bool operator==(const LiveKeyTracker&, const LiveKeyTracker&) = default;
};

// What the tracker reports after a block: "Dm", "F#", and the tempo.
struct LiveKey {
  KeyLabel label;
  float bpm = 70.0f;
};

// Builds a tracker with its buffers and Goertzel coefficients.
// Thread: any. Allocates: yes. Blocks: no.
LiveKeyTracker live_key_tracker_new();

// Runs once per chain block on the backing track's left samples; at most one
// key analysis per 100 ms of audible music (none on silence).
// Thread: engine. Allocates: no. Blocks: no.
LiveKey track_live_key(LiveKeyTracker& tracker,
                       std::span<const float> music_left) noexcept MELODARA_NONBLOCKING;

// Locks the tracker onto a key given from outside (pitch class `key`, at most
// 11) and tempo (at least 40 BPM): its own key and tempo search stop.
// Thread: the tracker's owner. Allocates: no. Blocks: no.
void seed_live_key_tracker(LiveKeyTracker& tracker, std::size_t key, bool minor,
                           float bpm) noexcept MELODARA_NONBLOCKING;

}  // namespace melodara
