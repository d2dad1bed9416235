#pragma once
// Whole-file reads, and crash-safe writes: the bytes go to a fresh temporary
// name in the same folder and are renamed into place, so a process ended
// mid-write never leaves a short file under the final name.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace melodara {

// The whole file, or none when it cannot be opened or read.
// Thread: any. Blocks: file I/O.
std::optional<std::vector<std::uint8_t>> read_file_bytes(const std::filesystem::path& path);

// Writes `bytes` over `path` through a temporary file and a rename. False on any
// failure; the temporary file is removed then and `path` is left as it was.
// Thread: any. Blocks: file I/O.
bool write_file_replacing(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

}  // namespace melodara
