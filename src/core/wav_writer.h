#pragma once
// Writes recordings as 16-bit stereo 48 kHz PCM WAV files, and picks the folder
// they are exported to.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace melodara {

// Output bytes converted and written at a time.
inline constexpr std::size_t kWavWriteChunkBytes = 256 * 1024;

// 44-byte header, then each sample clamped to +-0.9999, scaled by 32767 and
// rounded half away from zero (non-finite values are 0). An empty list is
// written as 0.1 s of stereo silence. The file is written under a temporary
// name beside `path`, synced, closed and only then renamed over it: on any
// failure the temporary is removed and a previous file at `path` stays whole.
// A failure returns the user-facing message.
// Thread: any but realtime. Allocates: yes (kWavWriteChunkBytes). Blocks: file I/O.
std::expected<void, std::string> write_wav_f32(const std::filesystem::path& path,
                                               std::span<const float> samples);
// The same for one list handed over in pieces (chunked storage, padding),
// written in order. Thread: any but realtime. Allocates: yes (kWavWriteChunkBytes). Blocks: file I/O.
std::expected<void, std::string> write_wav_f32_pieces(const std::filesystem::path& path,
                                                      std::span<const std::span<const float>> pieces);

// Thread body for the export's stem writers: write_wav_f32, result dropped.
// Thread: a stem writer. Allocates: yes. Blocks: file I/O.
void write_wav_thread(std::filesystem::path path, std::vector<float> samples);

// home/"Downloads" when it is a folder, else the home folder when it is one,
// else the per-user temporary folder. Never creates anything.
// Thread: any. Allocates: yes. Blocks: file system.
std::filesystem::path downloads_dir();

// One sample as written: -32764 .. 32764 for finite input, 0 otherwise.
// Thread: any. Allocates: no. Blocks: no.
std::int16_t wav_sample_i16(float x);

}  // namespace melodara
