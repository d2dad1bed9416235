#pragma once
// The memory cache of decoded tracks: the last six loaded, keyed by their
// trimmed source text, oldest first, so loading a link again costs no decoding.
// Entries share their samples with the player; one process-wide list behind
// one poisoning mutex, taken only for the walk and the copy (lock order: inside
// the load-job table's lock, never with the state's).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "media/decoded_media.h"

namespace melodara {

inline constexpr std::size_t kMediaCacheEntries = 6;

struct MediaCacheEntry {
  std::optional<std::string> detected_key;
  std::uint32_t tempo_known = 0;
  float tempo_bpm = 0.0f;
  DecodedMedia media;  // channels, duration and rate for the answer; the samples shared
};

// A copy of the entry whose source equals the trimmed text (its samples shared,
// not copied); none for a blank source, a poisoned lock or no match. A hit does
// not move the entry. Thread: any. Blocks: briefly on the cache mutex.
std::optional<MediaCacheEntry> media_cache_get(std::string_view source);

// Replaces the entry of the same source in place, or appends a new one and
// drops the oldest beyond six; ignored for a blank source or an empty track.
// An evicted track is released after the lock.
// Thread: any. Blocks: briefly on the cache mutex.
// Allocates: yes (the entry); frees an evicted track after the lock.
void media_cache_put(std::string_view source, MediaCacheEntry entry);

}  // namespace melodara
