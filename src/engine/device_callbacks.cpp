#include "engine/device_callbacks.h"

#include <algorithm>
#include <cmath>

namespace melodara {
namespace {

double fill_nudge(std::size_t fill, std::size_t target) {
  const double d = (double(fill) - double(target)) / double(target);
  return std::clamp(d, -0.002, 0.002);
}

inline float sample_value(float s) { return s; }
inline float sample_value(std::int16_t s) { return float(s) * (1.0f / 32768.0f); }

// Chooses the channel pair for this buffer (loudest-pair rule).
template <class T>
void choose_pair(CaptureCallbackState& s, std::span<const T> buffer, std::size_t frames) {
  const std::size_t k = s.channels;
  const std::size_t p_count = s.pairs;
  std::fill(s.peaks.begin(), s.peaks.begin() + static_cast<std::ptrdiff_t>(p_count), 0.0f);
  for (std::size_t f = 0; f < frames; ++f) {
    const T* frame = buffer.data() + f * k;
    for (std::size_t p = 0; p < p_count; ++p) {
      const float a = std::fabs(sample_value(frame[2 * p]));
      const float b = std::fabs(sample_value(frame[std::min(2 * p + 1, k - 1)]));
      // Comparisons with NaN are false, so NaN samples never raise a peak.
      if (a > s.peaks[p]) s.peaks[p] = a;
      if (b > s.peaks[p]) s.peaks[p] = b;
    }
  }
  const std::size_t current = std::min(s.pair_index, p_count - 1);
  float best_peak = 0.0f;
  std::size_t best = current;
  for (std::size_t p = 0; p < p_count; ++p) {
    if (s.peaks[p] > best_peak) {
      best_peak = s.peaks[p];
      best = p;
    }
  }
  if (best_peak > 0.004f && best_peak > 2.5f * s.peaks[current]) s.pair_index = best;
}

template <class T>
void capture(CaptureCallbackState& s, std::span<const T> buffer) {
  s.counter->fetch_add(1, std::memory_order_relaxed);
  const std::size_t k = s.channels;
  const std::size_t frames = buffer.size() / k;
  std::size_t left_ch = 0, right_ch = k > 1 ? 1 : 0;
  if (k >= 3 && frames > 0) {
    choose_pair(s, buffer, frames);
    left_ch = std::min(2 * s.pair_index, k - 1);
    right_ch = std::min(left_ch + 1, k - 1);
  }
  if (frames == 0) {
    push_captured_frames(*s.ring, {}, s.position, s.base_step);
    return;
  }
  const std::size_t piece_max = s.scratch.size() - 1;
  for (std::size_t start = 0; start < frames; start += piece_max) {
    const std::size_t n = std::min(piece_max, frames - start);
    for (std::size_t i = 0; i < n; ++i) {
      const T* frame = buffer.data() + (start + i) * k;
      s.scratch[i] = {sample_value(frame[left_ch]), sample_value(frame[right_ch])};
    }
    push_captured_frames(*s.ring, std::span<const StereoFrame>(s.scratch.data(), n), s.position, s.base_step);
  }
}

// Channel rules of the two playback kinds.
struct MonitorLayout {
  static float value(std::size_t channel, StereoFrame f) { return channel % 2 == 0 ? f.left : f.right; }
};
struct BusLayout {
  static float value(std::size_t channel, StereoFrame f) {
    return channel == 0 ? f.left : channel == 1 ? f.right : 0.0f;
  }
};

inline void store(float& out, float v) { out = v; }
inline void store(std::int16_t& out, float v) { out = playback_sample_i16(v); }

template <class Layout, class T>
void playback(PlaybackCallbackState& s, std::span<T> buffer) {
  s.counter->fetch_add(1, std::memory_order_relaxed);
  auto g = s.ring->lock_realtime();
  if (g.poisoned()) return;
  const double t = s.base_step * (1.0 + fill_nudge(g->size(), kPlaybackTargetFill));
  constexpr float kDecay = 0.996f;
  const std::size_t k = s.channels;
  for (std::size_t base = 0; base < buffer.size(); base += k) {
    s.position += t;
    while (s.position >= 1.0) {
      s.previous = s.current;
      if (!g->pop_front(s.current)) s.current = {s.previous.left * kDecay, s.previous.right * kDecay};
      s.position -= 1.0;
    }
    const float gain = static_cast<float>(std::max(s.position, 0.0));
    const StereoFrame v{s.previous.left + (s.current.left - s.previous.left) * gain,
                        s.previous.right + (s.current.right - s.previous.right) * gain};
    const std::size_t end = std::min(base + k, buffer.size());
    if (k == 1) {
      store(buffer[base], v.left);
    } else {
      for (std::size_t i = base; i < end; ++i) store(buffer[i], Layout::value(i - base, v));
    }
  }
}

}  // namespace

CaptureCallbackState make_capture_state(std::shared_ptr<FrameRing> ring,
                                        std::shared_ptr<CallbackCounter> counter, std::uint32_t sample_rate,
                                        std::size_t channels) {
  CaptureCallbackState s;
  s.ring = std::move(ring);
  s.counter = std::move(counter);
  s.base_step = double(std::max<std::uint32_t>(sample_rate, 8000)) / 48000.0;
  s.channels = std::max<std::size_t>(channels, 1);
  s.pairs = (s.channels + 1) / 2;
  s.scratch.resize(kCaptureScratchFrames + 1);
  s.peaks.resize(s.pairs);
  return s;
}

PlaybackCallbackState make_playback_state(std::shared_ptr<FrameRing> ring,
                                          std::shared_ptr<CallbackCounter> counter, std::uint32_t sample_rate,
                                          std::size_t channels) {
  PlaybackCallbackState s;
  s.ring = std::move(ring);
  s.counter = std::move(counter);
  s.base_step = 48000.0 / double(std::max<std::uint32_t>(sample_rate, 8000));
  s.channels = std::max<std::size_t>(channels, 1);
  return s;
}

void push_captured_frames(FrameRing& ring, std::span<const StereoFrame> frames, double& position,
                          double step) {
  const std::size_t count = frames.size();
  if (count == 0) return;
  auto g = ring.lock_realtime();
  if (g.poisoned()) return;
  // A fuller ring takes a longer step and so appends fewer frames; this
  // keeps the fill at its target under drift (the playback side steers the
  // same way).
  const double s = step * (1.0 + fill_nudge(g->size(), kCaptureTargetFill));
  const double last = double(count - 1);
  while (position < double(count)) {
    const double whole = std::clamp(std::floor(position), 0.0, last);
    const std::size_t i0 = static_cast<std::size_t>(whole);
    const std::size_t i1 = std::min(i0 + 1, count - 1);
    const float f = static_cast<float>(std::clamp(position - whole, 0.0, 1.0));
    const StereoFrame a = frames[i0], b = frames[i1];
    g->push_back_capped({a.left + (b.left - a.left) * f, a.right + (b.right - a.right) * f});
    position += s;
  }
  position = std::max(position - double(count), 0.0);
}

void input_callback_f32(CaptureCallbackState& s, std::span<const float> buffer) MELODARA_NONBLOCKING {
  capture(s, buffer);
}
void input_callback_i16(CaptureCallbackState& s, std::span<const std::int16_t> buffer) MELODARA_NONBLOCKING {
  capture(s, buffer);
}
void output_callback_f32(PlaybackCallbackState& s, std::span<float> buffer) MELODARA_NONBLOCKING {
  playback<MonitorLayout>(s, buffer);
}
void output_callback_i16(PlaybackCallbackState& s, std::span<std::int16_t> buffer) MELODARA_NONBLOCKING {
  playback<MonitorLayout>(s, buffer);
}
void bus_output_callback_f32(PlaybackCallbackState& s, std::span<float> buffer) MELODARA_NONBLOCKING {
  playback<BusLayout>(s, buffer);
}
void bus_output_callback_i16(PlaybackCallbackState& s, std::span<std::int16_t> buffer) MELODARA_NONBLOCKING {
  playback<BusLayout>(s, buffer);
}

std::int16_t playback_sample_i16(float value) {
  // A cast of NaN to an integer is undefined; the infinities go the same way.
  if (!std::isfinite(value)) return 0;
  if (value > 1.0f) return 32767;
  return static_cast<std::int16_t>(std::clamp(value, -1.0f, 1.0f) * 32767.0f);
}

}  // namespace melodara
