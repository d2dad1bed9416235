#include "media/search_results.h"

#include <algorithm>

#include "media/media_hosts.h"

namespace melodara {
namespace {

constexpr std::string_view kBilibiliDefaultTitle = "Bilibili";
constexpr std::string_view kHighlightOpen = R"(<em class="keyword">)";
constexpr std::string_view kHighlightClose = "</em>";

// The member `key` of an object when it is a string.
const std::string* text_member(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

std::string concat(std::string_view a, std::string_view b, std::string_view c) {
  std::string out;
  out.reserve(a.size() + b.size() + c.size());
  out.append(a).append(b).append(c);
  return out;
}

SearchResult youtube_result(const std::string& id, std::string title) {
  std::string url = concat(kYoutubeOrigin, "/watch?v=", id);
  std::string thumbnail = concat(kYoutubeThumbnailOrigin, "/vi/", id);
  thumbnail += "/mqdefault.jpg";
  return {id, std::move(title), url, url, std::move(thumbnail), "youtube"};
}

// Every occurrence of `what` removed in one pass from left to right.
std::string remove_all(std::string_view text, std::string_view what) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = text.find(what); at != std::string_view::npos; at = text.find(what)) {
    out.append(text.substr(0, at));
    text.remove_prefix(at + what.size());
  }
  out.append(text);
  return out;
}

// The usable items of an array, mapped in order.
template <class Map>
std::vector<SearchResult> map_items(const Json& items, Map map) {
  std::vector<SearchResult> results;
  if (!items.is_array()) return results;
  for (const Json& item : items)
    if (auto r = map(item)) results.push_back(std::move(*r));
  return results;
}

// Appends the object's own "videoRenderer" when it is a new, usable hit.
void append_renderer(const Json& object, std::vector<SearchResult>& results) {
  const auto renderer = object.find("videoRenderer");
  if (renderer == object.end() || !renderer->is_object()) return;
  const std::string* id = text_member(*renderer, "videoId");
  if (id == nullptr || id->empty()) return;
  if (std::ranges::any_of(results, [&](const SearchResult& r) { return r.id == *id; })) return;
  const auto title_member = renderer->find("title");
  std::optional<std::string> title =
      title_member == renderer->end() ? std::nullopt : join_text_runs(*title_member);
  results.push_back(youtube_result(*id, title ? std::move(*title) : std::string(youtube_default_title())));
}

}  // namespace

Json search_result_json(const SearchResult& result) {
  return Json{{"id", result.id},       {"source", result.source}, {"thumbnail", result.thumbnail},
              {"title", result.title}, {"url", result.url},       {"webpageUrl", result.webpageUrl}};
}

Json search_results_json(const std::vector<SearchResult>& results) {
  Json list = Json::array();
  for (const SearchResult& r : results) list.push_back(search_result_json(r));
  return list;
}

void collect_video_renderers(const Json& value, std::vector<SearchResult>& results) {
  // An explicit stack instead of recursion: how deep the answer nests is up to the site.
  std::vector<const Json*> pending{&value};
  while (!pending.empty() && results.size() < kMaxWebSearchResults) {
    const Json& v = *pending.back();
    pending.pop_back();
    if (!v.is_structured()) continue;
    if (v.is_object()) append_renderer(v, results);
    // Pushed last to first, so they are visited first to last (objects in key order).
    for (auto it = v.rbegin(); it != v.rend(); ++it) pending.push_back(&*it);
  }
}

std::optional<std::string> join_text_runs(const Json& value) {
  if (!value.is_object()) return std::nullopt;
  const auto runs = value.find("runs");
  if (runs != value.end() && runs->is_array()) {
    std::string joined;
    for (const Json& run : *runs)
      if (const std::string* text = text_member(run, "text")) joined += *text;
    return joined;
  }
  if (const std::string* simple = text_member(value, "simpleText")) return *simple;
  return std::nullopt;
}

std::string_view youtube_default_title() { return "YouTube Karaoke"; }

std::optional<SearchResult> youtube_entry_to_result(const Json& entry) {
  const std::string* id = text_member(entry, "id");
  if (id == nullptr) return std::nullopt;
  const std::string* title = text_member(entry, "title");
  return youtube_result(*id, title ? *title : std::string(youtube_default_title()));
}

std::vector<SearchResult> collect_youtube_results(const Json& entries) {
  return map_items(entries, youtube_entry_to_result);
}

std::optional<SearchResult> bilibili_entry_to_result(const Json& item) {
  const std::string* bvid = text_member(item, "bvid");
  if (bvid == nullptr) return std::nullopt;
  const std::string* title = text_member(item, "title");
  const std::string* pic = text_member(item, "pic");
  const std::string_view raw_title = title ? std::string_view(*title) : kBilibiliDefaultTitle;
  std::string url = concat(kBilibiliOrigin, "/video/", *bvid);
  return SearchResult{*bvid,
                      remove_all(remove_all(raw_title, kHighlightOpen), kHighlightClose),
                      url,
                      url,
                      pic ? *pic : std::string(),
                      "bilibili"};
}

std::vector<SearchResult> collect_bilibili_results(const Json& items) {
  return map_items(items, bilibili_entry_to_result);
}

}  // namespace melodara
