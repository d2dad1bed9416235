// Backing-track processing (stage 24) and the sends (stage 25) of the vocal chain.
// The track level follower feeds the key hand-over too.
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

// What the sends stage (25) hands to the echo (26), the reverbs (27) and the echo
// ducking (28) for one sample. The default is a sample with every send off.
struct Sends {
  StereoSample pair;          // the filtered send pair sL, sR
  float singer_level = 0.0f;  // v
  float track_level = 0.0f;   // t, the track's effective level (a' of the echo)
  float vang_dai = 0.0f;      // V
  float duck = 1.0f;          // D = clamp(1 - 0.55 v, 0.78, 1)
  float volume_ratio = 0.0f;  // Vr = max(reverb_volume / 0.58, 0)
  float track_boost = 1.0f;   // B: 1 below t = 0.005, up to 1.06 with the track
  float target_gain = 0.0f;   // g_s, the target of the reverb's active gain
  bool off = true;            // the send-off flag
};

// Per-block constants. Thread: engine. Allocates: no. Blocks: no.
void backing_prepare(VocalDsp& dsp);
// Stage 24 on one music frame. Thread: engine. Allocates: no. Blocks: no.
BackingOut backing_sample(VocalDsp& dsp, float music_left, float music_right);
// Stage 25, given the voice pair and the track pair.
// Thread: engine. Allocates: no. Blocks: no.
Sends sends_sample(VocalDsp& dsp, StereoSample voice, StereoSample track);

}  // namespace melodara
