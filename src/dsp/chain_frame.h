// The block frame around the vocal chain's samples: what is set up once per block
// before them and what is formed once after them (the key tracker, the key
// hand-over and the meters). vocal_chain_process calls both; a chain written
// another way (a per-sample reference in the tests) calls them too, so the two
// differ only in how they run the samples.
#pragma once

#include <span>

#include "core/realtime.h"
#include "dsp/dsp_meters.h"
#include "dsp/tone_colour.h"

namespace melodara {

struct VocalDsp;

// The block's per-sample designs and constants into engine.block, the tone bands
// and notches, and the stems grown to mic.size() samples.
// Thread: engine. Allocates: only when a stem grows beyond kMaxBlockFrames.
// Blocks: no.
void chain_prepare_block(VocalDsp& engine, std::span<const float> mic,
                         const ToneSections& tone_sections) noexcept MELODARA_NONBLOCKING;

// What the block's samples leave for the meters, each summed in sample order.
struct ChainBlockSums {
  float v2 = 0.0f;      // the input after gain, trim and low-cut, squared
  float track2 = 0.0f;  // 0.5 (track left^2 + track right^2)
  float peak = 0.0f;    // largest |out| of either channel
  float m2 = 0.0f;      // the output's mid, squared
  float low2 = 0.0f;    // its 280 Hz band, squared
  float high2 = 0.0f;   // its 6,800 Hz band, squared
  float d2 = 0.0f;      // its second difference, squared
  float least_deesser = 1.0f;
  float least_compressor = 1.0f;
};

// After the block's n = music_left.size() samples: the key tracker on the track,
// the key hand-over, the quality followers and the block's meters.
// Thread: engine. Allocates: no. Blocks: no.
DspMeters chain_finish_block(VocalDsp& engine, std::span<const float> music_left,
                             const ChainBlockSums& sums) noexcept MELODARA_NONBLOCKING;

}  // namespace melodara
