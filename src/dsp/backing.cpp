#include "dsp/backing.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <new>

#include "dsp/biquad_lanes.h"
#include "dsp/dsp_math.h"
#include "dsp/lanes.h"

namespace melodara {
namespace {

constexpr FollowerRates kBassRates{0.9975f, 0.0025f, 0.99985f, 0.00015f};
constexpr FollowerRates kTrackRates{0.9988f, 0.0012f, 0.99988f, 0.00012f};

inline float db_gain(float db) noexcept { return std::pow(10.0f, db / 20.0f); }

// The value written `ago` samples before the slot at `write` (ago 1..size).
inline float written_ago(std::span<const float> line, std::size_t write, std::size_t ago) noexcept {
  return line[(write + kSynthLineSize - ago) & (kSynthLineSize - 1)];
}

// The slow leveller: down to 0.38 over a loud track, up to 1.95 over a quiet one,
// neutral from 0.115 to 0.132.
inline float leveller_gain(float tl) noexcept {
  if (tl > 0.132f) return min_f(max_f(std::pow(0.132f / tl, 0.65f), 0.38f), 1.0f);
  if (tl > 0.004f && tl < 0.115f) {
    const float z = clamp_f((tl - 0.004f) / 0.01f, 0.0f, 1.0f);
    // Up to tl = 0.03 the power is above 2.1, so the lift is at its cap.
    const float lift =
        tl <= 0.03f ? 1.95f : min_f(max_f(std::pow(0.118f / max_f(tl, 0.018f), 0.55f), 1.0f), 1.95f);
    return 1.0f + (lift - 1.0f) * z * z * (3.0f - 2.0f * z);
  }
  return 1.0f;
}

}  // namespace

ShiftBandGains track_shift_band_gains(float s) noexcept MELODARA_NONBLOCKING {
  if (!(std::fabs(s) > 0.01f)) return {};
  const float xs = 0.4f * max_f(std::fabs(s) - 0.5f, 0.0f);
  if (s > 0.0f) return {db_gain(2.0f + 0.5f * xs), db_gain(0.2f * xs)};
  return {db_gain(-1.5f - 0.4f * xs), db_gain(0.8f + 0.3f * xs)};
}

float track_shift_semitones(const DspParams& p) noexcept MELODARA_NONBLOCKING {
  // Beyond the shifters' range the ratio is held at its bound, and the band gains
  // must not go on growing; a fine shift that is not a number is no shift.
  const float fine = std::isfinite(p.beat_fine_cents) ? p.beat_fine_cents : 0.0f;
  const float s = static_cast<float>(p.beat_semitone_shift) + fine / 100.0f;
  return clamp_f(s, kTrackShiftMin, kTrackShiftMax);
}

BackingBlock backing_prepare(const DspParams& p, float gate_level,
                             float input_gain) noexcept MELODARA_NONBLOCKING {
  BackingBlock b;
  if (p.vocal_remover_karaoke) {
    b.remover = p.vocal_cancel_pct <= 0.05f ? 0.96f : clamp_f(p.vocal_cancel_pct, 0.15f, 1.0f);
  }
  b.keep_mid = 1.0f - b.remover;
  const float width = p.imager_enabled ? clamp_f(p.stereo_width_pct / 100.0f, 0.65f, 1.08f) : 0.98f;
  b.side_gain = (0.96f + 0.14f * b.remover) * width;
  b.synth_gain = p.send_to_phone_mono ? 0.0f : max_f(width, 0.75f) * 0.24f;

  const float s = track_shift_semitones(p);
  b.ratio = std::exp2(s / 12.0f);
  b.mix = clamp_f(p.autopitch_mix, 0.0f, 1.0f);
  b.dry = 1.0f - b.mix;
  b.shift = std::fabs(b.ratio - 1.0f) > 0.0005f && b.mix > 0.01f;
  const ShiftBandGains g = track_shift_band_gains(s);
  b.low_gain = g.low;
  b.high_gain = g.high;

  b.gate_level = gate_level * input_gain;
  b.duck_level = 1.5f * b.gate_level;
  b.presence_span = max_f(2.0f * b.gate_level, 0.0001f);
  b.pk = p.pk_mode_ducking;
  b.ducker = p.ducker_enabled;
  b.duck_gain = b.pk ? 0.28f : db_gain(-min_f(0.35f * max_f(p.duck_amount_db, 0.0f), 1.2f));
  b.volume = p.beat_volume;
  b.ducked_volume = b.volume * b.duck_gain;
  return b;
}

namespace {

// Sections copied out for one loop over a run and stored back after it: held in
// registers, their state is not reloaded after each store to the run's arrays,
// which the sections might alias.
template <std::size_t N>
struct SectionCopies {
  explicit SectionCopies(const std::array<Biquad*, N>& which) noexcept : homes(which) {
    for (std::size_t k = 0; k < N; ++k) f[k] = *homes[k];
  }
  ~SectionCopies() {
    for (std::size_t k = 0; k < N; ++k) *homes[k] = f[k];
  }
  SectionCopies(const SectionCopies&) = delete;
  SectionCopies& operator=(const SectionCopies&) = delete;
  std::array<Biquad*, N> homes;
  std::array<Biquad, N> f;
};

// The pieces of stage 24 in their order: backing_sample runs them on one frame,
// backing_run runs each over the whole run.

// The vocal presence after the sample: how far the singer is above the gate
// level, slowly.
inline float presence_step(const BackingBlock& b, float presence, float e) noexcept {
  const float xp = e > b.gate_level ? clamp_f((e - b.gate_level) / b.presence_span, 0.0f, 0.64f) : 0.0f;
  return flush_state(presence + (xp - presence) * (xp > presence ? 0.00045f : 0.00007f));
}

// Remover on the mid, width and the synthesised side on the side: the pair l1, r1.
// vp is the presence as the previous sample left it.
inline StereoSample front_sample(BackingState& s, Biquad& mid_lowpass, Biquad& side_highpass,
                                 Biquad& synth_highpass, std::span<float> line, const BackingBlock& b,
                                 StereoSample music, float vp) noexcept {
  const float mid = 0.5f * (music.left + music.right);
  const float side = 0.5f * (music.left - music.right);
  const float mr = b.remover * biquad_process(mid_lowpass, mid) + b.keep_mid * mid;
  const float sh = biquad_process(side_highpass, side);
  const float so = (1.0f + 0.12f * vp) * b.side_gain * sh;

  // The synthesised side, from delayed differences of the high-passed mid.
  const float mh = biquad_process(synth_highpass, mr);
  const std::size_t w = s.synth_write;
  const float d1 = written_ago(line, w, 1);
  float p = 0.0f;
  if (b.synth_gain != 0.0f) {
    const float spread = 0.54f * (written_ago(line, w, 263) - written_ago(line, w, 547)) +
                         0.36f * (written_ago(line, w, 787) - written_ago(line, w, 997));
    // A track with a strong side of its own gets less synthesised width.
    const float own = min_f(std::fabs(sh) / (std::fabs(mh) + 0.002f), 1.0f);
    p = b.synth_gain * spread * (1.0f + 0.18f * vp) * (1.0f - 0.65f * own);
  }
  line[w] = mh;
  s.synth_write = (w + 1) & (kSynthLineSize - 1);
  s.edge = flush_state(0.55f * s.edge + 0.45f * (mh - d1));
  const float mo = mr + 0.14f * s.edge;
  return {mo + so + p, mo - so - p};
}

// The key shift's band split of the pair l1, r1: the high band of each side and
// the low band of their mid, as the lanes of the split's sections take them.
inline Lanes4 split_input(float l1, float r1) noexcept { return Lanes4{l1, r1, 0.5f * (l1 + r1), 0.0f}; }

// The pair and the low band on their way through the key shift and the bass manager.
struct ShiftedPair {
  float left, right, low;
};

// The key shift's mix of the pair l1, r1 and the low band lo with the shifters'
// outputs lo_s, lh_s and rh_s (of lo and the high bands).
inline ShiftedPair shift_mix(const BackingBlock& b, float l1, float r1, float lo, float lo_s, float lh_s,
                             float rh_s) noexcept {
  const float k = b.mix, dry = b.dry;
  const float low = b.low_gain * lo_s;
  return {dry * l1 + k * (b.high_gain * lh_s + low), dry * r1 + k * (b.high_gain * rh_s + low),
          dry * lo + k * low};
}

// Bass manager: a boomy track loses some of its low band, a thin one gains some.
// Then the leveller's follower of the pair; returns it.
inline float bass_and_level(BackingState& s, ShiftedPair& x) noexcept {
  s.bass_level = flush_state(follow(s.bass_level, std::fabs(x.low), kBassRates));
  const float lb = s.bass_level;
  float beta = 0.0f;
  if (lb > 0.12f) {
    beta = -min_f(max_f((lb - 0.12f) / 0.24f, 0.0f), 0.42f);
  } else if (lb > 0.005f && lb < 0.055f) {
    beta = 0.12f * clamp_f((0.055f - lb) / 0.055f, 0.0f, 1.0f);
  }
  x.left += beta * x.low;
  x.right += beta * x.low;
  s.track_level =
      flush_state(follow(s.track_level, 0.5f * (std::fabs(x.left) + std::fabs(x.right)), kTrackRates));
  return s.track_level;
}

// The leveller's gain on the pair l2, r2, the vocal pocket, beat_volume and
// ducking; vp is the presence after the sample, tl the leveller's follower.
inline void pocket_out(Biquad& pocket_low, Biquad& pocket_high, const BackingBlock& b, float l2, float r2,
                       float level_gain, float vp, float tl, float e, BackingOut& out) noexcept {
  l2 *= level_gain;
  r2 *= level_gain;
  // The mid dips at 230 Hz and 1,650 Hz while the singer is there.
  const float m3 = 0.5f * (l2 + r2);
  const float s3 = 0.5f * (l2 - r2);
  const float pocket = biquad_process(pocket_high, biquad_process(pocket_low, m3));
  const float mp = vp * pocket + (1.0f - vp) * m3;

  const bool ducked = (b.pk && e > b.gate_level) || (b.ducker && e > b.duck_level);
  const float g = ducked ? b.ducked_volume : b.volume;  // volume x 1 is the volume itself
  out.track = {(mp + s3) * g, (mp - s3) * g};
  out.level = tl * level_gain * g;
  out.mid = mp;
  out.side = s3;
}

}  // namespace

BackingOut backing_sample(BackingState& s, const BackingLines& lines, const BackingBlock& b,
                          StereoSample music, float e) noexcept MELODARA_NONBLOCKING {
  const BackingSections& sec = lines.sections;
  const StereoSample y = front_sample(s, sec.mid_lowpass, sec.side_highpass, sec.synth_highpass, lines.synth,
                                      b, music, s.presence);

  // Band split and key shift.
  const Lanes4 in = split_input(y.left, y.right);
  const float lh = biquad_process(sec.high_band_left, in[0]);
  const float rh = biquad_process(sec.high_band_right, in[1]);
  const float lo = biquad_process(sec.low_band, in[2]);
  ShiftedPair x{y.left, y.right, lo};
  if (b.shift) {
    const float lo_s = pitch_shift_sample(lines.low, lo, b.ratio, 0.0f);
    const float lh_s = pitch_shift_sample(lines.left, lh, b.ratio, 0.0f);
    const float rh_s = pitch_shift_sample(lines.right, rh, b.ratio, 0.0f);
    x = shift_mix(b, y.left, y.right, lo, lo_s, lh_s, rh_s);
  } else {
    // Kept current, not heard: switching the shift on starts from a filled ring.
    pitch_shift_feed(lines.left, y.left, 1.0f, 0.0f);
    pitch_shift_feed(lines.right, y.right, 1.0f, 0.0f);
  }

  const float tl = bass_and_level(s, x);
  s.presence = presence_step(b, s.presence, e);
  BackingOut out;
  pocket_out(sec.pocket_low, sec.pocket_high, b, x.left, x.right, leveller_gain(tl), s.presence, tl, e, out);
  return out;
}

void backing_run(BackingState& state, const BackingLines& lines, const BackingBlock& block,
                 const BackingRunIo& io, BackingScratch& scratch) noexcept MELODARA_NONBLOCKING {
  const std::size_t len = std::min(
      {io.left.size(), io.right.size(), io.singer.size(), io.out.size(), io.track_level.size(), kBackingRun});
  // Local copies of the state and the block stay in registers, as the sections'.
  BackingState s = state;
  const BackingBlock b = block;
  float* const left = scratch.left.data();  // the pair l1, r1, then l2, r2 before the leveller
  float* const right = scratch.right.data();
  float* const vp = scratch.presence.data();
  float* const tl = io.track_level.data();

  // Each piece over the run in its own loop: a loop that carries few recurrences
  // lets successive samples overlap. Presence first, for the front reads it as
  // the previous sample left it.
  const BackingSections& sec = lines.sections;
  {
    SectionCopies<3> front({&sec.mid_lowpass, &sec.side_highpass, &sec.synth_highpass});
    for (std::size_t j = 0; j < len; ++j) {
      const StereoSample y = front_sample(s, front.f[0], front.f[1], front.f[2], lines.synth, b,
                                          {io.left[j], io.right[j]}, s.presence);
      s.presence = presence_step(b, s.presence, io.singer[j].level);
      vp[j] = s.presence;
      left[j] = y.left;
      right[j] = y.right;
    }
  }

  SectionLanes split({&sec.high_band_left, &sec.high_band_right, &sec.low_band, nullptr});
  if (b.shift) {
    float* const lh = scratch.high_left.data();
    float* const rh = scratch.high_right.data();
    float* const lo = scratch.low.data();
    float* const lo_s = scratch.low_shifted.data();
    for (std::size_t j = 0; j < len; ++j) {
      const Lanes4 bands = split(split_input(left[j], right[j]));
      lh[j] = bands[0];
      rh[j] = bands[1];
      lo[j] = bands[2];
    }
    // Each shifter over the run; the high bands' outputs replace their inputs.
    for (std::size_t j = 0; j < len; ++j) lo_s[j] = pitch_shift_sample(lines.low, lo[j], b.ratio, 0.0f);
    for (std::size_t j = 0; j < len; ++j) lh[j] = pitch_shift_sample(lines.left, lh[j], b.ratio, 0.0f);
    for (std::size_t j = 0; j < len; ++j) rh[j] = pitch_shift_sample(lines.right, rh[j], b.ratio, 0.0f);
    for (std::size_t j = 0; j < len; ++j) {
      ShiftedPair x = shift_mix(b, left[j], right[j], lo[j], lo_s[j], lh[j], rh[j]);
      tl[j] = bass_and_level(s, x);
      left[j] = x.left;
      right[j] = x.right;
    }
  } else {
    // Kept current, not heard.
    for (std::size_t j = 0; j < len; ++j) pitch_shift_feed(lines.left, left[j], 1.0f, 0.0f);
    for (std::size_t j = 0; j < len; ++j) pitch_shift_feed(lines.right, right[j], 1.0f, 0.0f);
    // The split's latency hides under the followers'; only its low band is heard.
    for (std::size_t j = 0; j < len; ++j) {
      ShiftedPair x{left[j], right[j], split(split_input(left[j], right[j]))[2]};
      tl[j] = bass_and_level(s, x);
      left[j] = x.left;
      right[j] = x.right;
    }
  }

  // The leveller's powers, independent of each other, so that they overlap.
  float* const gain = scratch.gain.data();
  for (std::size_t j = 0; j < len; ++j) gain[j] = leveller_gain(tl[j]);

  {
    SectionCopies<2> pocket({&sec.pocket_low, &sec.pocket_high});
    for (std::size_t j = 0; j < len; ++j) {
      pocket_out(pocket.f[0], pocket.f[1], b, left[j], right[j], gain[j], vp[j], tl[j], io.singer[j].level,
                 io.out[j]);
    }
  }
  state = s;
}

SendsBlock sends_prepare(const DspParams& p, const FxModes& m) noexcept MELODARA_NONBLOCKING {
  SendsBlock b;
  b.gated = p.denoise_enabled || p.gate_enabled;
  const float fm = (m.shimmer || m.chorus) ? 1.25f : 1.0f;
  b.volume_ratio = max_f(p.reverb_volume / 0.58f, 0.0f);
  b.vang_dai = clamp_f(fm * min_f(b.volume_ratio, 1.65f) * p.tc_vang_dai_level, 0.0f, 1.45f);
  b.off = !p.reverb_enabled || p.tc_mute_all_sends;
  b.mute_on_pause = p.auto_mute_reverb_on_pause;
  b.pk = p.pk_mode_ducking;
  return b;
}

Sends sends_sample(const SendsBlock& b, const SingerInputs& in, StereoSample voice, StereoSample track,
                   float t) noexcept MELODARA_NONBLOCKING {
  Sends out;
  float v = in.level;
  if (b.gated) {
    v = in.gate_gain > 0.16f
            ? in.raw_level * clamp_f(max_f(in.voice_activity, 0.35f * in.sibilance), 0.0f, 1.0f)
            : 0.0f;
  }
  out.singer_level = v;
  out.track_level = t;
  out.volume_ratio = b.volume_ratio;
  out.vang_dai = b.vang_dai;
  out.duck = clamp_f(1.0f - 0.55f * v, 0.78f, 1.0f);
  out.track_boost = t < 0.005f ? 1.0f : 0.92f + 0.14f * clamp_f((t - 0.005f) / 0.155f, 0.0f, 1.0f);
  out.off = b.off || (b.mute_on_pause && t < 0.0012f);
  out.target_gain = out.off ? 0.0f : (b.pk ? 0.12f * b.vang_dai : out.duck * b.vang_dai * out.track_boost);

  // Voice send: loud peaks relative to the singer's level send less.
  const float dd =
      t > 0.005f ? clamp_f((v - 0.0022f) / 0.0026f, 0.0f, 1.0f) : clamp_f((v - 0.0026f) / 0.003f, 0.0f, 1.0f);
  const float q = max_f(std::fabs(voice.left), std::fabs(voice.right)) / (4.2f * v + 0.025f);
  const float sg = q > 1.0f ? dd * min_f(max_f(std::pow(q, -0.85f), 0.18f), 1.0f) : dd;
  const float ts = (t > 0.005f && dd > 0.35f) ? 0.085f * clamp_f((dd - 0.35f) / 0.65f, 0.0f, 1.0f) : 0.0f;
  out.pair = {sg * voice.left + ts * track.left, sg * voice.right + ts * track.right};
  return out;
}

void sends_filter_run(const SendFilters& filters, std::span<float> left,
                      std::span<float> right) noexcept MELODARA_NONBLOCKING {
  // Each side's five sections in a chain of lanes; the last stores over the input
  // the first has read.
  constexpr std::array<std::uint8_t, 10> kRoles{kLaneInput, 0, 0, 0, kLaneOutput,
                                                kLaneInput, 0, 0, 0, kLaneOutput};
  std::array<BiquadLane, 10> lanes{};
  for (std::size_t side = 0; side < 2; ++side) {
    const std::span<float> io = side == 0 ? left : right;
    const SendFilterChain& c = side == 0 ? filters.left : filters.right;
    const std::array<Biquad*, 5> chain{&c.lowpass, &c.highpass, &c.cut_530, &c.cut_660, &c.cut_2500};
    for (std::size_t k = 0; k < 5; ++k) lanes[5 * side + k].section = chain[k];
    lanes[5 * side].in = io.data();
    lanes[5 * side + 4].out = io.data();
  }
  run_biquad_lanes<kRoles>(lanes, std::min(left.size(), right.size()));
}

void sends_run(const SendsBlock& block, const SendFilters& filters, std::span<const SingerInputs> singer,
               std::span<const StereoSample> voice, std::span<const BackingOut> backing, std::span<Sends> out,
               std::span<float> left, std::span<float> right) noexcept MELODARA_NONBLOCKING {
  const std::size_t n = out.size();
  for (std::size_t j = 0; j < n; ++j) {
    // Built in place: a copy of the returned record reloads it in wider pieces.
    const Sends& sends =
        *::new (&out[j]) Sends(sends_sample(block, singer[j], voice[j], backing[j].track, backing[j].level));
    left[j] = sends.pair.left;
    right[j] = sends.pair.right;
  }
  sends_filter_run(filters, left.first(n), right.first(n));
  for (std::size_t j = 0; j < n; ++j) out[j].pair = {left[j], right[j]};
}

}  // namespace melodara
