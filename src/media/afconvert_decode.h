#pragma once
// Conversion through the system converter "/usr/bin/afconvert" (absent on
// Linux, where it fails like any missing program): the bytes go to a temporary
// input file, the converter writes a float WAV, and its data chunk is the result.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "media/media_limits.h"

namespace melodara {

// Stereo 48 kHz samples (the converter's f32le data, not normalised), or why
// none: Refused when the converter ran and failed, Unavailable when it could
// not run or the conversion is longer than the track bound (refused unread). The temporary
// files are created exclusively, without following links, under names that
// cannot be guessed, in the per-user temporary folder, and removed on every path.
// Thread: any. Blocks: runs the converter to its end.
// Allocates: yes (the samples).
std::expected<std::vector<float>, DecodeFailure> decode_with_afconvert(std::span<const std::uint8_t> bytes,
                                                                       const MediaLimits& limits = {});

// The input file's extension by sniffing: "m4a", "mp3", "wav" or "ogg".
// Thread: any. Allocates: no. Blocks: no.
std::string_view afconvert_input_extension(std::span<const std::uint8_t> bytes);

// The body of the first "data" chunk (clipped to the file, longer than 8 bytes);
// without one, everything from byte 44 for files of 4,097 bytes or more.
std::optional<std::span<const std::uint8_t>> wav_data_chunk(std::span<const std::uint8_t> wav);

// Creates a new empty file `prefix` + random token + "." + `extension` in `dir`
// with O_EXCL and O_NOFOLLOW (mode 0600); none when that keeps failing.
// Thread: any. Allocates: yes. Blocks: file system.
std::optional<std::filesystem::path> create_private_temp_file(const std::filesystem::path& dir,
                                                              std::string_view prefix,
                                                              std::string_view extension);

}  // namespace melodara
