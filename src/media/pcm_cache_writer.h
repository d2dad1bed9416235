#pragma once
// Writes decoded audio into the player cache on a detached thread, so a load
// returns its track without waiting for the disk. The writer shares the
// track's samples (no copy) and puts them in place by rename, then writes the
// side file that vouches for them: a ".pcm48k" never stands without a side
// file saying its samples are normalised, and a side file never stands beside
// samples that are not yet (or no longer) in place.
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "core/shared_samples.h"

namespace melodara {

// The side file that follows a cache write: the source it belongs to and what
// the track is known to carry.
struct SideFileNote {
  std::string source;
  std::optional<std::string> key;
  bool tempo_known = false;
  float tempo_bpm = 0.0f;
};

// With a path and more than 256 samples, writes the samples as little-endian
// floats over the file on a detached thread (temporary name, then rename), then
// the side file of `note` when one is given; otherwise does nothing. A failed
// write removes the old file, which the side file could otherwise vouch for.
// The write is registered as pending until it ends, so write_analysis_meta
// waits for it. Throws std::runtime_error("failed to spawn thread") when no
// thread can start.
// Thread: any. Blocks: no. Allocates: a reference to the samples.
void spawn_write_pcm_cache(const std::optional<std::filesystem::path>& path, SharedSamples samples,
                           std::optional<SideFileNote> note = std::nullopt);

// Writes the side file of `note` on a detached thread, after any running cache
// write of the source's ".pcm48k" (which puts its own side file first), so a
// load that has analysed its track never waits for the disk. The write is
// registered as pending on the side file's path until it ends. A note that no
// thread can take is dropped, as a failed write is.
// Thread: any. Blocks: no. Allocates: the note's copy.
void spawn_write_analysis_meta(SideFileNote note);

// The samples written over the file on the calling thread (temporary name
// synced to disk, then rename); false when it failed.
// Thread: any. Blocks: file I/O, to the disk.
// Allocates: yes (the file bytes).
bool write_pcm_cache(const std::filesystem::path& path, std::span<const float> samples);

}  // namespace melodara
