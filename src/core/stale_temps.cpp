#include "core/stale_temps.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <string>
#include <system_error>

namespace melodara {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTempMark = ".tmp-";

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

fs::path temp_path_beside(const fs::path& path) {
  static std::atomic<std::uint64_t> counter{0};
  fs::path temp = path;
  temp += std::string(kTempMark) + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
  return temp;
}

std::optional<pid_t> pid_from_text(std::string_view text) {
  if (!all_digits(text)) return std::nullopt;
  pid_t pid = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (ec != std::errc{} || end != text.data() + text.size() || pid <= 0) return std::nullopt;
  return pid;
}

std::optional<pid_t> temp_name_pid(std::string_view name) {
  const std::size_t mark = name.rfind(kTempMark);
  if (mark == std::string_view::npos) return std::nullopt;
  const std::string_view rest = name.substr(mark + kTempMark.size());
  const std::size_t dash = rest.find('-');
  if (dash == std::string_view::npos || !all_digits(rest.substr(dash + 1))) return std::nullopt;
  return pid_from_text(rest.substr(0, dash));
}

std::optional<pid_t> temp_name_pid_of(std::string_view name, std::string_view file_name) {
  if (!name.starts_with(file_name)) return std::nullopt;
  // Exactly one suffix: its mark is the last one in the name.
  const std::string_view suffix = name.substr(file_name.size());
  if (suffix.rfind(kTempMark) != 0) return std::nullopt;
  return temp_name_pid(suffix);
}

bool process_running(pid_t pid) {
  if (pid <= 0) return false;
  // EPERM: it exists but belongs to someone else.
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

std::size_t remove_stale_temporaries(const fs::path& folder, const TempOwner& owner) {
  std::size_t removed = 0;
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return 0;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const fs::path& path = it->path();
    const auto pid = owner(path.filename().native());
    if (!pid || (*pid != ::getpid() && process_running(*pid))) continue;
    std::error_code type_ec;
    if (!it->is_regular_file(type_ec) || it->is_symlink(type_ec)) continue;
    if (::unlink(path.c_str()) == 0) ++removed;
  }
  return removed;
}

}  // namespace melodara
