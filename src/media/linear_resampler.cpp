#include "media/linear_resampler.h"

#include <algorithm>
#include <array>

namespace melodara {
namespace {

constexpr std::uint64_t kOutRate = 48000;

// Output frames staged before they go to the sink in one append.
class Stage {
 public:
  explicit Stage(StereoSink& out) : out_(out) {}
  bool put(float left, float right) {
    buf_[n_] = left;
    buf_[n_ + 1] = right;
    n_ += 2;
    return n_ < buf_.size() || flush();
  }
  bool flush() {
    const bool ok = n_ == 0 || out_.append(std::span<const float>(buf_.data(), n_));
    n_ = 0;
    return ok;
  }

 private:
  StereoSink& out_;
  std::array<float, 4096> buf_;
  std::size_t n_ = 0;
};

class VectorSink final : public StereoSink {
 public:
  explicit VectorSink(std::vector<float>& v) : v_(v) {}
  bool append(std::span<const float> samples) override {
    v_.insert(v_.end(), samples.begin(), samples.end());
    return true;
  }

 private:
  std::vector<float>& v_;
};

}  // namespace

LinearResampler::LinearResampler(std::uint32_t rate) : rate_(rate == 0 ? 1 : rate) {}

bool LinearResampler::push(std::span<const float> stereo, StereoSink& out) {
  const std::size_t frames = stereo.size() / 2;
  if (frames == 0) return true;
  if (rate_ == kOutRate) {
    received_ += frames;
    next_out_ = received_;
    return out.append(stereo.first(2 * frames));
  }
  window_.insert(window_.end(), stereo.begin(), stereo.begin() + static_cast<std::ptrdiff_t>(2 * frames));
  received_ += frames;
  return emit_ready(out, false);
}

bool LinearResampler::finish(StereoSink& out) {
  if (received_ == 0 || rate_ == kOutRate) return true;
  return emit_ready(out, true);
}

bool LinearResampler::emit_ready(StereoSink& out, bool at_end) {
  const std::uint64_t rate = rate_;
  const std::uint64_t last = received_ - 1;
  const std::uint64_t total_out = std::max<std::uint64_t>(received_ * kOutRate / rate, 1);
  Stage stage(out);
  std::uint64_t k = next_out_;
  for (;; ++k) {
    const std::uint64_t num = k * rate;
    std::uint64_t i0 = num / kOutRate;
    if (at_end) {
      if (k >= total_out) break;
      i0 = std::min(i0, last);
    } else if (i0 + 1 > last || (k + 1) * rate > received_ * kOutRate) {
      // Needs a frame not yet here, or may lie past the end of the output.
      break;
    }
    const std::uint64_t i1 = std::min(i0 + 1, last);
    const float t = static_cast<float>(num - std::min(num, i0 * kOutRate)) / static_cast<float>(kOutRate);
    const float* a = window_.data() + 2 * (i0 - window_base_);
    const float* b = window_.data() + 2 * (i1 - window_base_);
    if (!stage.put(a[0] + (b[0] - a[0]) * t, a[1] + (b[1] - a[1]) * t)) return false;
  }
  next_out_ = k;
  if (!stage.flush()) return false;
  // Frames before the next output's i0 are never read again.
  const std::uint64_t keep_from = std::min(next_out_ * rate / kOutRate, last);
  if (keep_from > window_base_) {
    const std::uint64_t drop = keep_from - window_base_;
    window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(2 * drop));
    window_base_ = keep_from;
  }
  return true;
}

std::vector<float> resample_linear_to_48k(std::span<const float> stereo, std::uint32_t rate) {
  std::vector<float> out;
  if (rate != kOutRate)
    out.reserve(2 * (stereo.size() / 2 * kOutRate / std::max<std::uint32_t>(rate, 1) + 1));
  VectorSink sink(out);
  LinearResampler resampler(rate);
  resampler.push(stereo, sink);
  resampler.finish(sink);
  return out;
}

}  // namespace melodara
