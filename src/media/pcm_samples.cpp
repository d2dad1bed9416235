#include "media/pcm_samples.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "media/loudness.h"

namespace melodara {
namespace {

// No codec we take turns one source byte into more samples than this for
// reasonable content (a 32 kbit/s mono MP3 gives 96).
constexpr std::uint64_t kMaxSamplesPerSourceByte = 128;

// A track's buffer is written once front to back: faulting it in 4 KiB pages
// costs more than decoding it, so it asks for huge pages where there are.
void advise_huge_pages(const std::vector<float>& buffer) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHuge = 2u << 20;
  const auto begin = (reinterpret_cast<std::uintptr_t>(buffer.data()) + kHuge - 1) & ~(kHuge - 1);
  const auto end = reinterpret_cast<std::uintptr_t>(buffer.data() + buffer.capacity()) & ~(kHuge - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)buffer;
#endif
}

}  // namespace

BoundedSamples::BoundedSamples(std::uint64_t max_samples, std::uint64_t reserve_samples) : max_(max_samples) {
  if (reserve_samples == 0) return;
  samples_.reserve(static_cast<std::size_t>(std::min(reserve_samples, max_samples)));
  advise_huge_pages(samples_);
}

bool BoundedSamples::append(std::span<const float> samples) {
  if (samples.size() > max_ - std::min<std::uint64_t>(max_, samples_.size())) return false;
  const std::size_t capacity = samples_.capacity();
  samples_.insert(samples_.end(), samples.begin(), samples.end());
  if (samples_.capacity() != capacity) advise_huge_pages(samples_);
  return true;
}

F32leCollector::F32leCollector(std::uint64_t max_samples, std::uint64_t reserve_samples)
    : out_(max_samples, reserve_samples) {}

bool F32leCollector::append(std::span<const std::uint8_t> bytes) {
  static_assert(std::endian::native == std::endian::little, "f32le layout assumes a little-endian host");
  bytes_seen_ += bytes.size();
  alignas(64) float stage[4096];
  std::size_t n = 0;
  auto put = [&](const std::uint8_t* p) {
    float v;
    std::memcpy(&v, p, 4);
    stage[n++] = std::isfinite(v) ? v : 0.0f;
  };
  std::size_t at = 0;
  if (carry_len_ > 0) {
    const std::size_t need = std::min(4 - carry_len_, bytes.size());
    std::memcpy(carry_ + carry_len_, bytes.data(), need);
    carry_len_ += need;
    at = need;
    if (carry_len_ < 4) return true;
    put(carry_);
    carry_len_ = 0;
  }
  while (bytes.size() - at >= 4) {
    put(bytes.data() + at);
    at += 4;
    if (n == std::size(stage)) {
      if (!out_.append(std::span<const float>(stage, n))) return false;
      n = 0;
    }
  }
  carry_len_ = bytes.size() - at;
  std::memcpy(carry_, bytes.data() + at, carry_len_);
  return n == 0 || out_.append(std::span<const float>(stage, n));
}

std::uint64_t reserve_samples_for(std::optional<double> seconds, std::uint64_t source_bytes,
                                  const MediaLimits& limits) {
  if (!seconds || !(*seconds > 0.0)) return 0;
  // 2 % and one second more: declared durations of compressed streams are estimates.
  const double wanted = (*seconds * 1.02 + 1.0) * kMediaSampleRate * kMediaChannels;
  const double cap = static_cast<double>(
      std::min(limits.max_track_samples(),
               source_bytes > std::numeric_limits<std::uint64_t>::max() / kMaxSamplesPerSourceByte
                   ? std::numeric_limits<std::uint64_t>::max()
                   : source_bytes * kMaxSamplesPerSourceByte));
  return static_cast<std::uint64_t>(std::min(wanted, cap));
}

std::optional<std::vector<float>> read_f32le_file(const std::filesystem::path& path,
                                                  const MediaLimits& limits) {
  auto fd = open_regular_file(path, Links::Refuse);
  if (!fd) return std::nullopt;
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0) return std::nullopt;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size / 4 > limits.max_track_samples()) return std::nullopt;
  F32leCollector collector(limits.max_track_samples(), size / 4);
  alignas(64) std::uint8_t buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd->get(), buf, sizeof buf);
    if (n > 0) {
      if (!collector.append(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n))))
        return std::nullopt;
    } else if (n == 0) {
      return std::move(collector).take();
    } else if (errno != EINTR) {
      return std::nullopt;
    }
  }
}

std::optional<DecodedMedia> media_from_pcm(std::vector<float> samples, bool already_normalized) {
  if (samples.size() < 2) return std::nullopt;
  if (!already_normalized) normalize_loudness(samples);
  return make_decoded_media(std::move(samples));
}

std::optional<DecodedMedia> pcm_from_f32le(std::span<const std::uint8_t> bytes, bool already_normalized) {
  if (bytes.size() < 8) return std::nullopt;
  F32leCollector collector(std::numeric_limits<std::uint64_t>::max(), bytes.size() / 4);
  collector.append(bytes);
  return media_from_pcm(std::move(collector).take(), already_normalized);
}

}  // namespace melodara
