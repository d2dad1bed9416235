#pragma once
// Writes a stopped take into the export folder: the mix as a 16-bit stereo WAV,
// for the diagnostic target also the vocal, dry-microphone and beat stems (each
// on a thread of its own, beside the mix), and an AAC copy of the mix for
// sharing, made by the external ffmpeg once the mix is written.
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "state/recorder_slot.h"

namespace melodara {

// Shorter lists are written padded with zeros to this many samples (0.05 s).
inline constexpr std::size_t kRecordingMinSamples = 4'800;

struct RecordingPaths {
  std::filesystem::path mix, share, vocal, dry, beat;
};

// The target's export file names in `folder`.
RecordingPaths recording_paths(const std::filesystem::path& folder, RecorderTarget target);

// A path as answers and ffmpeg take it: UTF-8, invalid bytes as U+FFFD.
std::string recording_path_text(const std::filesystem::path& path);

// The length a list is written with.
std::size_t recording_padded_size(const RecorderSamples& list);

struct RecordingExportJob {
  RecorderTarget target = RecorderTarget::diagnostic;
  RecordingPaths paths;
  const RecorderTake* take = nullptr;  // the stage target's stems are ignored
};

// What was written. Files that fail are left as the failure left them.
struct RecordingExportResult {
  std::optional<std::string> mix_error;  // the writer's message; no share copy then
  bool vocal_written = false, dry_written = false, beat_written = false;
  bool share_made = false;  // ffmpeg exited with 0 and left more than 256 bytes
};

// Thread: request worker (starts up to three stem threads and joins them).
// Allocates: yes. Blocks: file I/O and ffmpeg, to their end. Holds no lock.
RecordingExportResult export_recording_files(const RecordingExportJob& job);

// Serialises the stops of one target, from taking the samples out to storing
// the paths, so a second stop sees what the first exported. Never held with
// anything else but the state lock taken inside it.
std::mutex& recording_export_guard(RecorderTarget target);

}  // namespace melodara
