#pragma once
// Environment-derived folders: the home folder
// (HOME, else USERPROFILE) and the per-user temporary folder.
#include <filesystem>
#include <optional>
#include <string>

namespace melodara {

// The variable's value when it is set and valid UTF-8.
// Thread: any. Allocates: yes. Blocks: no.
std::optional<std::string> env_text(const char* name);

// HOME, or USERPROFILE when HOME is unset, empty or not valid UTF-8; none
// when neither is set to a non-empty valid text.
// Thread: any. Allocates: yes. Blocks: no.
std::optional<std::string> home_folder();

// TMPDIR when set and non-empty, else "/tmp". Thread: any. Allocates: yes. Blocks: no.
std::filesystem::path user_temp_dir();

}  // namespace melodara
