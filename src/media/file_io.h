#pragma once
// File helpers of the media code: the whole-file reads and replacing writes of
// core, and a registry of writes still running on detached threads, so a side
// file that vouches for a file is written after it.
#include <filesystem>

#include "core/file_io.h"

namespace melodara {

// Marks a write of `path` as running / finished (balanced calls).
// Thread: any. Allocates: yes. Blocks: briefly on the registry mutex.
void begin_pending_write(const std::filesystem::path& path);
void end_pending_write(const std::filesystem::path& path);

// Waits until no write of `path` marked with begin_pending_write is running.
// Thread: any but a cache writer. Allocates: no. Blocks: until those writes finish.
void wait_for_pending_writes(const std::filesystem::path& path);

}  // namespace melodara
