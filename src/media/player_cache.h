#pragma once
// The player cache folder on disk and the names of a clip's files in it:
// decoded audio (".pcm48k"), fetched source (".audio"), clip video (".mp4") and
// the analysis side file (".meta.json"), with the tests that decide whether a
// cached file is usable.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace melodara {

inline constexpr std::uintmax_t kUsablePcmBytes = 4097;
inline constexpr std::uintmax_t kUsableAudioBytes = 1025;

// True when the trimmed source starts with "https://" or "http://".
// Thread: any. Allocates: no. Blocks: no.
bool is_web_source(std::string_view source);

// home + ".cache/melodara/player-cache", or the temporary folder +
// "melodara-player-cache" without a home; created (with parents) on each call,
// creation errors ignored. Thread: any. Allocates: yes. Blocks: file system.
std::filesystem::path player_cache_dir();

// "<clip id>.dl<our pid>.": the start of every file name the yt-dlp download
// of a source writes into the cache folder.
// Thread: any. Allocates: yes. Blocks: no.
std::string download_name_prefix(std::string_view source);

// The pid in a name that starts like download_name_prefix's, else none.
// Thread: any. Allocates: no. Blocks: no.
std::optional<pid_t> download_name_pid(std::string_view name);

// The pid in a clip video's partial "<clip id>.part.<pid>.<thread number>.mp4"
// (download_clip_video's), else none.
// Thread: any. Allocates: no. Blocks: no.
std::optional<pid_t> clip_video_part_pid(std::string_view name);

// Removes from the cache folder the temporaries of our own writers whose
// process is gone or has our pid ("*.tmp-<pid>-<n>" of a replacing write, the
// download's "<id>.dl<pid>.*", a clip video's partial): what a killed service
// left. Files of another running process and every other file stay. Returns
// how many went.
// Thread: any (start-up, before anything writes into the cache). Allocates: yes.
// Blocks: file system.
std::size_t remove_stale_cache_temporaries();

// The cache paths of a source's files. None when the trimmed source is empty.
// Thread: any. Allocates: yes. Blocks: file system (creates the cache folder).
std::optional<std::filesystem::path> pcm_cache_path(std::string_view source);
std::optional<std::filesystem::path> analysis_meta_path(std::string_view source);
// None unless the trimmed source is a web source. Same contract.
std::optional<std::filesystem::path> audio_cache_path(std::string_view source);
std::optional<std::filesystem::path> video_cache_path(std::string_view source);

// Usable ".pcm48k": exists with at least 4,097 bytes. Usable ".audio": 1,025.
// Thread: any. Allocates: no. Blocks: file system.
bool is_usable_pcm_cache(const std::filesystem::path& path);
bool is_usable_audio_cache(const std::filesystem::path& path);

// A regular file (not reached through a symbolic link) with at least 16,385
// bytes whose first read has "ftyp" at byte 4 and no "av01" (AV1 video is not
// accepted). Thread: any. Blocks: file I/O, never on a FIFO.
bool is_mp4_file(const std::filesystem::path& path);

// The path as text when the file exists and is larger than 16,384 bytes.
// Thread: any. Allocates: yes. Blocks: file system.
std::optional<std::string> cache_file_path_if_large(const std::filesystem::path& path);

}  // namespace melodara
