// The block frame of the vocal chain: per-block set-up, the stage order over runs
// of the block, the output stage (sum, tape stop, limiter, soft clip), stems and
// meters. Each stage's run loop sits beside its one-sample form in its own file;
// this file wires the runs. Per run of up to kChainRun samples, in this order:
//
//   stages  1-4   step counter, input gain, low-cut, input analysis   here
//   stages  5-10  correction EQ, denoise and gate, pitch correction   here (per sample),
//                                                                     denoise_gate, pitch_correction
//   stage  24     backing track (runs first: it reads only the track) backing_run
//   stages 11-12  pre-compressor, de-esser                            dynamics: deesser_run
//   stages 13-14  voice EQ, colour, howl notches                      tone_colour: voice_eq_run
//   stages 15-16  bass boom, compressor, bass lift                    tone_colour, dynamics
//   stage  17     tube and air, second de-esser                       tone_colour, dynamics
//   stages 18-20  flanger, radio filter, "Megaphone"                  character_fx
//   stage  21     harmony voices: the mono voice becomes the pair     harmony_run
//   stages 22-23  beat gate and modulated delay in routing order      modulation_run
//   stages 25-26  sends and their filters, echo timing and path       sends_run, echo_run
//   stage  27     reverbs                                             reverb_process_block
//   stages 28-35  echo mix, level and punch, stems, output sum, tape  here
//                 stop, phone mono, limiter, soft clip, meter sums
//
// The compressor reads the backing's level as the previous sample left it, which
// the backing's run keeps per sample; nothing else crosses stages within a sample
// but what the run's arrays carry.
#include <algorithm>
#include <cmath>
#include <new>

#include "dsp/chain_frame.h"
#include "dsp/dsp_math.h"
#include "dsp/float_mode.h"
#include "dsp/key_names.h"
#include "dsp/lanes.h"
#include "dsp/pow_memo.h"
#include "dsp/vocal_dsp.h"

