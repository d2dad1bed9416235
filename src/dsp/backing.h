// Backing-track processing (stage 24) and the sends (stage 25) of the vocal chain.
// Until the stage lands the track passes unchanged apart from beat_volume; the
// track level follower, which the key hand-over reads, already runs.
#pragma once

#include <cstddef>

#include "dsp/stereo_sample.h"

namespace melodara {

struct VocalDsp;

struct BackingState {
  std::size_t synth_write = 0;    // write index of short_line_a
  float edge = 0.0f;              // edge smoother
  float presence = 0.0f;          // vocal presence vp
  float bass_level = 0.0f;        // bass follower lb
  float track_level = 0.0f;       // track level follower tl
  float reverb_send_gain = 0.0f;  // target send gain g_s of the sample
  friend bool operator==(const BackingState&, const BackingState&) = default;
};

// What stage 24 hands on for one sample.
struct BackingOut {
  StereoSample track;  // as mixed into the output
  float level = 0.0f;  // the track's effective level t: its follower times its gains
  float mid = 0.0f;    // processed mid, before beat_volume and ducking
  float side = 0.0f;   // processed side, same point
};

// Per-block constants. Thread: engine. Allocates: no. Blocks: no.
void backing_prepare(VocalDsp& dsp);
// Stage 24 on one music frame. Thread: engine. Allocates: no. Blocks: no.
BackingOut backing_sample(VocalDsp& dsp, float music_left, float music_right);
// Stage 25, given the voice pair and the track pair. Thread: engine. Allocates: no.
void sends_sample(VocalDsp& dsp, StereoSample voice, StereoSample track);

}  // namespace melodara
