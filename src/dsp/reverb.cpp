#include "dsp/reverb.h"

#include <cmath>

#include "dsp/delay_line.h"
#include "dsp/dsp_math.h"

namespace melodara {
namespace {

inline float db_to_gain(float db) noexcept { return std::pow(10.0f, db / 20.0f); }

// The value written d samples ago on an input line (d within 2..16,380).
inline float tap(std::span<const float> line, std::size_t write, float d) noexcept {
  return read_behind(line, write, clamp_f(d, 2.0f, 16380.0f));
}

// One all-pass stage: store in + g z, output z - g in. store decides what a state
// word may hold: the main network flushes, the second bank keeps finite values.
template <float (*store)(float)>
inline float allpass(std::span<float> line, std::size_t& i, float g, float in) noexcept {
  const float z = line[i];
  line[i] = store(in + g * z);
  i = next_index(i, line.size());
  return z - g * in;
}

}  // namespace

float reverb_tap_factor(float predelay) noexcept { return clamp_f(predelay / 1152.0f, 0.75f, 1.35f); }

ReverbBlock reverb_prepare(const DspParams& p, const FxModes& modes, float tempo) noexcept {
  ReverbBlock b;
  const float pd = p.reverb_predelay_ms;
  float ms = pd > 60.0f ? 20.0f + 0.18f * (pd - 60.0f) : clamp_f(pd, 8.0f, 48.0f);
  if (p.reverb_bpm_sync) ms *= clamp_f(96.0f / tempo, 0.82f, 1.18f);
  b.predelay_target = clamp_f(ms * 0.001f * 48000.0f, 384.0f, 2400.0f);

  const float room_scale = p.reverb_bpm_sync ? clamp_f(84.0f / tempo, 0.88f, 1.08f) : 1.0f;
  b.comb_feedback =
      clamp_f(0.854f + 0.072f * clamp_f(p.reverb_room_size, 0.05f, 1.0f) * room_scale, 0.74f, 0.908f);
  b.damping = clamp_f(0.22f + 0.12f * clamp_f(p.reverb_damping, 0.0f, 1.0f), 0.2f, 0.34f);
  b.bank_feedback = clamp_f(0.38f * room_scale, 0.28f, 0.44f);
  b.mid_gain = db_to_gain(clamp_f(0.35f * p.reverb_mid_gain_db, -4.0f, 2.5f));
  b.high_gain = db_to_gain(clamp_f(0.35f * p.reverb_high_gain_db, -3.0f, 3.0f));
  b.phase_step = tempo / 60.0f / 48000.0f;

  // A mix beyond 0..1 would invert the reverb or blow it up: it is a share.
  const float mix = clamp_f(p.reverse_reverb_mix, 0.0f, 1.0f);
  if (modes.reverse) {
    b.envelope_mix = max_f(mix, 0.72f);
  } else if (p.reverse_reverb_enabled) {
    b.envelope_mix = mix;
  }
  b.envelope = b.envelope_mix > 0.0f;  // at 0 the envelope is exactly 1

  b.pk = p.pk_mode_ducking;
  b.echo_in = p.reverb_enabled;
  b.bank_on = p.tc_vang_ngan_level > 0.005f;
  b.bank_gain = (b.pk ? 0.05f : 0.22f) * min_f(p.tc_vang_ngan_level, 1.2f);
  b.trim_level = 0.16f * clamp_f(p.tc_vang_ngan_level, 0.0f, 1.0f);
  return b;
}

StereoSample reverb_process(ReverbState& s, const ReverbLines& lines, const ReverbBlock& b,
                            const Sends& sends, const EchoOut& echo, StereoSample voice) noexcept {
  const float v = sends.singer_level;

  // Active gain: falls quickly while the singer is audible, rises slowly.
  const float g_s = sends.target_gain;
  const float rate = (s.active_gain < 0.05f || (v >= 0.002f && s.active_gain > g_s)) ? 0.006f : 0.0003f;
  s.active_gain = flush_state(s.active_gain + rate * (g_s - s.active_gain));

  // Pre-delay: jumps while the singer is quiet or far off, else glides.
  const float gap = b.predelay_target - s.predelay;
  if (v < 0.015f || std::fabs(gap) > 32.0f) {
    s.predelay = b.predelay_target;
  } else {
    s.predelay += clamp_f(0.00002f * gap, -0.002f, 0.002f);
  }
  const float pre = s.predelay;
  const float f = reverb_tap_factor(pre);

  // Early reflections, all read before this sample's write.
  const std::span<const float> L = lines.input_l, R = lines.input_r;
  const std::size_t w = s.input_write;
  const float set_a = 0.34f * tap(L, w, pre + 163.0f * f) + 0.24f * tap(R, w, pre + 431.0f * f) +
                      0.16f * tap(L, w, pre + 859.0f * f) + 0.11f * tap(R, w, pre + 1483.0f * f);
  const float set_b = 0.34f * tap(R, w, pre + 229.0f * f) + 0.24f * tap(L, w, pre + 523.0f * f) +
                      0.16f * tap(R, w, pre + 977.0f * f) + 0.11f * tap(L, w, pre + 1627.0f * f);
  const float in_l = 0.55f * set_a + 0.45f * tap(L, w, pre);
  const float in_r = 0.55f * set_b + 0.45f * tap(R, w, pre + 43.0f);
  const float l547 = tap(L, w, 547.0f * f);
  const float e_a = 0.32f * l547 + 0.22f * tap(R, w, 1031.0f * f) + 0.15f * tap(L, w, 1663.0f * f) +
                    0.10f * tap(R, w, 2347.0f * f);
  const float e_b = 0.32f * tap(R, w, 631.0f * f) + 0.22f * tap(L, w, 1153.0f * f) +
                    0.15f * tap(R, w, 1811.0f * f) + 0.10f * tap(L, w, 2503.0f * f);
  const float cross_x = 0.56f * l547 + 0.34f * tap(R, w, 1483.0f * f) - 0.22f * tap(L, w, 2111.0f * f);
  const float cross_y =
      0.56f * tap(R, w, 859.0f * f) + 0.34f * tap(L, w, 1811.0f * f) - 0.22f * tap(R, w, 2503.0f * f);

  // Input write: the sends and, while the echo is fed, its mid and side.
  if (sends.off) {
    lines.input_l[w] = 0.0f;
    lines.input_r[w] = 0.0f;
  } else {
    const float k = b.echo_in && echo.active ? 0.12f * echo.level : 0.0f;
    const float es = echo.side, em = echo.mid;
    lines.input_l[w] = sends.pair.left + k * (0.65f * (es + em) + 0.35f * (em - es));
    lines.input_r[w] = sends.pair.right + k * (0.65f * (em - es) + 0.35f * (es + em));
  }
  s.input_write = (w + 1) & (kReverbInputSize - 1);

  // Input diffusers.
  const float d_l =
      allpass<flush_state>(lines.allpasses_l[3], s.allpass_l[3], 0.58f,
                           allpass<flush_state>(lines.allpasses_l[2], s.allpass_l[2], 0.58f, in_l));
  const float d_r =
      allpass<flush_state>(lines.allpasses_r[3], s.allpass_r[3], -0.55f,
                           allpass<flush_state>(lines.allpasses_r[2], s.allpass_r[2], -0.55f, in_r));

  // Tank: eight damped combs per channel, each pulled slightly toward the mean.
  const float g = b.comb_feedback, damp = b.damping, keep = 1.0f - b.damping;
  float sum_l = 0.0f, sum_r = 0.0f, mean_l = 0.0f, mean_r = 0.0f;
  for (std::size_t k = 0; k < 8; ++k) {
    const float xl = lines.combs_l[k][s.comb_l[k]];
    const float xr = lines.combs_r[k][s.comb_r[k]];
    sum_l += xl;
    sum_r += xr;
    s.damp_l[k] = flush_state(keep * xl + damp * s.damp_l[k]);
    s.damp_r[k] = flush_state(keep * xr + damp * s.damp_r[k]);
    mean_l += s.damp_l[k];
    mean_r += s.damp_r[k];
  }
  mean_l *= 0.125f;
  mean_r *= 0.125f;
  for (std::size_t k = 0; k < 8; ++k) {
    const float sigma = (k & 1u) == 0 ? 0.28f : -0.28f;
    const float ml = s.damp_l[k], mr = s.damp_r[k];
    lines.combs_l[k][s.comb_l[k]] =
        flush_state(g * (ml + 0.082f * (mean_l - ml)) + 0.165f * (d_l + sigma * d_r));
    lines.combs_r[k][s.comb_r[k]] =
        flush_state(g * (mr + 0.082f * (mean_r - mr)) + 0.165f * (d_r - sigma * d_l));
    s.comb_l[k] = next_index(s.comb_l[k], lines.combs_l[k].size());
    s.comb_r[k] = next_index(s.comb_r[k], lines.combs_r[k].size());
  }

  // Output all-passes, equaliser and mid/side.
  const float out_l =
      allpass<flush_state>(lines.allpasses_l[1], s.allpass_l[1], 0.57f,
                           allpass<flush_state>(lines.allpasses_l[0], s.allpass_l[0], 0.57f, sum_l));
  const float out_r =
      allpass<flush_state>(lines.allpasses_r[1], s.allpass_r[1], -0.55f,
                           allpass<flush_state>(lines.allpasses_r[0], s.allpass_r[0], 0.57f, sum_r));
  FilterBankA& bank = lines.bank;
  const float y_l = biquad_process(bank[17], out_l);
  const float y_r = biquad_process(bank[18], out_r);
  const float mid = biquad_process(bank[12], 0.5f * (y_l + y_r) * b.mid_gain);
  const float side = biquad_process(bank[10], 0.5f * (y_l - y_r) * b.mid_gain);

  // Reverse envelope: swells toward the end of every beat.
  s.reverse_phase += b.phase_step;
  if (s.reverse_phase >= 1.0f) s.reverse_phase -= 1.0f;
  const float m = b.envelope_mix;
  const float env = b.envelope ? 1.0f - m + 1.65f * m * std::pow(s.reverse_phase, 2.6f) : 1.0f;

  const bool sending = !sends.off;
  const bool shaping = sending && !b.pk;

  // Early-reflection cross term.
  float cross = 0.0f;
  if (shaping) {
    const float presence = sends.track_level > 0.005f ? 1.48f : 0.22f;
    const float c_er =
        sends.duck * clamp_f(min_f(sends.volume_ratio, 1.5f), 0.65f, 1.25f) * presence * sends.track_boost;
    cross = 0.5f * c_er * (cross_x - cross_y);
  }

  // Second bank.
  float bank_l = 0.0f, bank_r = 0.0f;
  if (sending && b.bank_on) {
    const float h = b.bank_feedback;
    float raw_l = 0.0f, raw_r = 0.0f;
    for (std::size_t k = 0; k < 4; ++k) {
      const float tau = (k & 1u) == 0 ? 0.22f : -0.22f;
      std::span<float> cl = lines.b_combs_l[k], cr = lines.b_combs_r[k];
      const float xl = cl[s.b_comb_l[k]];
      const float xr = cr[s.b_comb_r[k]];
      raw_l += xl;
      raw_r += xr;
      s.b_damp_l[k] = finite_or_zero(0.58f * xl + 0.42f * s.b_damp_l[k]);
      s.b_damp_r[k] = finite_or_zero(0.58f * xr + 0.42f * s.b_damp_r[k]);
      cl[s.b_comb_l[k]] = finite_or_zero(0.135f * (e_a + tau * e_b) + h * s.b_damp_l[k]);
      cr[s.b_comb_r[k]] = finite_or_zero(0.135f * (e_b - tau * e_a) + h * s.b_damp_r[k]);
      s.b_comb_l[k] = next_index(s.b_comb_l[k], cl.size());
      s.b_comb_r[k] = next_index(s.b_comb_r[k], cr.size());
    }
    const float o_l = allpass<finite_or_zero>(lines.b_allpass_l, s.b_allpass_l, 0.55f, raw_l);
    const float o_r = allpass<finite_or_zero>(lines.b_allpass_r, s.b_allpass_r, -0.52f, raw_r);
    const float mb = biquad_process(bank[13], 0.5f * (o_l + o_r));
    const float sb = biquad_process(bank[11], 0.5f * (o_l - o_r));
    const float q = b.bank_gain * min_f(sends.volume_ratio, 1.5f) * env * sends.duck * sends.track_boost;
    bank_l = q * (0.3f * mb + 1.15f * sb);
    bank_r = q * (0.3f * mb - 1.15f * sb);
  }

  // Dry trim, at most 0.0528.
  const float trim =
      shaping ? 0.24f * clamp_f(b.trim_level + clamp_f(0.08f * sends.vang_dai, 0.0f, 0.1f), 0.0f, 0.22f)
              : 0.0f;
  const float wet = 0.64f * s.active_gain * env;
  const float main_mid = 0.38f * mid, main_side = 1.44f * b.high_gain * side;
  return {(1.0f - trim) * voice.left + wet * (main_mid + main_side) + bank_l + cross,
          (1.0f - trim) * voice.right + wet * (main_mid - main_side) + bank_r - cross};
}

}  // namespace melodara
