// The parameter record with every switch on and the modes that add work: the
// worst case the chain's tests and benchmarks measure.
#pragma once

#include "dsp/dsp_params.h"

namespace melodara::test {

inline DspParams everything_on() {
  DspParams p;
  p.denoise_enabled = p.gate_enabled = p.pre_comp_enabled = p.lowcut_enabled = p.eq_enabled = true;
  p.comp_enabled = p.deesser_enabled = p.reverb_enabled = p.reverse_reverb_enabled = true;
  p.delay_enabled = p.delay_ping_pong = p.delay_auto_duck = true;
  p.delay_mix = 0.3f;
  p.doubler_mix = 0.4f;
  p.autotune_enabled = p.ngan_giong_vibrato = p.chong_be_harmony = true;
  p.pitch_432hz_mode = p.dan_ca_mode = p.ducker_enabled = p.imager_enabled = true;
  p.vocal_remover_karaoke = true;
  p.vocal_cancel_pct = 0.5f;
  p.beat_semitone_shift = 2;
  p.dj_fx_stop = p.dj_fx_vocal = true;
  p.dj_fx_mode =
      "Chipmunk Shimmer Chorus Melodic Megaphone Riser Slapback Ping-Pong Up-Down Accel Reverse Chop";
  p.tc_delay_level = 1.0f;
  p.tc_vang_ngan_level = 1.0f;
  p.beat_gate_enabled = true;
  p.tc_mannym_enabled = p.tc_rbass_enabled = p.tc_pultronic_enabled = true;
  p.tc_remix_flanger = p.tc_lofi_radio = true;
  p.tc_vitamin_enabled = p.air_compensator_enabled = true;
  p.mic_corr_eq_db = {1, -1, -1, -1, 0.5f, 1};
  p.mic_input_trim_db = 3.0f;
  return p;
}

}  // namespace melodara::test
