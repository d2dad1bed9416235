#include "media/pcm_cache_writer.h"

#include <unistd.h>

#include <bit>
#include <cstdint>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "media/analysis_meta.h"
#include "media/file_io.h"

namespace melodara {
namespace {

void write_pcm_cache_thread(std::filesystem::path path, SharedSamples samples,
                            std::optional<SideFileNote> note) {
  if (write_pcm_cache(path, *samples)) {
    if (note) store_analysis_meta(note->source, note->key, note->tempo_known, note->tempo_bpm);
  } else {
    ::unlink(path.c_str());
  }
  samples.reset();
  end_pending_write(path);
}

}  // namespace

bool write_pcm_cache(const std::filesystem::path& path, std::span<const float> samples) {
  static_assert(std::endian::native == std::endian::little, "cache files are little-endian");
  return write_file_replacing(
      path, std::span(reinterpret_cast<const std::uint8_t*>(samples.data()), samples.size_bytes()));
}

void spawn_write_pcm_cache(const std::optional<std::filesystem::path>& path, SharedSamples samples,
                           std::optional<SideFileNote> note) {
  if (!path || !samples || samples->size() <= 256) return;
  begin_pending_write(*path);
  try {
    std::thread(write_pcm_cache_thread, *path, std::move(samples), std::move(note)).detach();
  } catch (const std::system_error&) {
    end_pending_write(*path);
    throw std::runtime_error("failed to spawn thread");
  }
}

}  // namespace melodara
