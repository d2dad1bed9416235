#include "media/media_url.h"

#include "core/process_runner.h"
#include "core/tool_discovery.h"
#include "core/utf8.h"
#include "media/media_hosts.h"
#include "media/player_cache.h"

namespace melodara {

bool is_page_address(std::string_view source) {
  const std::string_view s = trim_unicode(source);
  if (!s.starts_with("https://") && !s.starts_with("http://")) return false;
  for (std::string_view host : {kYoutubeMainHost, kYoutubeShortHost, kBilibiliHost}) {
    if (s.find(host) != std::string_view::npos) return true;
  }
  return false;
}

std::expected<Json, MediaUrlError> resolve_media_url(const Json& payload, std::string_view selector,
                                                     const MediaLimits& limits) {
  std::string_view url;
  if (payload.is_object()) {
    const auto it = payload.find("url");
    if (it != payload.end() && it->is_string()) url = it->get_ref<const std::string&>();
  }
  url = trim_unicode(url);
  if (url.empty()) return std::unexpected(MediaUrlError{ErrorCode::InvalidRequest, "Thiếu URL nguồn phát."});
  if (!is_page_address(url)) return Json{{"url", std::string(url)}};

  const std::optional<std::string> ytdlp = resolve_ytdlp_path();
  if (!ytdlp) {
    return std::unexpected(
        MediaUrlError{ErrorCode::EngineUnavailable, "Chưa cài yt-dlp để phân giải luồng phát."});
  }
  const ProcessResult run =
      run_process(Command{*ytdlp,
                          {"-4", "--socket-timeout", "10", "--no-config", "--no-playlist", "-g", "-f",
                           std::string(selector), std::string(url)}},
                  tool_run_options(limits.resolve_limit, limits.max_tool_text_bytes, limits));
  if (!run) {
    return std::unexpected(
        MediaUrlError{ErrorCode::InternalError, "Không phân giải được URL media: " + run.error()});
  }
  if (!exited_ok(run->status)) {
    return std::unexpected(MediaUrlError{ErrorCode::InternalError, "Không lấy được luồng phát trực tiếp."});
  }
  const std::string text =
      utf8_lossy(std::string_view(reinterpret_cast<const char*>(run->stdout.data()), run->stdout.size()));
  std::string_view first = text;
  first = first.substr(0, first.find('\n'));
  if (first.ends_with('\r')) first.remove_suffix(1);
  first = trim_unicode(first);
  if (first.empty())
    return std::unexpected(MediaUrlError{ErrorCode::InternalError, "URL media trực tiếp trống."});
  return Json{{"url", std::string(first)}};
}

}  // namespace melodara
