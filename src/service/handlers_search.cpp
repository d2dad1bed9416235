// The two search operations. Each runs on a request worker of its own, never
// touches the state, and reaches the sites only through curl and yt-dlp run
// under a time limit; what they print is read with our own JSON reader.
#include <array>
#include <cstdint>

#include "core/process_runner.h"
#include "core/tool_discovery.h"
#include "core/utf8.h"
#include "media/media_hosts.h"
#include "media/search_results.h"
#include "service/handlers.h"
#include "service/payload.h"
#include "service/request_reader.h"

namespace melodara {
namespace {

// Time limits of the runs; the tools get shorter network limits of their own.
constexpr std::uint64_t kWebSearchLimitSeconds = 12;
constexpr std::uint64_t kYtdlpSearchLimitSeconds = 25;
constexpr std::uint64_t kBilibiliSearchLimitSeconds = 18;

constexpr std::string_view kWebSearchUserAgent =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36";
constexpr std::string_view kBilibiliUserAgent = "Mozilla/5.0 Melodara/1.0";

ResponseError internal_error(std::string message) {
  return ResponseError{ErrorCode::InternalError, std::move(message), false, {}};
}

// The payload's "query", trimmed; refused below two characters (not bytes).
std::expected<std::string, ResponseError> search_query(const Json& payload) {
  std::string query = payload_trimmed_text(payload, {"query"}).value_or("");
  if (utf8_scalar_count(query) < 2) return std::unexpected(invalid_request("Từ khóa cần ít nhất 2 ký tự."));
  return query;
}

// A tool's standard output as a JSON document; none when it is not UTF-8 JSON
// (or nests deeper than the reader allows).
std::optional<Json> read_tool_json(const Bytes& output) {
  const std::string_view text(reinterpret_cast<const char*>(output.data()), output.size());
  if (!utf8_valid(text)) return std::nullopt;
  auto document = read_json_value(text);
  if (!document) return std::nullopt;
  return std::move(*document);
}

Json results_answer(const std::vector<SearchResult>& results) {
  return Json{{"results", search_results_json(results)}};
}

// The site's own web search endpoint. Any failure, and an answer without hits,
// gives none: the caller then asks yt-dlp.
std::optional<std::vector<SearchResult>> youtube_web_search(const std::string& query) {
  const Json client = {
      {"clientName", "WEB"}, {"clientVersion", "2.20250101.00.00"}, {"gl", "VN"}, {"hl", "vi"}};
  const std::string body = to_json_text(Json{{"context", {{"client", client}}}, {"query", query}});
  const std::string endpoint = std::string(kYoutubeOrigin) + "/youtubei/v1/search?prettyPrint=false";
  const std::array<std::string_view, 11> args = {
      "-4", "-sL", "--max-time", "10", "-H", "Content-Type: application/json", "-A", kWebSearchUserAgent,
      "-d", body,  endpoint};
  const Command curl = append_args(Command{"curl", {}}, args);
  const ProcessResult run = run_process_with_timeout(curl, kWebSearchLimitSeconds, 0);
  if (!run || !exited_ok(run->status)) return std::nullopt;
  const std::optional<Json> page = read_tool_json(run->stdout);
  if (!page) return std::nullopt;
  std::vector<SearchResult> results;
  collect_video_renderers(*page, results);
  if (results.empty()) return std::nullopt;
  return results;
}

HandlerResult youtube_ytdlp_search(const std::string& query) {
  const std::optional<std::string> ytdlp = resolve_ytdlp_path();
  if (!ytdlp) {
    return std::unexpected(
        ResponseError{ErrorCode::EngineUnavailable, "Chưa cài yt-dlp để tìm kiếm YouTube.", false, {}});
  }
  const std::string search = "ytsearch10:" + query;
  const std::array<std::string_view, 9> args = {"-4",
                                                "--socket-timeout",
                                                "10",
                                                "--no-config",
                                                "--flat-playlist",
                                                "--dump-single-json",
                                                "--no-warnings",
                                                "--skip-download",
                                                search};
  const Command command = append_args(Command{*ytdlp, {}}, args);
  const ProcessResult run = run_process_with_timeout(command, kYtdlpSearchLimitSeconds, 0);
  if (!run) return std::unexpected(internal_error("Tìm kiếm YouTube thất bại: " + run.error()));
  if (!exited_ok(run->status)) return std::unexpected(internal_error("Tìm kiếm YouTube không thành công."));
  const std::optional<Json> dump = read_tool_json(run->stdout);
  if (!dump) return std::unexpected(internal_error("Dữ liệu YouTube không hợp lệ."));
  const auto entries = dump->find("entries");  // end() when the dump is no object
  return results_answer(entries == dump->end() ? std::vector<SearchResult>{}
                                               : collect_youtube_results(*entries));
}

// The items of the document's "data"."result" array, or none.
std::vector<SearchResult> bilibili_results(const Json& document) {
  const auto data = document.find("data");  // end() when the document is no object
  if (data == document.end()) return {};
  const auto items = data->find("result");
  return items == data->end() ? std::vector<SearchResult>{} : collect_bilibili_results(*items);
}

}  // namespace

HandlerResult handle_search_youtube(const SharedState&, const LoadJobTable&, const Request& request) {
  const auto query = search_query(request.payload);
  if (!query) return std::unexpected(query.error());
  if (auto hits = youtube_web_search(*query)) return results_answer(*hits);
  return youtube_ytdlp_search(*query);
}

HandlerResult handle_search_bilibili(const SharedState&, const LoadJobTable&, const Request& request) {
  const auto query = search_query(request.payload);
  if (!query) return std::unexpected(query.error());
  const std::string keyword = "keyword=" + *query;
  const std::string endpoint = std::string(kBilibiliApiOrigin) + "/x/web-interface/search/type";
  // "--get" makes curl send the encoded pairs as the query string.
  const std::array<std::string_view, 16> args = {"-4",
                                                 "-sL",
                                                 "--max-time",
                                                 "15",
                                                 "-A",
                                                 kBilibiliUserAgent,
                                                 "--get",
                                                 "--data-urlencode",
                                                 "search_type=video",
                                                 "--data-urlencode",
                                                 keyword,
                                                 "--data-urlencode",
                                                 "page=1",
                                                 "--data-urlencode",
                                                 "page_size=20",
                                                 endpoint};
  const Command curl = command_args16(Command{"curl", {}}, args);
  const ProcessResult run = run_process_with_timeout(curl, kBilibiliSearchLimitSeconds, 0);
  // curl's exit status is not judged: what it printed decides.
  if (!run) return std::unexpected(internal_error("Không kết nối được Bilibili: " + run.error()));
  const std::optional<Json> document = read_tool_json(run->stdout);
  if (!document) return std::unexpected(internal_error("Bilibili trả về dữ liệu không hợp lệ."));
  return results_answer(bilibili_results(*document));
}

}  // namespace melodara
