#pragma once
// Search hits of the two video sites: the documents the search tools return
// (the YouTube web search answer, the yt-dlp search dump, the Bilibili search
// answer) mapped to the one record the host receives for every hit. All
// functions are pure: any JSON value in, never a failure.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json_writer.h"

namespace melodara {

struct SearchResult {
  std::string id;
  std::string title;
  std::string url;
  std::string webpageUrl;  // the same address as `url`
  std::string thumbnail;
  std::string source;  // "youtube" or "bilibili"
};

// One web search answer gives at most this many hits.
inline constexpr std::size_t kMaxWebSearchResults = 15;

// {"id", "source", "thumbnail", "title", "url", "webpageUrl"}, and the array of them.
// Thread: any. Allocates: yes. Blocks: no.
Json search_result_json(const SearchResult& result);
Json search_results_json(const std::vector<SearchResult>& results);

// Walks a web search answer depth first, an object's own "videoRenderer" before
// its members and the members in ascending key order, and appends every renderer
// with a non-empty "videoId" not yet in `results`, until `results` holds 15.
// Thread: any. Allocates: yes. Blocks: no.
void collect_video_renderers(const Json& value, std::vector<SearchResult>& results);

// The title text of a renderer field: its "runs" texts joined (empty when none
// has one), else its "simpleText", else none.
// Thread: any. Allocates: yes. Blocks: no.
std::optional<std::string> join_text_runs(const Json& value);

// "YouTube Karaoke", the title of a hit that has none. Thread: any. Allocates: no. Blocks: no.
std::string_view youtube_default_title();

// An entry of the yt-dlp dump with a text "id" (empty too); none otherwise.
// Thread: any. Allocates: yes. Blocks: no.
std::optional<SearchResult> youtube_entry_to_result(const Json& entry);
// Every usable entry of the dump's "entries", in order, duplicates kept; none of
// a value that is not an array. Thread: any. Allocates: yes. Blocks: no.
std::vector<SearchResult> collect_youtube_results(const Json& entries);

// An item of the Bilibili "result" array with a text "bvid", its title freed of
// the search highlight tags; none otherwise.
// Thread: any. Allocates: yes. Blocks: no.
std::optional<SearchResult> bilibili_entry_to_result(const Json& item);
// Every usable item, in order; none of a value that is not an array.
// Thread: any. Allocates: yes. Blocks: no.
std::vector<SearchResult> collect_bilibili_results(const Json& items);

}  // namespace melodara
