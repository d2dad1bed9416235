#include "dsp/reverb.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "dsp/delay_line.h"
#include "dsp/dsp_math.h"
#include "dsp/lanes.h"

namespace melodara {
namespace {

inline float db_to_gain(float db) noexcept { return std::pow(10.0f, db / 20.0f); }

// The early-reflection taps of the input lines: each reads the line it names at
// (pre-delay, if after_pre) + offset (times the tap factor f, if scaled).
struct TapSpec {
  bool right;
  bool after_pre;
  float offset;
  bool scaled;
};
enum Tap : std::size_t {
  kSetA163,
  kSetA431,
  kSetA859,
  kSetA1483,
  kSetB229,
  kSetB523,
  kSetB977,
  kSetB1627,
  kDirectL,
  kDirectR,
  kEa547,
  kEa1031,
  kEa1663,
  kEa2347,
  kEb631,
  kEb1153,
  kEb1811,
  kEb2503,
  kCrossR1483,
  kCrossL2111,
  kCrossR859,
  kCrossL1811,
  kCrossR2503,
};
constexpr std::array<TapSpec, kReverbTaps> kTapSpecs{{
    {false, true, 163.0f, true},   {true, true, 431.0f, true},    {false, true, 859.0f, true},
    {true, true, 1483.0f, true},   {true, true, 229.0f, true},    {false, true, 523.0f, true},
    {true, true, 977.0f, true},    {false, true, 1627.0f, true},  {false, true, 0.0f, false},
    {true, true, 43.0f, false},    {false, false, 547.0f, true},  {true, false, 1031.0f, true},
    {false, false, 1663.0f, true}, {true, false, 2347.0f, true},  {true, false, 631.0f, true},
    {false, false, 1153.0f, true}, {true, false, 1811.0f, true},  {false, false, 2503.0f, true},
    {true, false, 1483.0f, true},  {false, false, 2111.0f, true}, {true, false, 859.0f, true},
    {false, false, 1811.0f, true}, {true, false, 2503.0f, true},
}};

template <class V>
inline V tap_factor(V predelay) noexcept {
  return clamp_f(predelay / 1152.0f, 0.75f, 1.35f);
}

// A tap's delay within 2..16,380 samples.
template <class V>
inline V tap_delay(const TapSpec& t, V pre, V f) noexcept {
  const V offset = t.scaled ? t.offset * f : splat<V>(t.offset);
  return clamp_f(t.after_pre ? pre + offset : offset, 2.0f, 16380.0f);
}

// The n values read_behind gives from the write slots start, start + 1, ... for
// delays whose whole part is `whole`: contiguous reads. frac<V>(j) gives the
// fractions of samples j, j + 1, ... as V.
template <class Frac>
void tap_run(std::span<const float> line, std::size_t start, std::int32_t whole, Frac frac, float* out,
             std::size_t n) noexcept {
  const std::size_t size = line.size();
  std::size_t at = start + size - static_cast<std::size_t>(whole);
  if (at >= size) at -= size;
  std::size_t j = 0;
  while (j < n) {
    if (at == 0) {  // the slot before is the line's last
      const float fj = frac.template operator()<float>(j);
      out[j++] = fj * line[size - 1] + (1.0f - fj) * line[0];
      at = 1;
      continue;
    }
    const std::size_t len = std::min(n - j, size - at);
    const float* now = line.data() + at;
    const float* before = now - 1;
    const std::size_t j0 = j;
    for_lanes(len, [&]<class V>(std::size_t t) {
      const V fj = frac.template operator()<V>(j0 + t);
      store(out + j0 + t, fj * load<V>(before + t) + (1.0f - fj) * load<V>(now + t));
    });
    j += len;
    at += len;
    if (at == size) at = 0;
  }
}

// Calls piece(line index, run offset, length) for the wrap-free pieces of n slots
// from start in a line of the given size (n below the size), and returns the index
// after them.
template <class Piece>
inline std::size_t pieces(std::size_t start, std::size_t size, std::size_t n, Piece piece) noexcept {
  const std::size_t first = std::min(n, size - start);
  piece(start, std::size_t{0}, first);
  if (first < n) piece(std::size_t{0}, first, n - first);
  const std::size_t next = start + n;
  return next >= size ? next - size : next;
}

// What a state word may hold: the main network flushes, the second bank keeps
// finite values.
struct Flush {
  template <class V>
  V operator()(V v) const noexcept {
    return flush_state(v);
  }
};
struct KeepFinite {
  template <class V>
  V operator()(V v) const noexcept {
    return finite_or_zero(v);
  }
};

// One all-pass stage over a run, x in place: store in + g z, output z - g in.
template <class Store>
void allpass_run(std::span<float> line, std::size_t& i, float g, float* x, std::size_t n) noexcept {
  i = pieces(i, line.size(), n, [&](std::size_t at, std::size_t j0, std::size_t len) {
    float* slot = line.data() + at;
    float* v = x + j0;
    for_lanes(len, [&]<class V>(std::size_t t) {
      const V z = load<V>(slot + t);
      const V in = load<V>(v + t);
      store(slot + t, Store{}(in + g * z));
      store(v + t, z - g * in);
    });
  });
}

// Reads the current slots of K combs over a run into x[k] and their sum, added in
// comb order, into sum.
template <std::size_t K>
void comb_read(const std::array<std::span<float>, K>& combs, const std::array<std::size_t, K>& index,
               std::array<ReverbScratch::Run, K>& x, float* sum, std::size_t n) noexcept {
  for (std::size_t j = 0; j < n; ++j) sum[j] = 0.0f;
  for (std::size_t k = 0; k < K; ++k) {
    float* xk = x[k].data();
    pieces(index[k], combs[k].size(), n, [&](std::size_t at, std::size_t j0, std::size_t len) {
      const float* slot = combs[k].data() + at;
      float* to = xk + j0;
      float* add = sum + j0;
      for_lanes(len, [&]<class V>(std::size_t t) {
        const V v = load<V>(slot + t);
        store(to + t, v);
        store(add + t, load<V>(add + t) + v);
      });
    });
  }
}

// The four columns of four rows (row k holds comb k at samples j..j + 3; column t
// the four combs at sample j + t), and back.
inline void transpose(Lanes4& r0, Lanes4& r1, Lanes4& r2, Lanes4& r3) noexcept {
  const Lanes4 t0 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5);
  const Lanes4 t1 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);
  const Lanes4 t2 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5);
  const Lanes4 t3 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);
  r0 = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  r1 = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  r2 = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  r3 = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// The damping memories of the K combs of both channels over a run, x[k] replaced
