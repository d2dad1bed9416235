#pragma once
// Writes a stopped take into the export folder: the mix as a 16-bit stereo WAV,
// for the diagnostic target also the vocal, dry-microphone and beat stems (each
// on a thread of its own, beside the mix), and an AAC copy of the mix for
// sharing, made by the external ffmpeg once the mix is written. Every file is
// written under a temporary name and renamed into place only when whole, so a
// failed or interrupted export leaves the previous take's file of that name.
#include <cstddef>
#include <filesystem>
#include <functional>
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

// Whether ffmpeg's finished output `file` is a playable copy of a mix of
// `mix_seconds`; the export has no demuxer of its own.
using ShareCopyCheck = std::function<bool(const std::filesystem::path& file, double mix_seconds)>;

struct RecordingExportJob {
  RecorderTarget target = RecorderTarget::diagnostic;
  RecordingPaths paths;
  const RecorderTake* take = nullptr;  // the stage target's stems are ignored
  ShareCopyCheck share_check;          // empty: no share copy counts
};

// What was written. A file that was not written keeps its previous content.
struct RecordingExportResult {
  std::optional<std::string> mix_error;  // the writer's message; no share copy then
  bool vocal_written = false, dry_written = false, beat_written = false;
  // ffmpeg exited with 0, left more than 256 bytes that pass the check, and
  // the copy was put in place.
  bool share_made = false;
};

// Thread: request worker (starts up to three stem threads and joins them).
// Allocates: yes. Blocks: file I/O and ffmpeg, to their end. Holds no lock.
RecordingExportResult export_recording_files(const RecordingExportJob& job);

// Removes the export temporaries in `folder` whose writing process is gone,
// or of our own pid: only names that are one of the export file names followed
// by a temporary's suffix. Returns how many were removed.
// Thread: any, at start-up before any export. Allocates: yes. Blocks: file I/O.
std::size_t remove_stale_export_temporaries(const std::filesystem::path& folder);

}  // namespace melodara
