#include "core/env_paths.h"

#include <cstdlib>

#include "core/utf8.h"

namespace melodara {

std::optional<std::string> env_text(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || !utf8_valid(value)) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> home_folder() {
  // Set but empty is as good as unset: an empty home would put our folders
  // under whatever folder we were started from.
  for (const char* name : {"HOME", "USERPROFILE"}) {
    if (auto home = env_text(name); home && !home->empty()) return home;
  }
  return std::nullopt;
}

std::filesystem::path user_temp_dir() {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp != nullptr && *tmp != '\0') return std::filesystem::path(tmp);
  return std::filesystem::path("/tmp");
}

}  // namespace melodara