// by the memory after each sample: m = store(take x + keep m). The combs'
// recursions are independent, so they step together, four combs to a register.
template <class Store, std::size_t K>
void comb_damp(std::array<float, K>& memory_l, std::array<float, K>& memory_r, float take, float keep,
               std::array<ReverbScratch::Run, K>& x_l, std::array<ReverbScratch::Run, K>& x_r,
               std::size_t n) noexcept {
  static_assert(K % 4 == 0);
  constexpr std::size_t kGroups = K / 2;  // four combs each, left then right
  std::array<float*, K * 2> rows;
  for (std::size_t k = 0; k < K; ++k) {
    rows[k] = x_l[k].data();
    rows[K + k] = x_r[k].data();
  }
  std::array<Lanes4, kGroups> m;
  for (std::size_t q = 0; q < kGroups / 2; ++q) {
    m[q] = load<Lanes4>(memory_l.data() + 4 * q);
    m[kGroups / 2 + q] = load<Lanes4>(memory_r.data() + 4 * q);
  }
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4) {
    for (std::size_t q = 0; q < kGroups; ++q) {
      float* const* r = rows.data() + 4 * q;
      Lanes4 c0 = load<Lanes4>(r[0] + j), c1 = load<Lanes4>(r[1] + j);
      Lanes4 c2 = load<Lanes4>(r[2] + j), c3 = load<Lanes4>(r[3] + j);
      transpose(c0, c1, c2, c3);
      c0 = m[q] = Store{}(take * c0 + keep * m[q]);
      c1 = m[q] = Store{}(take * c1 + keep * m[q]);
      c2 = m[q] = Store{}(take * c2 + keep * m[q]);
      c3 = m[q] = Store{}(take * c3 + keep * m[q]);
      transpose(c0, c1, c2, c3);
      store(r[0] + j, c0);
      store(r[1] + j, c1);
      store(r[2] + j, c2);
      store(r[3] + j, c3);
    }
  }
  for (; j < n; ++j) {
    for (std::size_t q = 0; q < kGroups; ++q) {
      float* const* r = rows.data() + 4 * q;
      const Lanes4 in = {r[0][j], r[1][j], r[2][j], r[3][j]};
      m[q] = Store{}(take * in + keep * m[q]);
      for (std::size_t t = 0; t < 4; ++t) r[t][j] = m[q][t];
    }
  }
  for (std::size_t q = 0; q < kGroups / 2; ++q) {
    store(memory_l.data() + 4 * q, m[q]);
    store(memory_r.data() + 4 * q, m[kGroups / 2 + q]);
  }
}

