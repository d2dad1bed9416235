#include "media/media_cache.h"

#include <utility>
#include <vector>

#include "core/mutex.h"
#include "core/utf8.h"

namespace melodara {
namespace {

using Entries = std::vector<std::pair<std::string, MediaCacheEntry>>;

// Never destroyed: detached load threads may use it while the process exits.
Mutex<Entries>& cache() {
  static auto* entries = new Mutex<Entries>();
  return *entries;
}

}  // namespace

std::optional<MediaCacheEntry> media_cache_get(std::string_view source) {
  const std::string_view key = trim_unicode(source);
  if (key.empty()) return std::nullopt;
  auto g = cache().lock();
  if (g.poisoned()) return std::nullopt;
  for (const auto& [entry_source, entry] : *g) {
    if (entry_source == key) return entry;
  }
  return std::nullopt;
}

void media_cache_put(std::string_view source, MediaCacheEntry entry) {
  const std::string_view key = trim_unicode(source);
  if (key.empty() || !entry.media.samples || entry.media.samples->empty()) return;
  std::optional<MediaCacheEntry> evicted;
  {
    auto g = cache().lock();
    if (g.poisoned()) return;
    Entries& list = *g;
    for (auto& [entry_source, existing] : list) {
      if (entry_source == key) {
        std::swap(existing, entry);  // the old contents leave with `entry`, after the lock
        return;
      }
    }
    if (list.size() >= kMediaCacheEntries) {
      evicted = std::move(list.front().second);
      list.erase(list.begin());
    }
    list.emplace_back(std::string(key), std::move(entry));
  }
}

}  // namespace melodara
