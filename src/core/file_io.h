#pragma once
// Whole-file reads of regular files only (a FIFO, a device or our own standard
// input is never opened in a way that blocks, nor read), and crash-safe writes:
// the bytes go to a fresh temporary name in the same folder and are renamed into
// place, so a process ended mid-write never leaves a short file under the final
// name.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/unique_fd.h"

namespace melodara {

// Writes all of `bytes` to `fd`, resuming after partial and interrupted
// writes: 0, or the errno of the failing write (EIO when it wrote nothing).
// Thread: any. Allocates: no. Blocks: file I/O.
int write_all(int fd, std::span<const std::uint8_t> bytes);

// Why a file was not read.
struct FileReadError {
  enum class Kind { NotFound, NotRegular, Directory, TooLarge, Failed } kind = Kind::Failed;
  int error = 0;             // errno for Failed
  std::string text() const;  // the system's text for the error
};

// Whether a symbolic link at the path itself is followed: a user's own file may
// be reached through one, a file in our cache folder never is.
enum class Links { Follow, Refuse };

// Opens a regular file for reading. The open never blocks (a FIFO or a device
// is refused, not waited on), and nothing but a regular file is returned.
// Thread: any. Allocates: no. Blocks: no.
std::expected<UniqueFd, FileReadError> open_regular_file(const std::filesystem::path& path, Links links);

// The whole regular file, at most `max_bytes` long (a longer one is TooLarge,
// and no more than that is ever read).
// Thread: any. Allocates: yes. Blocks: file I/O.
std::expected<std::vector<std::uint8_t>, FileReadError> read_regular_file(const std::filesystem::path& path,
                                                                          std::uint64_t max_bytes,
                                                                          Links links);

// The whole regular file (links followed), or none when it cannot be opened or read.
// Thread: any. Allocates: yes. Blocks: file I/O.
std::optional<std::vector<std::uint8_t>> read_file_bytes(const std::filesystem::path& path);

// Writes `bytes` over `path` as a ReplacingFile does (a temporary synced to
// disk, renamed over it, the folder synced). False on any failure; the
// temporary file is removed then and `path` is left as it was.
// Thread: any. Allocates: yes. Blocks: file I/O.
bool write_file_replacing(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

}  // namespace melodara