namespace melodara {
namespace {

// Half away from zero to one decimal.
inline float round_tenth(float v) { return std::round(10.0f * v) / 10.0f; }

inline float level_db(float rms) { return 20.0f * std::log10(max_f(rms, 0.00001f)); }

inline float soft_clip(float x, float t, float h) {
  const float a = std::fabs(x);
  if (!(a > t)) return x;  // NaN stays NaN
  const float e = a - t;
  return std::copysign(t + h * e / (h + e), x);
}

// The correction EQ's gain ranges (dB), band by band.
constexpr float kCorrLo[6] = {-2.2f, -3.0f, -3.5f, -2.5f, -2.5f, -1.5f};
constexpr float kCorrHi[6] = {1.5f, 1.0f, 0.0f, 0.0f, 0.6f, 2.0f};

// A block longer than the engine was built for grows the stems: the chain's only
// allocation, never reached by the engine's blocks (kMaxBlockFrames are reserved).
void grow_stems(VocalDsp& d, std::size_t n) {
  for (auto& stem : d.stems) {
    if (stem.size() < n) stem.resize(n, 0.0f);
  }
}

// Non-negative pitch class of root plus shift.
inline std::size_t shifted_pitch_class(std::uint64_t root, std::int32_t shift) {
  const std::int64_t r = static_cast<std::int64_t>(root % 12u);
  const std::int64_t s = static_cast<std::int64_t>(shift) % 12;
  return static_cast<std::size_t>(((r + s) % 12 + 12) % 12);
}

}  // namespace

void chain_prepare_block(VocalDsp& d, std::span<const float> mic,
                         const ToneSections& tone_sections) noexcept MELODARA_NONBLOCKING {
  const std::size_t n = mic.size();
  const DspParams& p = d.params;
  BlockSetup& b = d.block;

  // Voice-type factors and formant scale from the last detected pitch.
  const float hz = d.pitch_state.detected_hz;
  b.voice_high = hz > 195.0f ? clamp_f((hz - 195.0f) / 125.0f, 0.0f, 1.0f) : 0.0f;
  b.voice_low = (hz > 68.0f && hz < 155.0f) ? clamp_f((155.0f - hz) / 75.0f, 0.0f, 1.0f) : 0.0f;
  float offset = 0.0f;
  if (!(std::fabs(p.tc_formant_scale - 0.96f) > 0.04f)) {
    switch (p.tc_voice_profile) {
      case 1: offset = -0.04f; break;
      case 2: offset = -0.07f; break;
      case 3: offset = -0.11f; break;
      default: break;
    }
  }
  b.formant_scale = clamp_f(p.tc_formant_scale + offset, 0.82f, 1.08f);

  if (p.lowcut_enabled) {
    biquad_set_coefficients(
        low_cut_section(d),
        biquad_highpass(static_cast<double>(clamp_f(p.lowcut_freq_hz, 45.0f, 120.0f)), 0.707));
  }

  DspF32x6 gains{};
  if (p.mic_calibration_active) {
    for (std::size_t k = 0; k < 6; ++k) gains[k] = clamp_f(p.mic_corr_eq_db[k], kCorrLo[k], kCorrHi[k]);
  }
  const std::array<Biquad, 6> corr = design_corr_eq(gains);
  // A band at 0 dB with settled state passes its input unchanged for the whole
  // block: the default (uncalibrated) chain skips all six.
  b.corr_eq_mask = 0;
  for (std::size_t k = 0; k < 6; ++k) {
    biquad_set_coefficients(d.corr_eq[k], corr[k]);
    if (!biquad_is_identity(d.corr_eq[k])) b.corr_eq_mask |= static_cast<std::uint8_t>(1u << k);
  }

  b.mic_trim =
      p.mic_calibration_active ? std::pow(10.0f, clamp_f(p.mic_input_trim_db, -12.0f, 12.0f) / 20.0f) : 1.0f;
  b.input_gain = p.vocal_gain * b.mic_trim;

  // A sixteenth note; 40..200 BPM keeps it within 3,600..18,000 samples.
  const float step = 60.0f / clamp_f(p.bpm, 40.0f, 200.0f) * 0.25f * 48000.0f;
  b.step_length = static_cast<std::uint64_t>(max_f(step, 600.0f));

#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wfunction-effects"  // the one allowed allocation, above
#endif
  grow_stems(d, n);
#ifdef __clang__
#pragma clang diagnostic pop
#endif

  b.ceiling = std::pow(10.0f, clamp_f(p.master_limiter_ceiling_db, -6.0f, -0.3f) / 20.0f);
  b.clip_threshold = 0.9f * b.ceiling;
  b.release_knee = 0.92f * b.clip_threshold;
  b.clip_headroom = max_f(b.ceiling - b.clip_threshold, 0.0001f);
  b.l2_gain = std::pow(10.0f, 0.24f * max_f(-0.5f - clamp_f(p.tc_l2_thresh_db, -12.0f, 0.0f), 0.0f) / 20.0f);

  b.modes = fx_modes(p);
  b.gate = denoise_gate_prepare(p, b.input_gain);
  pitch_correction_prepare(d.pitch_state, b.modes);
  const ToneInputs tone_inputs{b.voice_high,
                               b.voice_low,
                               b.formant_scale,
                               d.pitch_state.voiced_run,
                               d.pitch_state.vibrato_phase,
                               d.denoise_gate.gate_gain,
                               d.denoise_gate.level,
                               b.input_gain,
                               d.modulation.timing.wobble_phase,
                               mic,
                               b.modes.up_down || b.modes.ramp || b.modes.riser};
  b.tone = tone_prepare(d.tone, tone_sections, p, tone_inputs);
  b.dynamics = dynamics_prepare(p, deesser_detector(d));
  b.harmony = harmony_prepare(d.harmony, p, b.modes);
  b.modulation = modulation_prepare(p, b.modes);
  b.echo = echo_prepare(p, b.modes);
  b.backing = backing_prepare(p, b.gate.gate_level, b.gate.input_gain);
  b.sends = sends_prepare(p, b.modes);
  b.reverb = reverb_prepare(p, b.modes, b.modulation.timing.tempo);
}

namespace {

// Stages 5 to 10 on the mono voice x, sample j of the run: correction EQ,
// denoise, gate and pitch correction; keeps the gate's values and the pitch for
// the later stages.
void input_stages(VocalDsp& d, float x, const InputAnalysis& analysis, ChainRun& run,
                  std::size_t j) noexcept {
  const BlockSetup& b = d.block;
  if (b.corr_eq_mask != 0) {
    for (std::size_t k = 0; k < 6; ++k) {
      if (b.corr_eq_mask & (1u << k)) x = biquad_process(d.corr_eq[k], x);
    }
  }
  // Results are built in place in the run: a copy of a returned record reloads it
  // in wider pieces than it was stored in, which stalls.
  const GateSample& gate =
      *::new (&run.gate[j]) GateSample(denoise_gate_sample(d.denoise_gate, b.gate, analysis, x));
  run.mono[j] = pitch_correction_sample(d.pitch_state, d.main_shifter, d.params, gate.voice);
  const PitchState& ps = d.pitch_state;
  run.pitch[j] = HarmonyInputs{ps.detected_hz, ps.corrected_hz, ps.reference_hz, gate.level};
  run.pitch_hz[j] = ps.detected_hz;
}

// The views each stage of the block runs on.
struct StageViews {
  Biquad& low_cut;
  Biquad& deesser_detector;
  ToneSections tone;
  RadioSections radio;
  PunchSections punch;
  SendFilters sends;
  ModDelayLines modulation;
  EchoLines echo;
  ReverbLines reverb;
  BackingLines backing;
};

// Stages 11 to 21 over the run's samples start .. start + len of the block, stage
// by stage on the mono voice, which the harmony voices turn into the pair.
// track_level is the backing's follower before the run. Returns the run's least
// de-esser and compressor gains.
ReductionGains voice_stages(VocalDsp& d, const StageViews& views, ChainRun& run, std::size_t start,
                            std::size_t len, float track_level) noexcept {
  const DspParams& p = d.params;
  const BlockSetup& b = d.block;
  const auto part = [len](auto& a) { return std::span(a).first(len); };
  const std::span<float> v = part(run.mono);
  const std::span<const GateSample> gate = part(run.gate);
  ReductionGains least;
  deesser_run(d.dynamics, b.dynamics, views.deesser_detector, v, gate, part(run.deesser_gain));
  voice_eq_run(d.tone, b.tone, views.tone.eq, v, gate, start);
  bass_boom_run(d.tone, b.tone, views.tone.bass, v, gate, part(run.bass));
  least.compressor = compressor_run(d.dynamics, b.dynamics, v, gate, track_level, part(run.track_level));
  bass_lift_run(d.tone, b.tone, part(run.bass), v, gate, part(run.pitch_hz));
  tube_air_run(d.tone, b.tone, views.tone.tube_air, v, part(run.air_band), part(run.air_level));
  least.deesser = second_deesser_run(b.dynamics, v, part(run.air_band), part(run.air_level), gate,
                                     part(run.deesser_gain));
  if (p.tc_remix_flanger) flanger_run(d.character_fx.flanger, d.short_line_b, v);
  // The lo-fi switch and "Megaphone" are one effect, applied once.
  if (p.tc_lofi_radio || b.modes.megaphone) radio_run(views.radio, v);
  harmony_run(d.harmony, d.harmony_shifters, b.harmony, part(run.pitch), v, part(run.voice));
  return least;
}

// A gain of the block as a positive reduction in dB (0 for no reduction).
inline float reduction_db(float gain) { return gain < 1.0f ? -20.0f * std::log10(gain) : 0.0f; }

// The sample counter as whole steps and the samples past the last one: a block
// divides once, then each sample counts on without a division.
struct StepClock {
  std::uint64_t steps, into_step, step_length;
  StepClock(std::uint64_t counter, std::uint64_t length)
      : steps(counter / length), into_step(counter % length), step_length(length) {}
  // The beat step (0..15) of the next sample.
  std::uint64_t advance() {
    if (++into_step == step_length) {
      into_step = 0;
      ++steps;
    }
    return steps % 16;
  }
};

// v where v > m, else m: a NaN in v keeps m, as the processor's max does.
inline float lane_max(float v, float m) { return v > m ? v : m; }
inline Lanes4 lane_max(Lanes4 v, Lanes4 m) {
#ifdef __SSE__
  return _mm_max_ps(v, m);
#else
  return select(v > m, v, m);
#endif
}

// The limiter's window peaks for the run's output pairs in run.pre_left and
// run.pre_right: for each sample the pair's peak p, its rising peak
// q = min(p + 1.5 max(p - p_prev, 0), 1.05 p), and the largest q of the last 24
// samples (a NaN q is skipped). Four samples at a time, each lane with the
// operations of one sample; a max is exact, so the scan order does not change it.
void limiter_peaks(ChainFrameState& f, ChainRun& run, std::size_t len) {
  constexpr std::size_t kBefore = kLimiterWindow - 1;
  // The q of the 23 samples before the run, oldest first; the ring's slot at
  // limiter_index is the one the run's first q replaces.
  for (std::size_t k = 0; k < kBefore; ++k) {
    run.rise_peak[k] = f.limiter_ring[(f.limiter_index + 1 + k) % kLimiterWindow];
  }
  run.pair_peak[0] = f.limiter_prev_peak;
  float* p = run.pair_peak.data() + 1;
  float* q = run.rise_peak.data() + kBefore;
  for_lanes(len, [&]<class V>(std::size_t j) {
    store(p + j, max_f(abs_f(load<V>(&run.pre_left[j])), abs_f(load<V>(&run.pre_right[j]))));
  });
  for_lanes(len, [&]<class V>(std::size_t j) {
    const V pj = load<V>(p + j);
    const V rise = max_f(pj - load<V>(p + j - 1), splat<V>(0.0f));
    store(q + j, min_f(pj + splat<V>(1.5f) * rise, splat<V>(1.05f) * pj));
  });
  for_lanes(len, [&]<class V>(std::size_t j) {
    V m = splat<V>(0.0f);
    for (std::size_t k = 0; k < kLimiterWindow; ++k) m = lane_max(load<V>(&run.rise_peak[j + k]), m);
    store(&run.window_peak[j], m);
  });

  for (std::size_t j = len > kLimiterWindow ? len - kLimiterWindow : 0; j < len; ++j) {
    f.limiter_ring[(f.limiter_index + j) % kLimiterWindow] = q[j];
  }
  f.limiter_index = (f.limiter_index + len) % kLimiterWindow;
  f.limiter_prev_peak = p[len - 1];
}

struct Limiter {
  float threshold, knee;
  PowMemo pull;  // the window's peak often holds for several samples
};

// The limiter's gain for a sample whose window peak is peak.
inline float limiter_gain(ChainFrameState& f, float peak, Limiter& lim) {
  const float g = peak > lim.threshold ? max_f(pow_memo(lim.pull, lim.threshold / peak, 0.55f), 0.3f) : 1.0f;
  if (f.limiter_slow > g) {
    f.limiter_slow = 0.9992f * f.limiter_slow + 0.0008f * g;
  } else {
    f.limiter_slow = 0.99992f * f.limiter_slow + 0.00008f * g;
  }
  if (f.limiter_gain > g) {
    f.limiter_gain = 0.9974f * f.limiter_gain + 0.0026f * g;
  } else {
    const float target = peak > lim.knee ? 0.25f * f.limiter_slow + 0.75f * g : g;
    f.limiter_gain = 0.999810636f * f.limiter_gain + 0.000189364f * target;
  }
  return f.limiter_gain;
}

}  // namespace

DspMeters vocal_chain_process(VocalDsp& d, std::span<const float> mic, std::span<const float> music_left,
                              std::span<const float> music_right, std::span<float> out_left,
                              std::span<float> out_right) MELODARA_NONBLOCKING {
  // The chain's bits are those of its float mode; the caller keeps its own.
  const ChainFloatMode float_mode;

  // Every buffer bounds n, so a short one is never overrun.
  const std::size_t n =
      std::min({mic.size(), music_left.size(), music_right.size(), out_left.size(), out_right.size()});
  const StageViews views{low_cut_section(d), deesser_detector(d), tone_sections(d),   radio_sections(d),
                         punch_sections(d),  send_filters(d),     mod_delay_lines(d), echo_lines(d),
                         reverb_lines(d),    backing_lines(d)};
  chain_prepare_block(d, mic.first(n), views.tone);

  const DspParams& p = d.params;
  const BlockSetup& b = d.block;
  ChainFrameState& f = d.frame;
  Limiter lim{b.clip_threshold, b.release_knee, {}};
  const bool late_stages = p.delay_enabled || p.reverb_enabled || p.dj_fx_vocal;
  const float tape_fall = 0.00002f + 0.00006f * clamp_f(p.autodj_tapestop_speed, 0.1f, 1.0f);

  float sum_v2 = 0.0f, sum_track2 = 0.0f, peak = 0.0f;
  float sum_m2 = 0.0f, sum_low2 = 0.0f, sum_high2 = 0.0f, sum_d2 = 0.0f;
  float least_deesser_gain = 1.0f, least_comp_gain = 1.0f;

  // Runs of at most kChainRun samples, each stage over the whole run in turn (the
  // map at the top of this file). What a stage reads of another's state within a
  // sample is kept per sample in the run.
  ChainRun& run = d.run;
  StepClock clock(f.sample_counter, b.step_length);
  for (std::size_t start = 0; start < n; start += kChainRun) {
    const std::size_t len = std::min(kChainRun, n - start);
    const auto part = [len](auto& a) { return std::span(a).first(len); };
    // The input stages; the backing reads only the track and the singer's level.
    const float track_level = d.backing.track_level;
    for (std::size_t j = 0; j < len; ++j) {
      const std::size_t i = start + j;
      f.sample_counter += 1;
      run.beat_step[j] = clock.advance();

      float x = mic[i] * p.vocal_gain * b.mic_trim;
      if (p.vocal_chain_active && p.lowcut_enabled) x = biquad_process(views.low_cut, x);
      sum_v2 += x * x;
      const InputAnalysis analysis =
          input_analysis_sample(d.denoise_gate, b.gate, x, d.pitch_state.detected_hz);
      if (p.vocal_chain_active) {
        input_stages(d, x, analysis, run, j);
      } else {
        run.mono[j] = x;
      }
      run.singer[j] = SingerInputs{analysis.level, analysis.raw_level, d.denoise_gate.gate_gain,
                                   d.denoise_gate.voice_activity, analysis.sibilance};
    }
    backing_run(d.backing, views.backing, b.backing,
                {music_left.subspan(start, len), music_right.subspan(start, len), part(run.singer),
                 part(run.backing), part(run.track_level)},
                run.backing_scratch);
    f.beat_step = run.beat_step[len - 1];

    if (p.vocal_chain_active) {
      const ReductionGains least = voice_stages(d, views, run, start, len, track_level);
      least_deesser_gain = min_f(least_deesser_gain, least.deesser);
      least_comp_gain = min_f(least_comp_gain, least.compressor);
    } else {
      for (std::size_t j = 0; j < len; ++j) run.voice[j] = {run.mono[j], run.mono[j]};
    }

    modulation_run(d.modulation, views.modulation, b.modulation, p.mod_routing_order, part(run.beat_step),
                   part(run.voice));
    if (late_stages) {
      sends_run(b.sends, views.sends, part(run.singer), part(run.voice), part(run.backing), part(run.sends),
                part(run.send_left), part(run.send_right));
      echo_run(d.character_fx.echo, d.modulation.timing, views.echo, b.echo, b.modulation.timing,
               part(run.sends), part(run.echo));
      reverb_process_block(d.reverb, views.reverb, b.reverb, part(run.sends), part(run.echo),
                           part(run.voice));
    }
    const std::span<const StereoSample> voices = part(run.voice);

    for (std::size_t j = 0; j < len; ++j) {
      const std::size_t i = start + j;
      const BackingOut& backing = run.backing[j];
      StereoSample voice = voices[j];
      StereoSample track = backing.track;
      if (late_stages) voice = echo_mix(b.echo, run.echo[j], run.sends[j], voice);
      LevelStagePairs pairs{
          voice,
          track,
          {(backing.mid + backing.side) * p.beat_volume, (backing.mid - backing.side) * p.beat_volume}};
      level_stage_sample(d.dynamics, b.dynamics, views.punch, pairs, backing.level);
      voice = pairs.voice;
      track = pairs.track;

      d.stems[0][i] = voice.left;
      d.stems[1][i] = voice.right;
      d.stems[2][i] = track.left;
      d.stems[3][i] = track.right;

      // Output sum with the level guard.
      const float a = run.track_level[j];
      const float vb = d.dynamics.voice_peak;
      float q = 1.0f;
      if (a > 0.008f && vb > 0.015f) {
        q = a + vb > 0.22f ? clamp_f(std::pow(0.22f / (a + vb), 0.14f), 0.89f, 1.0f) * 1.025f : 1.015f;
      }
      float l = (voice.left + track.left) * b.l2_gain * q;
      float r = (voice.right + track.right) * b.l2_gain * q;

      if (p.dj_fx_stop) {
        f.tape_speed = max_f(f.tape_speed - tape_fall, 0.15f);
        const float s = f.tape_speed;
        const float root = std::sqrt(s);
        l = pitch_shift_sample(d.aux_shifter_l, l, s, 0.0f) * root;
        r = pitch_shift_sample(d.aux_shifter_r, r, s, 0.0f) * root;
      } else {
        f.tape_speed = min_f(f.tape_speed + 0.001f, 1.0f);
      }

      if (p.send_to_phone_mono) {
        const float m = 0.5f * (l + r);
        l = m;
        r = m;
      }
      run.pre_left[j] = l;
      run.pre_right[j] = r;

      d.stems[4][i] = soft_clip(pairs.undocked.left * b.l2_gain, b.clip_threshold, b.clip_headroom);
      d.stems[5][i] = soft_clip(pairs.undocked.right * b.l2_gain, b.clip_threshold, b.clip_headroom);
      sum_track2 += 0.5f * (track.left * track.left + track.right * track.right);
    }

    // The limiter's window peaks depend only on its input, so they are found for
    // the whole run before its gain follows them sample by sample.
    limiter_peaks(f, run, len);
    for (std::size_t j = 0; j < len; ++j) {
      const std::size_t i = start + j;
      const float g = limiter_gain(f, run.window_peak[j], lim);
      const float l = soft_clip(run.pre_left[j] * g, b.clip_threshold, b.clip_headroom);
      const float r = soft_clip(run.pre_right[j] * g, b.clip_threshold, b.clip_headroom);
      out_left[i] = l;
      out_right[i] = r;

      // Meter accumulators.
      peak = max_f(peak, max_f(std::fabs(l), std::fabs(r)));
      const float m = 0.5f * (l + r);
      sum_m2 += m * m;
      const float low = biquad_process(d.band_l, m);
      const float high = biquad_process(d.band_r, m);
      sum_low2 += low * low;
      sum_high2 += high * high;
      const float d2 = m - 2.0f * f.meter_m1 + f.meter_m2;
      sum_d2 += d2 * d2;
      f.meter_m2 = f.meter_m1;
      f.meter_m1 = m;
    }
  }

  return chain_finish_block(
      d, music_left.first(n),
      {sum_v2, sum_track2, peak, sum_m2, sum_low2, sum_high2, sum_d2, least_deesser_gain, least_comp_gain});
}

DspMeters chain_finish_block(VocalDsp& d, std::span<const float> music_left,
                             const ChainBlockSums& sums) noexcept MELODARA_NONBLOCKING {
  const std::size_t n = music_left.size();
  ChainFrameState& f = d.frame;
  const float sum_v2 = sums.v2, sum_track2 = sums.track2, peak = sums.peak, sum_m2 = sums.m2,
              sum_low2 = sums.low2, sum_high2 = sums.high2, sum_d2 = sums.d2;
  const float least_deesser_gain = sums.least_deesser, least_comp_gain = sums.least_compressor;
  const float master_peak_db = 20.0f * std::log10(max_f(peak, 0.00001f));

  track_live_key(d.key_tracker, music_left);

  DspParams& pm = d.params;
  LiveKeyTracker& kt = d.key_tracker;
  if (pm.send_key_to_autotune && d.backing.track_level > 0.015f && kt.stable_count >= 5 &&
      (!kt.key_given || kt.state == 3)) {
    pm.root_key = kt.display_key;
    pm.scale_is_minor = kt.locked_minor;
    if (!kt.key_given && kt.onset_count >= 300) pm.bpm = clamp_f(kt.bpm, 60.0f, 148.0f);
  }
  const std::size_t key_index = shifted_pitch_class(pm.root_key, pm.beat_semitone_shift);
  DspKeyName key_name(kNoteNames[key_index]);
  if (pm.scale_is_minor) {
    char with_m[4] = {};
    const std::string_view base = key_name.view();
    std::copy(base.begin(), base.end(), with_m);
    with_m[base.size()] = 'm';
    key_name.assign(std::string_view(with_m, base.size() + 1));
  }
  kt.display_key = static_cast<std::size_t>(pm.root_key % 12u);
  kt.locked_minor = pm.scale_is_minor;
  kt.bpm = clamp_f(pm.bpm, 40.0f, 200.0f);

  const float nn = static_cast<float>(std::max<std::size_t>(n, 1));
  const float rms_m = std::sqrt(sum_m2 / nn);
  if (rms_m > 0.002f) {
    const float r280 = std::sqrt(sum_low2 / nn);
    const float r6800 = std::sqrt(sum_high2 / nn);
    const float rd = std::sqrt(sum_d2 / nn);
    f.crackle = 0.85f * f.crackle +
                0.15f * clamp_f(max_f(rd / (rms_m + 0.000001f) - 0.09f, 0.0f) * 18.0f, 0.1f, 100.0f);
    float warmth_raw = 38.0f * r280 / (1.8f * r6800 + r280 + 0.000001f) + 58.0f;
    if (pm.reverb_enabled) warmth_raw += 4.5f;
    const float purity_raw = 20.0f * std::log10(max_f(rms_m / (0.25f * rd + 0.000001f), 1.0f));
    f.warmth = 0.85f * f.warmth + 0.15f * clamp_f(warmth_raw, 40.0f, 99.5f);
    f.purity = 0.85f * f.purity + 0.15f * clamp_f(purity_raw, 18.0f, 68.0f);
  } else {
    f.crackle = 0.92f * f.crackle + 0.012f;
    f.warmth = 0.92f * f.warmth + 7.64f;
    f.purity = 0.92f * f.purity + 4.32f;
  }

  DspMeters m;
  m.vocal_rms_db = level_db(std::sqrt(sum_v2 / nn));
  m.beat_rms_db = level_db(std::sqrt(sum_track2 / nn));
  m.master_peak_db = master_peak_db;
  m.detected_vocal_hz = d.pitch_state.detected_hz;
  m.corrected_vocal_hz = d.pitch_state.corrected_hz;
  m.detected_key_name = key_name;
  m.detected_bpm = clamp_f(pm.bpm, 40.0f, 200.0f);
  m.reverb_active_gain = d.reverb.active_gain;
  m.deesser_reduction_db = reduction_db(least_deesser_gain);
  m.comp_reduction_db = reduction_db(least_comp_gain);
  m.active_beatgate_step = n == 0 ? 0 : f.beat_step;
  m.gate_open = d.denoise_gate.gate_gain > 0.25f;
  m.latency_ms = static_cast<float>(n) * 1000.0f / 48000.0f;
  m.crackle_index_pct = round_tenth(f.crackle);
  m.warmth_blend_pct = round_tenth(f.warmth);
  m.signal_purity_db = round_tenth(f.purity);
  return m;
}

}  // namespace melodara
