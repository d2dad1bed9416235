#include "media/pcm_cache_writer.h"

#include <bit>
#include <cstdint>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "media/file_io.h"

namespace melodara {
namespace {

void write_pcm_cache_thread(std::filesystem::path path, std::vector<float> samples) {
  write_pcm_cache(path, samples);
  end_pending_write(path);
}

}  // namespace

bool write_pcm_cache(const std::filesystem::path& path, std::span<const float> samples) {
  static_assert(std::endian::native == std::endian::little, "cache files are little-endian");
  return write_file_replacing(
      path, std::span(reinterpret_cast<const std::uint8_t*>(samples.data()), samples.size_bytes()));
}

void spawn_write_pcm_cache(const std::optional<std::filesystem::path>& path, std::span<const float> samples) {
  if (!path || samples.size() <= 256) return;
  std::vector<float> copy(samples.begin(), samples.end());
  begin_pending_write(*path);
  try {
    std::thread(write_pcm_cache_thread, *path, std::move(copy)).detach();
  } catch (const std::system_error&) {
    end_pending_write(*path);
    throw std::runtime_error("failed to spawn thread");
  }
}

}  // namespace melodara