// Writes the run's values into a comb, from its current slot on, and steps its index.
template <class Value>
void comb_write(std::span<float> comb, std::size_t& i, std::size_t n, Value value) noexcept {
  i = pieces(i, comb.size(), n, [&](std::size_t at, std::size_t j0, std::size_t len) {
    float* slot = comb.data() + at;
    for_lanes(len, [&]<class V>(std::size_t t) { store(slot + t, value.template operator()<V>(j0 + t)); });
  });
}

// One biquad over a run, the section's state in registers meanwhile.
struct BiquadRun {
  explicit BiquadRun(Biquad& section) noexcept : home(section), f(section) {}
  ~BiquadRun() { home = f; }
  BiquadRun(const BiquadRun&) = delete;
  BiquadRun& operator=(const BiquadRun&) = delete;
  float operator()(float x) noexcept { return biquad_process(f, x); }
  Biquad& home;
  Biquad f;
};

}  // namespace

float reverb_tap_factor(float predelay) noexcept { return tap_factor(predelay); }

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

namespace {

// The early-reflection taps of a run, before the run's writes to the input lines.
void read_taps(const ReverbLines& lines, std::size_t w, ReverbScratch& sc, std::size_t n) noexcept {
  const std::span<const float> L = lines.input_l, R = lines.input_r;
  bool steady = true;
  for (std::size_t j = 1; j < n; ++j) steady = steady && sc.predelay[j] == sc.predelay[0];
  if (steady) {
    const float pre = sc.predelay[0];
    const float f = reverb_tap_factor(pre);
    for (std::size_t t = 0; t < kReverbTaps; ++t) {
      const TapSpec& spec = kTapSpecs[t];
      const float delay = tap_delay(spec, pre, f);
      const std::int32_t whole = static_cast<std::int32_t>(delay);
      const float frac = delay - static_cast<float>(whole);
      tap_run(
          spec.right ? R : L, w, whole, [&]<class V>(std::size_t) { return splat<V>(frac); },
          sc.taps[t].data(), n);
    }
    return;
  }
  // The pre-delay glides or jumps within the run: every sample has its own delays,
  // usually still with one whole part per tap.
  const float* pre = sc.predelay.data();
  float* factor = sc.factor.data();
  float* delays = sc.delay.data();
  for_lanes(n, [&]<class V>(std::size_t j) { store(factor + j, tap_factor(load<V>(pre + j))); });
  for (std::size_t t = 0; t < kReverbTaps; ++t) {
    const TapSpec& spec = kTapSpecs[t];
    const std::span<const float> line = spec.right ? R : L;
    const std::int32_t whole = static_cast<std::int32_t>(tap_delay(spec, pre[0], factor[0]));
    Mask4 same = {-1, -1, -1, -1};
    bool one_whole = true;
    for_lanes(n, [&]<class V>(std::size_t j) {
      const V d = tap_delay(spec, load<V>(pre + j), load<V>(factor + j));
      store(delays + j, d);
      if constexpr (sizeof(V) == sizeof(float)) {
        one_whole = one_whole && static_cast<std::int32_t>(d) == whole;
      } else {
        same &= whole_part(d) == whole;
      }
    });
    one_whole = one_whole && same[0] && same[1] && same[2] && same[3];
    if (one_whole) {
      const float base = static_cast<float>(whole);
      tap_run(
          line, w, whole, [&]<class V>(std::size_t j) { return load<V>(delays + j) - base; },
          sc.taps[t].data(), n);
    } else {
      for (std::size_t j = 0; j < n; ++j) {
        sc.taps[t][j] = read_behind(line, (w + j) & (kReverbInputSize - 1), sc.delay[j]);
      }
    }
  }
}

// The second bank's combs and all-passes over a stretch of sending samples
// [j0, j0 + n): its output pair lands in bank_l, bank_r.
void second_bank(ReverbState& s, const ReverbLines& lines, const ReverbBlock& b, std::size_t j0,
                 std::size_t n) noexcept {
  ReverbScratch& sc = lines.scratch;
  float* raw_l = sc.bank_l.data() + j0;
  float* raw_r = sc.bank_r.data() + j0;
  const float* e_a = sc.e_a.data() + j0;
  const float* e_b = sc.e_b.data() + j0;
  // The run's samples sit at the start of the comb arrays.
  comb_read(lines.b_combs_l, s.b_comb_l, sc.bank_comb_l, raw_l, n);
  comb_read(lines.b_combs_r, s.b_comb_r, sc.bank_comb_r, raw_r, n);
  comb_damp<KeepFinite>(s.b_damp_l, s.b_damp_r, 0.58f, 0.42f, sc.bank_comb_l, sc.bank_comb_r, n);
  const float h = b.bank_feedback;
  for (std::size_t k = 0; k < 4; ++k) {
    const float tau = (k & 1u) == 0 ? 0.22f : -0.22f;
    const float* ml = sc.bank_comb_l[k].data();
    const float* mr = sc.bank_comb_r[k].data();
    comb_write(lines.b_combs_l[k], s.b_comb_l[k], n, [&]<class V>(std::size_t j) {
      return finite_or_zero(0.135f * (load<V>(e_a + j) + tau * load<V>(e_b + j)) + h * load<V>(ml + j));
    });
    comb_write(lines.b_combs_r[k], s.b_comb_r[k], n, [&]<class V>(std::size_t j) {
      return finite_or_zero(0.135f * (load<V>(e_b + j) - tau * load<V>(e_a + j)) + h * load<V>(mr + j));
    });
  }
  allpass_run<KeepFinite>(lines.b_allpass_l, s.b_allpass_l, 0.55f, raw_l, n);
  allpass_run<KeepFinite>(lines.b_allpass_r, s.b_allpass_r, -0.52f, raw_r, n);
}

void reverb_run(ReverbState& s, const ReverbLines& lines, const ReverbBlock& b, std::span<const Sends> sends,
                std::span<const EchoOut> echo, std::span<StereoSample> voice) noexcept {
  const std::size_t n = voice.size();
  ReverbScratch& sc = lines.scratch;

  // Pre-delay: jumps while the singer is quiet or far off, else glides.
  for (std::size_t j = 0; j < n; ++j) {
    const float gap = b.predelay_target - s.predelay;
    if (sends[j].singer_level < 0.015f || std::fabs(gap) > 32.0f) {
      s.predelay = b.predelay_target;
    } else {
      s.predelay += clamp_f(0.00002f * gap, -0.002f, 0.002f);
    }
    sc.predelay[j] = s.predelay;
  }

  // Early reflections, all read before the run's writes.
  const std::size_t w = s.input_write;
  read_taps(lines, w, sc, n);
  for_lanes(n, [&]<class V>(std::size_t j) {
    const auto T = [&](Tap t) { return load<V>(sc.taps[t].data() + j); };
    const V set_a = 0.34f * T(kSetA163) + 0.24f * T(kSetA431) + 0.16f * T(kSetA859) + 0.11f * T(kSetA1483);
    const V set_b = 0.34f * T(kSetB229) + 0.24f * T(kSetB523) + 0.16f * T(kSetB977) + 0.11f * T(kSetB1627);
    store(sc.in_l.data() + j, 0.55f * set_a + 0.45f * T(kDirectL));
    store(sc.in_r.data() + j, 0.55f * set_b + 0.45f * T(kDirectR));
    store(sc.e_a.data() + j,
          0.32f * T(kEa547) + 0.22f * T(kEa1031) + 0.15f * T(kEa1663) + 0.10f * T(kEa2347));
    store(sc.e_b.data() + j,
          0.32f * T(kEb631) + 0.22f * T(kEb1153) + 0.15f * T(kEb1811) + 0.10f * T(kEb2503));
    store(sc.cross_x.data() + j, 0.56f * T(kEa547) + 0.34f * T(kCrossR1483) - 0.22f * T(kCrossL2111));
    store(sc.cross_y.data() + j, 0.56f * T(kCrossR859) + 0.34f * T(kCrossL1811) - 0.22f * T(kCrossR2503));
  });

  // Input write: the sends and, while the echo is fed, its mid and side.
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t wj = (w + j) & (kReverbInputSize - 1);
    const Sends& sj = sends[j];
    if (sj.off) {
      lines.input_l[wj] = 0.0f;
      lines.input_r[wj] = 0.0f;
    } else {
      const EchoOut& ej = echo[j];
      const float k = b.echo_in && ej.active ? 0.12f * ej.level : 0.0f;
      const float es = ej.side, em = ej.mid;
      lines.input_l[wj] = sj.pair.left + k * (0.65f * (es + em) + 0.35f * (em - es));
      lines.input_r[wj] = sj.pair.right + k * (0.65f * (em - es) + 0.35f * (es + em));
    }
  }
  s.input_write = (w + n) & (kReverbInputSize - 1);

