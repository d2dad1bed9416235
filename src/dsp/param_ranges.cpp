#include "dsp/param_ranges.h"

#include <algorithm>

namespace melodara {

void repair_dsp_params(DspParams& p) {
  // The window of 110.1..112.1 ms lies above 90 ms: the range test covers it.
  if (!(p.reverb_predelay_ms >= 2.0f && p.reverb_predelay_ms <= 90.0f)) p.reverb_predelay_ms = 20.0f;
  if (p.reverb_high_gain_db < -1.5f || p.reverb_damping > 0.45f || p.reverb_low_gain_db > 0.0f) {
    p.reverb_low_gain_db = -2.0f;
    p.reverb_mid_gain_db = 0.0f;
    p.reverb_high_gain_db = 0.5f;
    p.reverb_damping = 0.28f;
  }
  if (p.delay_hp_hz < 140.0f || p.delay_lp_hz < 2000.0f) {
    p.delay_hp_hz = 240.0f;
    p.delay_lp_hz = 5200.0f;
  }
  if (p.tc_l2_thresh_db > -2.0f) {
    p.tc_l2_thresh_db = -4.2f;
    p.tc_cla3a_peak_red = 5.1f;
    p.tc_rvox_comp_db = -8.0f;
  }
  if (p.stereo_width_pct < 95.0f || p.stereo_width_pct > 115.0f) {
    p.imager_enabled = true;
    p.stereo_width_pct = 102.0f;
  }
}

void keep_dsp_params_in_range(DspParams& p) {
  repair_dsp_params(p);
  p.mic_input_trim_db = std::clamp(p.mic_input_trim_db, -12.0f, 12.0f);
  for (float& band : p.mic_corr_eq_db) band = std::clamp(band, -4.5f, 4.5f);
  // Both are applied as gains (10^(dB/20), a swing of 1.65 x mix): unbounded,
  // one large value turns the voice into infinities for the rest of the run.
  p.comp_makeup_db = std::clamp(p.comp_makeup_db, -24.0f, 24.0f);
  p.reverse_reverb_mix = std::clamp(p.reverse_reverb_mix, 0.0f, 1.0f);
  // The engine and the key tracker must agree on the key the voice is tuned to.
  p.root_key = std::min<std::uint64_t>(p.root_key, 11);
}

}  // namespace melodara
