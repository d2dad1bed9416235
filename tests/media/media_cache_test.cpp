// The memory cache of decoded tracks: six entries in insertion order, replaced
// in place, samples shared rather than copied.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "media/media_cache.h"

namespace melodara {
namespace {

MediaCacheEntry entry_of(float value, std::optional<std::string> key = std::nullopt) {
  MediaCacheEntry e;
  e.media = make_decoded_media(std::vector<float>(4, value));
  e.detected_key = std::move(key);
  e.tempo_known = 1;
  e.tempo_bpm = value;
  return e;
}

// Sources of this test only: other tests of the process may have used the cache.
std::string source(int i) { return "/media-cache-test/" + std::to_string(i) + ".mp3"; }

TEST(MediaCache, KeepsTheLastSixInInsertionOrder) {
  for (int i = 0; i < 7; ++i) media_cache_put(source(i), entry_of(static_cast<float>(i)));
  EXPECT_FALSE(media_cache_get(source(0)).has_value());
  for (int i = 1; i < 7; ++i) {
    const auto hit = media_cache_get(source(i));
    ASSERT_TRUE(hit.has_value()) << i;
    EXPECT_EQ(hit->tempo_bpm, static_cast<float>(i));
  }
  // A hit does not move an entry, a replacement keeps its place: the next new
  // source still evicts source 1, the oldest.
  media_cache_put(source(1), entry_of(10.0f, "Am"));
  media_cache_put(source(7), entry_of(7.0f));
  EXPECT_FALSE(media_cache_get(source(1)).has_value());
  EXPECT_TRUE(media_cache_get(source(2)).has_value());
  EXPECT_TRUE(media_cache_get(source(7)).has_value());
}

TEST(MediaCache, ReplacesInPlaceAndSharesSamples) {
  const std::string s = "/media-cache-test/replace.mp3";
  MediaCacheEntry first = entry_of(1.0f);
  const SharedSamples samples = first.media.samples;
  media_cache_put("  " + s + "\t", std::move(first));  // stored under the trimmed text
  const auto hit = media_cache_get(s);
  ASSERT_TRUE(hit.has_value());
  EXPECT_EQ(hit->media.samples, samples) << "the same buffer, not a copy";
  EXPECT_EQ(samples.use_count(), 3);  // ours, the cache's and the hit's

  media_cache_put(s, entry_of(2.0f, "C#m"));
  const auto replaced = media_cache_get(s);
  ASSERT_TRUE(replaced.has_value());
  EXPECT_EQ(replaced->detected_key, "C#m");
  EXPECT_EQ((*replaced->media.samples)[0], 2.0f);
  EXPECT_EQ(samples.use_count(), 2) << "the cache let go of the old track";
}

TEST(MediaCache, BlankSourcesAndEmptyTracksAreIgnored) {
  media_cache_put("   ", entry_of(1.0f));
  EXPECT_FALSE(media_cache_get("   ").has_value());
  EXPECT_FALSE(media_cache_get("").has_value());
  MediaCacheEntry empty;
  empty.media = make_decoded_media({});
  media_cache_put("/media-cache-test/empty.mp3", std::move(empty));
  EXPECT_FALSE(media_cache_get("/media-cache-test/empty.mp3").has_value());
}

}  // namespace
}  // namespace melodara
