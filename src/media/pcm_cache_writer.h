#pragma once
// Writes decoded audio into the player cache on a detached thread, so a load
// returns its track without waiting for the disk.
#include <filesystem>
#include <optional>
#include <span>

namespace melodara {

// With a path and more than 256 samples, copies the samples and writes them as
// little-endian floats over the file on a detached thread (temporary name, then
// rename; errors ignored); otherwise does nothing. The write is registered as
// pending until it ends, so write_analysis_meta waits for it.
// Throws std::runtime_error("failed to spawn thread") when no thread can start.
// Thread: any. Allocates: yes (the copy). Blocks: no.
void spawn_write_pcm_cache(const std::optional<std::filesystem::path>& path, std::span<const float> samples);

// The same write on the calling thread; false when it failed.
// Thread: any. Allocates: yes. Blocks: file I/O.
bool write_pcm_cache(const std::filesystem::path& path, std::span<const float> samples);

}  // namespace melodara
