#include "media/search_results.h"

#include <gtest/gtest.h>

namespace melodara {
namespace {

std::vector<std::string> ids(const std::vector<SearchResult>& results) {
  std::vector<std::string> out;
  for (const SearchResult& r : results) out.push_back(r.id);
  return out;
}

std::vector<std::string> titles(const std::vector<SearchResult>& results) {
  std::vector<std::string> out;
  for (const SearchResult& r : results) out.push_back(r.title);
  return out;
}

Json renderer(const std::string& id) { return Json{{"videoRenderer", {{"videoId", id}}}}; }

TEST(WebSearchResults, WalkOrderDedupeAndCap) {
  // The object's own renderer comes before its members, members in ascending key
  // order whatever their order in the text; "zLater" is never reached once 15 are in.
  std::string numbered;
  for (int i = 1; i <= 12; ++i) {
    const std::string id = (i < 10 ? "r0" : "r") + std::to_string(i);
    numbered += R"({"videoRenderer":{"videoId":")" + id + R"("}},)";
    if (i == 3) numbered += R"({"videoRenderer":{"videoId":"r03"}},)";
  }
  numbered.pop_back();
  const Json page = Json::parse(R"({
    "zLater": {"videoRenderer": {"videoId": "late"}},
    "contents": [
      {"videoRenderer": {"videoId": "outer",
                         "title": {"runs": [{"text": "Một "}, {"x": 1}, {"text": "bài"}]},
                         "inner": {"videoRenderer": {"videoId": "inner", "title": {"simpleText": "Trong"}}}},
       "a": {"videoRenderer": {"videoId": "a1", "title": {"runs": []}}}},
      {"shelfRenderer": {"items": [
        {"videoRenderer": {"videoId": "outer", "title": {"simpleText": "again"}}},
        {"videoRenderer": {"videoId": ""}},
        {"videoRenderer": {"videoId": 7}},
        {"videoRenderer": "text"},
        {"videoRenderer": {"videoId": "s1", "title": "plain"}}]}},
      {"itemSectionRenderer": {"contents": [)" +
                                numbered + "]}}]}");
  std::vector<SearchResult> results;
  collect_video_renderers(page, results);
  EXPECT_EQ(ids(results), (std::vector<std::string>{"outer", "a1", "inner", "s1", "r01", "r02", "r03", "r04",
                                                    "r05", "r06", "r07", "r08", "r09", "r10", "r11"}));
  EXPECT_EQ(titles(results).at(0), "Một bài");
  EXPECT_EQ(titles(results).at(1), "");
  EXPECT_EQ(titles(results).at(2), "Trong");
  EXPECT_EQ(titles(results).at(3), "YouTube Karaoke");
  EXPECT_EQ(titles(results).at(4), "YouTube Karaoke");

  // A full list is left alone; a new walk skips ids already listed.
  collect_video_renderers(Json::array({renderer("more")}), results);
  EXPECT_EQ(results.size(), kMaxWebSearchResults);
  std::vector<SearchResult> some{*youtube_entry_to_result(Json{{"id", "x"}})};
  collect_video_renderers(Json::array({renderer("x"), renderer("y"), renderer("x")}), some);
  EXPECT_EQ(ids(some), (std::vector<std::string>{"x", "y"}));
}

TEST(WebSearchResults, FortyRenderersGiveTheFirstFifteenDistinct) {
  Json list = Json::array();
  for (int i = 0; i < 40; ++i) list.push_back(renderer("id" + std::to_string(i / 2)));
  std::vector<SearchResult> results;
  collect_video_renderers(Json{{"contents", list}}, results);
  std::vector<std::string> expected;
  for (int i = 0; i < 15; ++i) expected.push_back("id" + std::to_string(i));
  EXPECT_EQ(ids(results), expected);
}

TEST(WebSearchResults, JoinTextRuns) {
  struct Case {
    const char* json;
    std::optional<std::string> text;
  } cases[] = {
      {R"({"runs": []})", ""},
      {R"({"runs": [{"text": "A"}, {"x": 1}, {"text": "B"}]})", "AB"},
      {R"({"runs": [{"text": "A"}, "B", {"text": 5}, {"text": " C"}]})", "A C"},
      {R"({"runs": [], "simpleText": "S"})", ""},
      {R"({"runs": "x", "simpleText": "S"})", "S"},
      {R"({"simpleText": "A"})", "A"},
      {R"({"simpleText": 3})", std::nullopt},
      {R"({})", std::nullopt},
      {R"("text")", std::nullopt},
      {R"(null)", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(join_text_runs(Json::parse(c.json)), c.text) << c.json;
}

TEST(SearchResultJson, KeysInOrderWithTheSitesAddresses) {
  const auto yt = youtube_entry_to_result(Json{{"id", "abc123"}, {"title", "T"}});
  ASSERT_TRUE(yt);
  EXPECT_EQ(
      to_json_text(search_result_json(*yt)),
      R"({"id":"abc123","source":"youtube","thumbnail":"https://i.ytimg.com/vi/abc123/mqdefault.jpg","title":"T","url":"https://www.youtube.com/watch?v=abc123","webpageUrl":"https://www.youtube.com/watch?v=abc123"})");
  const auto bili =
      bilibili_entry_to_result(Json{{"bvid", "BV1xx"}, {"title", "B"}, {"pic", "//i0.hdslb.com/a.jpg"}});
  ASSERT_TRUE(bili);
  EXPECT_EQ(
      to_json_text(search_result_json(*bili)),
      R"({"id":"BV1xx","source":"bilibili","thumbnail":"//i0.hdslb.com/a.jpg","title":"B","url":"https://www.bilibili.com/video/BV1xx","webpageUrl":"https://www.bilibili.com/video/BV1xx"})");
  EXPECT_EQ(to_json_text(search_results_json({})), "[]");
}

TEST(YtdlpResults, EntriesInOrderWithoutDedupeOrLimit) {
  const Json entries = Json::parse(R"([
    {"id": "a", "title": "Tựa"}, 5, {"title": "no id"}, {"id": 3}, {"id": "", "title": 9}, {"id": "a", "title": "Tựa"}
  ])");
  const auto results = collect_youtube_results(entries);
  EXPECT_EQ(ids(results), (std::vector<std::string>{"a", "", "a"}));
  EXPECT_EQ(titles(results), (std::vector<std::string>{"Tựa", "YouTube Karaoke", "Tựa"}));
  EXPECT_EQ(results[1].url, "https://www.youtube.com/watch?v=");

  Json many = Json::array();
  for (int i = 0; i < 20; ++i) many.push_back(Json{{"id", std::to_string(i)}});
  EXPECT_EQ(collect_youtube_results(many).size(), 20u);
  EXPECT_TRUE(collect_youtube_results(Json{{"id", "a"}}).empty());
  EXPECT_TRUE(collect_youtube_results(nullptr).empty());
}

TEST(BilibiliResults, TitlesLoseOnlyTheHighlightTags) {
  struct Case {
    Json title;
    std::string expected;
  } cases[] = {
      {R"(<em class="keyword">karaoke</em> remix)", "karaoke remix"},
      {R"(A<em class="keyword">B</em>C<em class="keyword">D</em>)", "ABCD"},
      {R"(<em class='keyword'>x</em>)", "<em class='keyword'>x"},
      {R"(&lt;b&gt; &amp; <b>x</b>)", R"(&lt;b&gt; &amp; <b>x</b>)"},
      {"  spaced  ", "  spaced  "},
      {nullptr, "Bilibili"},
      {7, "Bilibili"},
  };
  for (const Case& c : cases) {
    Json item = {{"bvid", "BV1"}};
    if (!c.title.is_null()) item["title"] = c.title;
    const auto r = bilibili_entry_to_result(item);
    ASSERT_TRUE(r) << c.title;
    EXPECT_EQ(r->title, c.expected) << c.title;
  }
}

TEST(BilibiliResults, UsableItemsInOrder) {
  const Json items = Json::parse(R"([
    {"bvid": "BV1", "pic": "https://i0.hdslb.com/1.jpg"}, {"title": "no bvid"}, {"bvid": 2}, "x",
    {"bvid": "BV3", "pic": 5}, {"bvid": "BV1"}
  ])");
  const auto results = collect_bilibili_results(items);
  EXPECT_EQ(ids(results), (std::vector<std::string>{"BV1", "BV3", "BV1"}));
  EXPECT_EQ(results[0].thumbnail, "https://i0.hdslb.com/1.jpg");
  EXPECT_EQ(results[1].thumbnail, "");
  EXPECT_EQ(results[2].thumbnail, "");
  EXPECT_TRUE(collect_bilibili_results(Json::object()).empty());
}

}  // namespace
}  // namespace melodara
