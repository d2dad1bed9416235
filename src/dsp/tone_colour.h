// Tone bands and colour stages of the vocal chain: voice EQ with howl notches (13),
// colour stage and EQ tail (14), bass enhancer (15), tube-style saturation with the
// air shelf and 12.2 kHz low-pass (17). The per-block design of the adaptive bands
// lives here too.
#pragma once

namespace melodara {

struct VocalDsp;

struct ToneState {
  float air_level = 0.0f;   // air level follower
  float bass_level = 0.0f;  // bass enhancer follower
  float bass_lift = 0.0f;   // lift computed at stage 15, added after stage 16
  friend bool operator==(const ToneState&, const ToneState&) = default;
};

// Per-block design of the adaptive bands. Thread: engine. Allocates: no. Blocks: no.
void tone_prepare(VocalDsp& dsp);
// Stage 13. Thread: engine. Allocates: no. Blocks: no.
float voice_eq_sample(VocalDsp& dsp, float x);
// Stage 14. Thread: engine. Allocates: no. Blocks: no.
float colour_sample(VocalDsp& dsp, float x);
// Stage 15, boom reduction before the compressor.
// Thread: engine. Allocates: no. Blocks: no.
float bass_boom_sample(VocalDsp& dsp, float x);
// Stage 15, bass lift added after the compressor.
// Thread: engine. Allocates: no. Blocks: no.
float bass_lift_sample(VocalDsp& dsp, float x);
// Stage 17, saturation, air shelf and low-pass.
// Thread: engine. Allocates: no. Blocks: no.
float tube_air_sample(VocalDsp& dsp, float x);

}  // namespace melodara
