#include "dsp/track_key_analysis.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "dsp/chroma.h"
#include "dsp/key_match.h"
#include "dsp/key_names.h"
#include "dsp/onset_tempo.h"
#include "dsp/title_tags.h"

namespace melodara {
namespace {

constexpr std::size_t kShortTrackFloats = 288000;    // 3 s of stereo at 48 kHz
constexpr std::size_t kOneWindowFloats = 11520001;   // up to 120 s: one window
constexpr std::uint64_t kMinWindowFrames = 96001;    // 2 s
constexpr std::uint64_t kMaxWindowFrames = 5760000;  // 120 s
constexpr std::size_t kFrame = 2400;                 // 0.2 s at 12 kHz
constexpr std::size_t kHop = 1200;
constexpr double kFrameEnergy = 0.0001;
constexpr std::size_t kOnsetStep = 120;                // 10 ms at 12 kHz
constexpr std::size_t kMinTempoSamples = 36000;        // 3 s
constexpr std::size_t kFirstLag = 21, kLastLag = 150;  // 286 to 40 BPM
constexpr std::uint32_t kDefaultTempo = 92;
// One pole at 145 Hz: the kick and the bass line carry the beat.
constexpr float kBeatBandPole = 0.073111355f;

struct Window {
  std::uint64_t first, end;  // frames
};

std::vector<Window> windows_of(std::size_t floats) {
  const std::uint64_t frames = floats / 2;
  if (floats <= kOneWindowFloats) {
    const std::uint64_t start = std::min<std::uint64_t>(frames / 12, 96000);
    const std::uint64_t cut = start / 2;
    return {{start, frames > cut ? frames - cut : 0}};
  }
  const auto at = [frames](std::uint64_t percent) { return frames * percent / 100; };
  return {{at(15), at(38)}, {at(42), at(65)}, {at(68), at(88)}};
}

// Interleaved stereo at 48 kHz to mono at 12 kHz: each sample the mean of four
// frames' mid signal.
std::vector<float> mono_12k(std::span<const float> stereo, Window w) {
  std::vector<float> out(static_cast<std::size_t>((w.end - w.first) / 4));
  const float* p = stereo.data() + w.first * 2;
  for (float& y : out) {
    float sum = 0.0f;
    for (int q = 0; q < 4; ++q, p += 2) sum += 0.5f * (p[0] + p[1]);
    y = 0.25f * sum;
  }
  return out;
}

struct Accumulated {
  Chroma chroma{};
  std::array<double, kLastLag + 2> tempo{};  // by lag; lags never computed stay 0
  bool heard = false;                        // some frame passed the energy test
  bool tempo_heard = false;                  // ... in a window long enough for a tempo
};

// Returns whether any frame was loud enough to count.
bool add_chroma(std::span<const float> x, const ChromaBins& coeff, const std::array<double, kFrame>& window,
                Chroma& chroma) {
  bool heard = false;
  for (std::size_t at = 0; at + kFrame <= x.size(); at += kHop) {
    const std::span<const float> frame = x.subspan(at, kFrame);
    double energy = 0.0;
    for (const float v : frame) energy += double(v) * double(v);
    if (!(energy > kFrameEnergy)) continue;
    GoertzelBank bank;
    goertzel_feed(bank, frame, window, coeff);
    add_chroma_frame(goertzel_magnitudes(bank, coeff), chroma);
    heard = true;
  }
  return heard;
}

// Onsets every 10 ms: the rises of two amplitude envelopes, of the beat band
// and of the whole signal. The envelopes are smoothed at 10 Hz so that a held
// tone's own ripple, sampled every 10 ms, does not pass for a beat, and a
// rise counts only beyond 3 % of the envelope before it.
std::vector<double> onset_curve(std::span<const float> x) {
  constexpr float kEnvelopePole = 0.0052225f;  // 1 - exp(-2π·10/12,000)
  constexpr float kDeadBand = 0.03f;
  std::vector<double> onsets;
  onsets.reserve(x.size() / kOnsetStep);
  float low = 0.0f, low_env = 0.0f, broad_env = 0.0f;
  float low_before = 0.0f, broad_before = 0.0f;
  for (std::size_t at = 0; at + kOnsetStep <= x.size(); at += kOnsetStep) {
    for (const float v : x.subspan(at, kOnsetStep)) {
      low += kBeatBandPole * (v - low);
      low_env += kEnvelopePole * (std::fabs(low) - low_env);
      broad_env += kEnvelopePole * (std::fabs(v) - broad_env);
    }
    const float onset = onset_strength(low_before * (1.0f + kDeadBand), low_env,
                                       broad_before * (1.0f + kDeadBand), broad_env);
    onsets.push_back(static_cast<double>(onset));
    low_before = low_env;
    broad_before = broad_env;
  }
  return onsets;
}

double max3(const std::array<double, kLastLag + 2>& r, std::size_t i) {
  return std::max({r[i - 1], r[i], r[std::min(i + 1, r.size() - 1)]});
}

// The beat period from the summed autocorrelation (lags in 10 ms): the lag
// whose half and double agree best, then a correction for tempos heard a
// third too fast (a lag of 4/3 that holds up) or twice too fast.
std::optional<std::uint32_t> tempo_of(const std::array<double, kLastLag + 2>& r) {
  const auto score = [&r](std::size_t j) {
    return max3(r, j) + 0.35 * max3(r, j / 2) + (j < 75 ? 0.52 * max3(r, 2 * j) : 0.0);
  };
  const auto [found, best_score] = best_beat_lag(42, 98, score);
  std::size_t best = found;
  // A flat onset curve has no beat.
  if (!(best_score > 0.0)) return std::nullopt;
  const auto best_near = [&score](std::size_t j, std::size_t last) {
    return std::max({score(j - 1), score(j), score(std::min(j + 1, last))});
  };
  if (best >= 45 && 4 * best + 1 < 297) {
    const std::size_t slower = (4 * best + 1) / 3;
    const std::size_t two_thirds = std::max<std::size_t>(2 * best / 3, kFirstLag);
    if (max3(r, two_thirds) > 0.3 * max3(r, best) && best_near(slower, 97) >= 0.72 * best_score)
      best = slower;
  } else if (best < 50) {
    if (best_near(2 * best, 98) >= 0.72 * best_score) best = 2 * best;
  }
  const double bpm = std::round(6000.0 / double(best));
  return static_cast<std::uint32_t>(std::clamp(bpm, 60.0, 142.0));
}

TrackKeyAnalysis from_title_key(const std::string& token, std::uint32_t bpm) {
  NormalizedKey key = normalize_key_name(token);
  return {token, std::move(key.long_form), key.root, std::uint8_t(key.minor ? 1 : 0), bpm};
}

}  // namespace

std::optional<TrackKeyAnalysis> analyze_track_key_bpm(std::span<const float> samples,
                                                      std::string_view title) {
  const std::optional<std::string> title_key_token = title_key(title);
  const std::optional<std::uint32_t> stated_tempo = title_tempo(title);
  if (samples.size() < kShortTrackFloats) {
    if (!title_key_token) return std::nullopt;
    return from_title_key(*title_key_token, stated_tempo.value_or(kDefaultTempo));
  }

  const ChromaBins coeff = chroma_bin_coefficients(12000.0);
  std::array<double, kFrame> window{};
  hann_window(window);
  Accumulated acc;
  for (Window w : windows_of(samples.size())) {
    if (w.end <= w.first || w.end - w.first < kMinWindowFrames) continue;
    w.end = w.first + std::min(w.end - w.first, kMaxWindowFrames);
    const std::vector<float> x = mono_12k(samples, w);
    const bool heard = add_chroma(x, coeff, window, acc.chroma);
    acc.heard = acc.heard || heard;
    // A window with no audible frame adds no beat, only noise.
    if (heard && x.size() >= kMinTempoSamples) {
      std::vector<double> onsets = onset_curve(x);
      center_onsets(onsets);
      add_onset_autocorrelation(onsets, kFirstLag, kLastLag, 40, acc.tempo);
      acc.tempo_heard = true;
    }
  }

  std::optional<std::uint32_t> bpm = stated_tempo;
  if (!bpm && acc.tempo_heard) bpm = tempo_of(acc.tempo);

  if (title_key_token) return from_title_key(*title_key_token, bpm.value_or(kDefaultTempo));
  const KeyMatch match = match_key(std::span(acc.chroma).first<12>(), std::span(acc.chroma).last<12>());
  TrackKeyAnalysis result{std::nullopt, key_long_name(match.key, match.minor), match.key,
                          std::uint8_t(match.minor ? 1 : 0), bpm.value_or(kDefaultTempo)};
  // Silence names no key.
  if (acc.heard) result.key_label = key_label(match.key, match.minor);
  return result;
}

}  // namespace melodara
