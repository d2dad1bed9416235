#pragma once
// File helpers of the media code: whole-file reads, and crash-safe cache writes:
// the bytes go to a fresh temporary name in the same folder and are renamed into
// place, so a process ended mid-write never leaves a short file under the final
// name. Also tracks writes still running on detached threads, so a side file
// that vouches for a file is written after it.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace melodara {

// Writes all of `bytes` to `fd`, resuming after partial and interrupted
// writes: 0, or the errno of the failing write (EIO when it wrote nothing).
// Thread: any. Blocks: file I/O.
int write_all(int fd, std::span<const std::uint8_t> bytes);

// The whole file, or none when it cannot be opened or read.
// Thread: any. Blocks: file I/O.
std::optional<std::vector<std::uint8_t>> read_file_bytes(const std::filesystem::path& path);

// Writes `bytes` over `path` through a temporary file and a rename. False on any
// failure; the temporary file is removed then and `path` is left as it was.
// Thread: any. Blocks: file I/O.
bool write_file_replacing(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// Marks a write of `path` as running / finished (balanced calls).
// Thread: any. Blocks: briefly on the registry mutex.
void begin_pending_write(const std::filesystem::path& path);
void end_pending_write(const std::filesystem::path& path);

// Waits until no write of `path` marked with begin_pending_write is running.
// Thread: any but a cache writer. Blocks: until those writes finish.
void wait_for_pending_writes(const std::filesystem::path& path);

}  // namespace melodara
