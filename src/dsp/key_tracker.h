// Live key and tempo tracker: listens to the backing track inside the chain and
// estimates its key and tempo, starting from D minor at 70 BPM.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace melodara {

struct LiveKeyTracker {
  std::vector<float> decimated;  // 800 samples at 4 kHz
  std::vector<float> onsets;     // 400 onset strengths, one per 10 ms
  std::size_t decim_phase = 0;
  std::size_t decimated_pos = 0;
  std::size_t since_analysis = 0;
  std::array<double, 42> goertzel_coeff{};
  std::array<double, 24> chroma_long{};
  std::size_t energy_blocks = 0;
  std::size_t onset_pos = 0;
  std::size_t onset_count = 0;
  std::size_t current_key = 2;
  std::array<double, 24> chroma_short{};
  std::size_t candidate_key = 2;
  std::size_t locked_key = 2;
  std::size_t display_key = 2;
  float fast_lp = 0.0f;
  float slow_lp = 0.0f;
  float energy_fast = 0.0f;
  float energy_slow = 0.0f;
  float rms_fast = 0.0f;
  float rms_slow = 0.0f;
  std::uint32_t stable_count = 0;
  std::uint32_t settle_count = 0;
  std::uint32_t change_count = 0;
  float bpm = 70.0f;
  bool current_minor = true;
  bool key_given = false;
  bool candidate_minor = true;
  bool locked_minor = true;
  std::uint8_t state = 0;  // 0 searching, 1 locked, 2 settled, 3 key change confirmed

  friend bool operator==(const LiveKeyTracker&, const LiveKeyTracker&) = default;
};

// Builds a tracker with its buffers and Goertzel coefficients.
// Thread: any. Allocates: yes. Blocks: no.
LiveKeyTracker live_key_tracker_new();

// Runs once per chain block on the backing track's left samples.
// Thread: engine. Allocates: no. Blocks: no.
void track_live_key(LiveKeyTracker& tracker, std::span<const float> music_left);

}  // namespace melodara
