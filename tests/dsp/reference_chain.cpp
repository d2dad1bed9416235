#include "reference_chain.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "dsp/chain_frame.h"
#include "dsp/delay_line.h"
#include "dsp/dsp_math.h"

namespace melodara::test {
namespace {

// ---- The reverb, one sample

// One all-pass stage: store in + g z, output z - g in.
template <float (*Store)(float)>
float allpass(std::span<float> line, std::size_t& index, float g, float in) {
  const float z = line[index];
  line[index] = Store(in + g * z);
  index = next_index(index, line.size());
  return z - g * in;
}

struct Tap {
  bool right;      // reads the right input line
  bool after_pre;  // the pre-delay is added
  float offset;    // samples
  bool scaled;     // the offset is times the tap factor
  float gain;      // in its sum (the cross term's taps are unweighted here)
};

// Set A, set B, the direct pair, E_A and E_B.
constexpr std::array<Tap, 18> kSumTaps{{
    {false, true, 163.0f, true, 0.34f},
    {true, true, 431.0f, true, 0.24f},
    {false, true, 859.0f, true, 0.16f},
    {true, true, 1483.0f, true, 0.11f},
    {true, true, 229.0f, true, 0.34f},
    {false, true, 523.0f, true, 0.24f},
    {true, true, 977.0f, true, 0.16f},
    {false, true, 1627.0f, true, 0.11f},
    {false, true, 0.0f, false, 0.45f},
    {true, true, 43.0f, false, 0.45f},
    {false, false, 547.0f, true, 0.32f},
    {true, false, 1031.0f, true, 0.22f},
    {false, false, 1663.0f, true, 0.15f},
    {true, false, 2347.0f, true, 0.10f},
    {true, false, 631.0f, true, 0.32f},
    {false, false, 1153.0f, true, 0.22f},
    {true, false, 1811.0f, true, 0.15f},
    {false, false, 2503.0f, true, 0.10f},
}};
// The cross term: X = 0.56 L(547 f) + 0.34 R(1483 f) - 0.22 L(2111 f), Y the mirror.
constexpr std::array<Tap, 6> kCrossTaps{{
    {false, false, 547.0f, true, 0.56f},
    {true, false, 1483.0f, true, 0.34f},
    {false, false, 2111.0f, true, 0.22f},
    {true, false, 859.0f, true, 0.56f},
    {false, false, 1811.0f, true, 0.34f},
    {true, false, 2503.0f, true, 0.22f},
}};

float read_tap(const ReverbLines& lines, std::size_t w, float pre, float f, const Tap& t) {
  const float offset = t.scaled ? t.offset * f : t.offset;
  const float delay = clamp_f(t.after_pre ? pre + offset : offset, 2.0f, 16380.0f);
  return read_behind(t.right ? lines.input_r : lines.input_l, w, delay);
}

}  // namespace

StereoSample reference_reverb_sample(ReverbState& s, const ReverbLines& lines, const ReverbBlock& b,
                                     const Sends& sends, const EchoOut& echo, StereoSample dry) {
  // Pre-delay: jumps while the singer is quiet or far off, else glides.
  const float gap = b.predelay_target - s.predelay;
  if (sends.singer_level < 0.015f || std::fabs(gap) > 32.0f) {
    s.predelay = b.predelay_target;
  } else {
    s.predelay += clamp_f(0.00002f * gap, -0.002f, 0.002f);
  }
  const float pre = s.predelay;
  const float f = clamp_f(pre / 1152.0f, 0.75f, 1.35f);

  // Early reflections, read before this sample's write.
  const std::size_t w = s.input_write;
  std::array<float, 18> tap;
  for (std::size_t k = 0; k < tap.size(); ++k)
    tap[k] = kSumTaps[k].gain * read_tap(lines, w, pre, f, kSumTaps[k]);
  const float set_a = tap[0] + tap[1] + tap[2] + tap[3];
  const float set_b = tap[4] + tap[5] + tap[6] + tap[7];
  const float in_l = 0.55f * set_a + tap[8];
  const float in_r = 0.55f * set_b + tap[9];
  const float e_a = tap[10] + tap[11] + tap[12] + tap[13];
  const float e_b = tap[14] + tap[15] + tap[16] + tap[17];
  std::array<float, 6> cross_tap;
  for (std::size_t k = 0; k < 6; ++k)
    cross_tap[k] = kCrossTaps[k].gain * read_tap(lines, w, pre, f, kCrossTaps[k]);
  const float cross_x = cross_tap[0] + cross_tap[1] - cross_tap[2];
  const float cross_y = cross_tap[3] + cross_tap[4] - cross_tap[5];

  // Input write.
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
  float d_l = allpass<flush_state>(lines.allpasses_l[2], s.allpass_l[2], 0.58f, in_l);
  d_l = allpass<flush_state>(lines.allpasses_l[3], s.allpass_l[3], 0.58f, d_l);
  float d_r = allpass<flush_state>(lines.allpasses_r[2], s.allpass_r[2], -0.55f, in_r);
  d_r = allpass<flush_state>(lines.allpasses_r[3], s.allpass_r[3], -0.55f, d_r);

  // Tank: eight damped combs a channel, each pulled toward the combs' mean.
  const float g = b.comb_feedback, delta = b.damping;
  float sum_l = 0.0f, sum_r = 0.0f, mean_l = 0.0f, mean_r = 0.0f;
  for (std::size_t k = 0; k < 8; ++k) {
    const float x_l = lines.combs_l[k][s.comb_l[k]];
    const float x_r = lines.combs_r[k][s.comb_r[k]];
    sum_l += x_l;
    sum_r += x_r;
    s.damp_l[k] = flush_state((1.0f - delta) * x_l + delta * s.damp_l[k]);
    s.damp_r[k] = flush_state((1.0f - delta) * x_r + delta * s.damp_r[k]);
    mean_l += s.damp_l[k];
    mean_r += s.damp_r[k];
  }
  mean_l *= 0.125f;
  mean_r *= 0.125f;
  for (std::size_t k = 0; k < 8; ++k) {
    const float sigma = k % 2 == 0 ? 0.28f : -0.28f;
    const float m_l = s.damp_l[k], m_r = s.damp_r[k];
    lines.combs_l[k][s.comb_l[k]] =
        flush_state(g * (m_l + 0.082f * (mean_l - m_l)) + 0.165f * (d_l + sigma * d_r));
    lines.combs_r[k][s.comb_r[k]] =
        flush_state(g * (m_r + 0.082f * (mean_r - m_r)) + 0.165f * (d_r - sigma * d_l));
    s.comb_l[k] = next_index(s.comb_l[k], lines.combs_l[k].size());
    s.comb_r[k] = next_index(s.comb_r[k], lines.combs_r[k].size());
  }

  // Output all-passes.
  float out_l = allpass<flush_state>(lines.allpasses_l[0], s.allpass_l[0], 0.57f, sum_l);
  out_l = allpass<flush_state>(lines.allpasses_l[1], s.allpass_l[1], 0.57f, out_l);
  float out_r = allpass<flush_state>(lines.allpasses_r[0], s.allpass_r[0], 0.57f, sum_r);
  out_r = allpass<flush_state>(lines.allpasses_r[1], s.allpass_r[1], -0.55f, out_r);

  // Active gain: falls quickly while the singer is audible, rises slowly.
  const float v = sends.singer_level, g_s = sends.target_gain;
  const float rate = (s.active_gain < 0.05f || (v >= 0.002f && s.active_gain > g_s)) ? 0.006f : 0.0003f;
  s.active_gain = flush_state(s.active_gain + rate * (g_s - s.active_gain));

  // Reverse envelope.
  s.reverse_phase += b.phase_step;
  if (s.reverse_phase >= 1.0f) s.reverse_phase -= 1.0f;
  const float mix = b.envelope_mix;
  const float env = b.envelope ? 1.0f - mix + 1.65f * mix * std::pow(s.reverse_phase, 2.6f) : 1.0f;

  // Output equaliser and mid/side.
  const ReverbEqSections& eq = lines.eq;
  const float y_l = biquad_process(eq.output_left, out_l);
  const float y_r = biquad_process(eq.output_right, out_r);
  const float mid = biquad_process(eq.main_mid, 0.5f * (y_l + y_r) * b.mid_gain);
  const float side = biquad_process(eq.main_side, 0.5f * (y_l - y_r) * b.mid_gain);

  // Second bank, only while it sends.
  float bank_l = 0.0f, bank_r = 0.0f;
  if (!sends.off && b.bank_on) {
    const float h = b.bank_feedback;
    float raw_l = 0.0f, raw_r = 0.0f;
    for (std::size_t k = 0; k < 4; ++k) {
      const float tau = k % 2 == 0 ? 1.0f : -1.0f;
      const float x_l = lines.b_combs_l[k][s.b_comb_l[k]];
      const float x_r = lines.b_combs_r[k][s.b_comb_r[k]];
      raw_l += x_l;
      raw_r += x_r;
      s.b_damp_l[k] = finite_or_zero(0.58f * x_l + 0.42f * s.b_damp_l[k]);
      s.b_damp_r[k] = finite_or_zero(0.58f * x_r + 0.42f * s.b_damp_r[k]);
      lines.b_combs_l[k][s.b_comb_l[k]] =
          finite_or_zero(0.135f * (e_a + tau * 0.22f * e_b) + h * s.b_damp_l[k]);
      lines.b_combs_r[k][s.b_comb_r[k]] =
          finite_or_zero(0.135f * (e_b - tau * 0.22f * e_a) + h * s.b_damp_r[k]);
      s.b_comb_l[k] = next_index(s.b_comb_l[k], lines.b_combs_l[k].size());
      s.b_comb_r[k] = next_index(s.b_comb_r[k], lines.b_combs_r[k].size());
    }
    const float o_l = allpass<finite_or_zero>(lines.b_allpass_l, s.b_allpass_l, 0.55f, raw_l);
    const float o_r = allpass<finite_or_zero>(lines.b_allpass_r, s.b_allpass_r, -0.52f, raw_r);
    const float mb = biquad_process(eq.bank_mid, 0.5f * (o_l + o_r));
    const float sb = biquad_process(eq.bank_side, 0.5f * (o_l - o_r));
    const float q = b.bank_gain * min_f(sends.volume_ratio, 1.5f) * env * sends.duck * sends.track_boost;
    bank_l = q * (0.3f * mb + 1.15f * sb);
    bank_r = q * (0.3f * mb - 1.15f * sb);
  }

  // Cross term, dry trim and the sum.
  const bool shaping = !sends.off && !b.pk;
  float cross = 0.0f, trim = 0.0f;
  if (shaping) {
    const float presence = sends.track_level > 0.005f ? 1.48f : 0.22f;
    const float c_er =
        sends.duck * clamp_f(min_f(sends.volume_ratio, 1.5f), 0.65f, 1.25f) * presence * sends.track_boost;
    cross = 0.5f * c_er * (cross_x - cross_y);
    trim = 0.24f * clamp_f(b.trim_level + clamp_f(0.08f * sends.vang_dai, 0.0f, 0.1f), 0.0f, 0.22f);
  }
  const float wet = 0.64f * s.active_gain * env;
  const float main_mid = 0.38f * mid, main_side = 1.44f * b.high_gain * side;
  return {(1.0f - trim) * dry.left + wet * (main_mid + main_side) + bank_l + cross,
          (1.0f - trim) * dry.right + wet * (main_mid - main_side) + bank_r - cross};
}

namespace {

float soft_clip(float x, float t, float h) {
  const float a = std::fabs(x);
  if (!(a > t)) return x;
  const float e = a - t;
  return std::copysign(t + h * e / (h + e), x);
}

// The send filters, left sections 0, 15, 2, 4, 6 and right 1, 16, 3, 5, 7.
float send_filters(FilterBankA& bank, std::size_t side, float x) {
  for (const std::size_t k : {0u, 15u, 2u, 4u, 6u}) x = biquad_process(bank[k + side], x);
  return x;
}

}  // namespace

DspMeters reference_chain_process(VocalDsp& d, std::span<const float> mic, std::span<const float> music_left,
                                  std::span<const float> music_right, std::span<float> out_left,
                                  std::span<float> out_right) {
  const std::size_t n =
      std::min({mic.size(), music_left.size(), music_right.size(), out_left.size(), out_right.size()});
  const ToneSections tone_sections = melodara::tone_sections(d);
  chain_prepare_block(d, mic.first(n), tone_sections);

  const DspParams& p = d.params;
  const BlockSetup& b = d.block;
  ChainFrameState& f = d.frame;
  const bool late_stages = p.delay_enabled || p.reverb_enabled || p.dj_fx_vocal;
  const ModDelayLines mod_lines = mod_delay_lines(d);
  const EchoLines echo_view = echo_lines(d);
  const ReverbLines reverb_view = reverb_lines(d);
  const BackingLines backing_view = backing_lines(d);
  ChainBlockSums sums;

  for (std::size_t i = 0; i < n; ++i) {
    // Step counter and input.
    f.sample_counter += 1;
    f.beat_step = (f.sample_counter / b.step_length) % 16;
    float x = mic[i] * p.vocal_gain * b.mic_trim;
    if (p.vocal_chain_active && p.lowcut_enabled) x = biquad_process(d.filter_bank_b[0], x);
    sums.v2 += x * x;
    const InputAnalysis analysis =
        input_analysis_sample(d.denoise_gate, b.gate, x, d.pitch_state.detected_hz);

    // The voice path, mono up to the harmony voices, which make it a pair.
    StereoSample voice{x, x};
    if (p.vocal_chain_active) {
      float y = x;
      for (std::size_t k = 0; k < 6; ++k) {
        if (b.corr_eq_mask & (1u << k)) y = biquad_process(d.corr_eq[k], y);
      }
      const GateSample gate = denoise_gate_sample(d.denoise_gate, b.gate, analysis, y);
      float v = pitch_correction_sample(d.pitch_state, d.main_shifter, p, gate.voice);
      const PitchState& ps = d.pitch_state;
      const HarmonyInputs pitch{ps.detected_hz, ps.corrected_hz, ps.reference_hz, gate.level};

      ReductionGains gains;
      v = pre_comp_sample(b.dynamics, v, gate.level);
      v = deesser_sample(d.dynamics, b.dynamics, deesser_detector(d), v, gate.level, gains);
      v = voice_eq_sample(d.tone, b.tone, tone_sections.eq, v, gate.level, i);
      const BassSplit bass = bass_boom_sample(d.tone, b.tone, tone_sections.bass, v, gate.level);
      // The backing has not run this sample yet: its level is the previous sample's.
      v = compressor_sample(d.dynamics, b.dynamics, bass.voice, gate, d.backing.track_level, gains);
      v = bass_lift_sample(d.tone, b.tone, bass, v, gate.confidence, pitch.detected_hz);
      const TubeOut tube = tube_air_sample(d.tone, b.tone, tone_sections.tube_air, v);
      v = second_deesser_sample(b.dynamics, tube.voice, tube.air_band, d.tone.air_level, gate.level, gains);
      sums.least_deesser = min_f(sums.least_deesser, gains.deesser);
      sums.least_compressor = min_f(sums.least_compressor, gains.compressor);
      if (p.tc_remix_flanger) v = flanger_process(d.character_fx.flanger, d.short_line_b, v);
      if (p.tc_lofi_radio || b.modes.megaphone) v = radio_process(radio_sections(d), v);
      voice = harmony_sample(d.harmony, d.harmony_shifters, b.harmony, pitch, v);
    }
    const SingerInputs singer{analysis.level, analysis.raw_level, d.denoise_gate.gate_gain,
                              d.denoise_gate.voice_activity, analysis.sibilance};

    // Beat gate and modulated delay in their routing order.
    if (p.mod_routing_order == 0) {
      voice = beat_gate_process(d.modulation.beat_gate, b.modulation.beat_gate, f.beat_step, voice);
      voice = mod_delay_process(d.modulation.mod_delay, mod_lines, b.modulation.mod_delay, voice);
    } else if (p.mod_routing_order == 1) {
      voice = mod_delay_process(d.modulation.mod_delay, mod_lines, b.modulation.mod_delay, voice);
      voice = beat_gate_process(d.modulation.beat_gate, b.modulation.beat_gate, f.beat_step, voice);
    }

    const BackingOut backing =
        backing_sample(d.backing, backing_view, b.backing, {music_left[i], music_right[i]}, singer.level);

    // Sends, echo, reverb and echo mix.
    if (late_stages) {
      Sends sends = sends_sample(b.sends, singer, voice, backing.track, backing.level);
      sends.pair = {send_filters(d.filter_bank_a, 0, sends.pair.left),
                    send_filters(d.filter_bank_a, 1, sends.pair.right)};
      const EchoTime time = tempo_timing_sample(d.modulation.timing, b.modulation.timing, sends.singer_level);
      const EchoOut echo = echo_process(d.character_fx.echo, echo_view, b.echo, time, sends);
      voice = reference_reverb_sample(d.reverb, reverb_view, b.reverb, sends, echo, voice);
      voice = echo_mix(b.echo, echo, sends, voice);
    }

    // Level and punch, stems.
    LevelStagePairs pairs{
        voice,
        backing.track,
        {(backing.mid + backing.side) * p.beat_volume, (backing.mid - backing.side) * p.beat_volume}};
    level_stage_sample(d.dynamics, b.dynamics, punch_sections(d), pairs, backing.level);
    const StereoSample track = pairs.track;
    d.stems[0][i] = pairs.voice.left;
    d.stems[1][i] = pairs.voice.right;
    d.stems[2][i] = track.left;
    d.stems[3][i] = track.right;
    sums.track2 += 0.5f * (track.left * track.left + track.right * track.right);

    // Output sum with the level guard.
    const float a = d.backing.track_level, vb = d.dynamics.voice_peak;
    float q = 1.0f;
    if (a > 0.008f && vb > 0.015f) {
      q = a + vb > 0.22f ? clamp_f(std::pow(0.22f / (a + vb), 0.14f), 0.89f, 1.0f) * 1.025f : 1.015f;
    }
    float l = (pairs.voice.left + track.left) * b.l2_gain * q;
    float r = (pairs.voice.right + track.right) * b.l2_gain * q;

    // Tape stop and the phone's mono.
    if (p.dj_fx_stop) {
      const float fall = 0.00002f + 0.00006f * clamp_f(p.autodj_tapestop_speed, 0.1f, 1.0f);
      f.tape_speed = max_f(f.tape_speed - fall, 0.15f);
      const float s = f.tape_speed, root = std::sqrt(s);
      l = pitch_shift_sample(d.aux_shifter_l, l, s, 0.0f) * root;
      r = pitch_shift_sample(d.aux_shifter_r, r, s, 0.0f) * root;
    } else {
      f.tape_speed = min_f(f.tape_speed + 0.001f, 1.0f);
    }
    if (p.send_to_phone_mono) l = r = 0.5f * (l + r);

    // Limiter: the predicted peak into the 24-slot ring, the ring's largest.
    const float pair_peak = max_f(std::fabs(l), std::fabs(r));
    const float rise =
        min_f(pair_peak + 1.5f * max_f(pair_peak - f.limiter_prev_peak, 0.0f), 1.05f * pair_peak);
    f.limiter_prev_peak = pair_peak;
    f.limiter_ring[f.limiter_index] = rise;
    f.limiter_index = (f.limiter_index + 1) % kLimiterWindow;
    float window = 0.0f;
    for (const float slot : f.limiter_ring) window = slot > window ? slot : window;
    const float t = b.clip_threshold;
    const float target = window > t ? max_f(std::pow(t / window, 0.55f), 0.3f) : 1.0f;
    f.limiter_slow = f.limiter_slow > target ? 0.9992f * f.limiter_slow + 0.0008f * target
                                             : 0.99992f * f.limiter_slow + 0.00008f * target;
    if (f.limiter_gain > target) {
      f.limiter_gain = 0.9974f * f.limiter_gain + 0.0026f * target;
    } else {
      const float pull = window > b.release_knee ? 0.25f * f.limiter_slow + 0.75f * target : target;
      f.limiter_gain = 0.999810636f * f.limiter_gain + 0.000189364f * pull;
    }
    l = soft_clip(l * f.limiter_gain, t, b.clip_headroom);
    r = soft_clip(r * f.limiter_gain, t, b.clip_headroom);
    out_left[i] = l;
    out_right[i] = r;
    d.stems[4][i] = soft_clip(pairs.undocked.left * b.l2_gain, t, b.clip_headroom);
    d.stems[5][i] = soft_clip(pairs.undocked.right * b.l2_gain, t, b.clip_headroom);

    // Meter sums on the output's mid.
    sums.peak = max_f(sums.peak, max_f(std::fabs(l), std::fabs(r)));
    const float m = 0.5f * (l + r);
    sums.m2 += m * m;
    const float low = biquad_process(d.band_l, m);
    const float high = biquad_process(d.band_r, m);
    sums.low2 += low * low;
    sums.high2 += high * high;
    const float d2 = m - 2.0f * f.meter_m1 + f.meter_m2;
    sums.d2 += d2 * d2;
    f.meter_m2 = f.meter_m1;
    f.meter_m1 = m;
  }
  return chain_finish_block(d, music_left.first(n), sums);
}

}  // namespace melodara::test