  // Input diffusers.
  float* d_l = sc.in_l.data();
  float* d_r = sc.in_r.data();
  allpass_run<Flush>(lines.allpasses_l[2], s.allpass_l[2], 0.58f, d_l, n);
  allpass_run<Flush>(lines.allpasses_l[3], s.allpass_l[3], 0.58f, d_l, n);
  allpass_run<Flush>(lines.allpasses_r[2], s.allpass_r[2], -0.55f, d_r, n);
  allpass_run<Flush>(lines.allpasses_r[3], s.allpass_r[3], -0.55f, d_r, n);

  // Tank: eight damped combs per channel, each pulled slightly toward the mean.
  comb_read(lines.combs_l, s.comb_l, sc.tank_l, sc.sum_l.data(), n);
  comb_read(lines.combs_r, s.comb_r, sc.tank_r, sc.sum_r.data(), n);
  const float g = b.comb_feedback, damp = b.damping, keep = 1.0f - b.damping;
  comb_damp<Flush>(s.damp_l, s.damp_r, keep, damp, sc.tank_l, sc.tank_r, n);
  float* mean_l = sc.mean_l.data();
  float* mean_r = sc.mean_r.data();
  for_lanes(n, [&]<class V>(std::size_t j) {
    V ml{}, mr{};  // +0, as the sums start
    for (std::size_t k = 0; k < 8; ++k) {
      ml += load<V>(sc.tank_l[k].data() + j);
      mr += load<V>(sc.tank_r[k].data() + j);
    }
    store(mean_l + j, ml * 0.125f);
    store(mean_r + j, mr * 0.125f);
  });
  for (std::size_t k = 0; k < 8; ++k) {
    const float sigma = (k & 1u) == 0 ? 0.28f : -0.28f;
    const float* ml = sc.tank_l[k].data();
    const float* mr = sc.tank_r[k].data();
    comb_write(lines.combs_l[k], s.comb_l[k], n, [&]<class V>(std::size_t j) {
      const V m = load<V>(ml + j);
      return flush_state(g * (m + 0.082f * (load<V>(mean_l + j) - m)) +
                         0.165f * (load<V>(d_l + j) + sigma * load<V>(d_r + j)));
    });
    comb_write(lines.combs_r[k], s.comb_r[k], n, [&]<class V>(std::size_t j) {
      const V m = load<V>(mr + j);
      return flush_state(g * (m + 0.082f * (load<V>(mean_r + j) - m)) +
                         0.165f * (load<V>(d_r + j) - sigma * load<V>(d_l + j)));
    });
  }

  // Output all-passes.
  float* out_l = sc.sum_l.data();
  float* out_r = sc.sum_r.data();
  allpass_run<Flush>(lines.allpasses_l[0], s.allpass_l[0], 0.57f, out_l, n);
  allpass_run<Flush>(lines.allpasses_l[1], s.allpass_l[1], 0.57f, out_l, n);
  allpass_run<Flush>(lines.allpasses_r[0], s.allpass_r[0], 0.57f, out_r, n);
  allpass_run<Flush>(lines.allpasses_r[1], s.allpass_r[1], -0.55f, out_r, n);

  // Second bank's lines, over each stretch of sending samples.
  if (b.bank_on) {
    std::size_t j = 0;
    while (j < n) {
      if (sends[j].off) {
        ++j;
        continue;
      }
      std::size_t end = j + 1;
      while (end < n && !sends[end].off) ++end;
      second_bank(s, lines, b, j, end - j);
      j = end;
    }
  }

  // The per-sample recursions left (active gain, reverse envelope, the equalisers
  // of both outputs) share one loop, so their latencies overlap.
  BiquadRun bq17(lines.bank[17]), bq18(lines.bank[18]), bq12(lines.bank[12]), bq10(lines.bank[10]);
  BiquadRun bq13(lines.bank[13]), bq11(lines.bank[11]);
  for (std::size_t j = 0; j < n; ++j) {
    const Sends& sj = sends[j];

    // Active gain: falls quickly while the singer is audible, rises slowly.
    const float v = sj.singer_level;
    const float g_s = sj.target_gain;
    const float rate = (s.active_gain < 0.05f || (v >= 0.002f && s.active_gain > g_s)) ? 0.006f : 0.0003f;
    s.active_gain = flush_state(s.active_gain + rate * (g_s - s.active_gain));

    // Reverse envelope: swells toward the end of every beat.
    s.reverse_phase += b.phase_step;
    if (s.reverse_phase >= 1.0f) s.reverse_phase -= 1.0f;
    const float m = b.envelope_mix;
    const float env = b.envelope ? 1.0f - m + 1.65f * m * std::pow(s.reverse_phase, 2.6f) : 1.0f;

    // Equaliser and mid/side.
    const float y_l = bq17(out_l[j]);
    const float y_r = bq18(out_r[j]);
    const float mid = bq12(0.5f * (y_l + y_r) * b.mid_gain);
    const float side = bq10(0.5f * (y_l - y_r) * b.mid_gain);

    const bool sending = !sj.off;
    const bool shaping = sending && !b.pk;

    float bank_l = 0.0f, bank_r = 0.0f;
    if (sending && b.bank_on) {
      const float o_l = sc.bank_l[j], o_r = sc.bank_r[j];
      const float mb = bq13(0.5f * (o_l + o_r));
      const float sb = bq11(0.5f * (o_l - o_r));
      const float q = b.bank_gain * min_f(sj.volume_ratio, 1.5f) * env * sj.duck * sj.track_boost;
      bank_l = q * (0.3f * mb + 1.15f * sb);
      bank_r = q * (0.3f * mb - 1.15f * sb);
    }

    // Early-reflection cross term, dry trim (at most 0.0528) and the sum.
    float cross = 0.0f;
    if (shaping) {
      const float presence = sj.track_level > 0.005f ? 1.48f : 0.22f;
      const float c_er =
          sj.duck * clamp_f(min_f(sj.volume_ratio, 1.5f), 0.65f, 1.25f) * presence * sj.track_boost;
      cross = 0.5f * c_er * (sc.cross_x[j] - sc.cross_y[j]);
    }
    const float trim =
        shaping ? 0.24f * clamp_f(b.trim_level + clamp_f(0.08f * sj.vang_dai, 0.0f, 0.1f), 0.0f, 0.22f)
                : 0.0f;
    const float wet = 0.64f * s.active_gain * env;
    const float main_mid = 0.38f * mid, main_side = 1.44f * b.high_gain * side;
    const StereoSample dry = voice[j];
    voice[j] = {(1.0f - trim) * dry.left + wet * (main_mid + main_side) + bank_l + cross,
                (1.0f - trim) * dry.right + wet * (main_mid - main_side) + bank_r - cross};
  }
}

}  // namespace

void reverb_process_block(ReverbState& state, const ReverbLines& lines, const ReverbBlock& block,
                          std::span<const Sends> sends, std::span<const EchoOut> echo,
                          std::span<StereoSample> voice) noexcept {
  for (std::size_t start = 0; start < voice.size(); start += kReverbRun) {
    const std::size_t n = std::min(kReverbRun, voice.size() - start);
    reverb_run(state, lines, block, sends.subspan(start, n), echo.subspan(start, n), voice.subspan(start, n));
  }
}

StereoSample reverb_process(ReverbState& state, const ReverbLines& lines, const ReverbBlock& block,
                            const Sends& sends, const EchoOut& echo, StereoSample voice) noexcept {
  reverb_process_block(state, lines, block, {&sends, 1}, {&echo, 1}, {&voice, 1});
  return voice;
}

}  // namespace melodara
