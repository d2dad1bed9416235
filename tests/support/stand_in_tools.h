#pragma once
// Argument logs of stand-in external tools. Each run appends one record, in
// one printf so that overlapping runs keep their records whole: the number of
// fields, then the fields, each NUL-terminated, as `printf '%s\0' "$#" "$@"`
// writes them.
//
// The stand-in clang, cp and killall of stand_in_tools/ (for tests that put
// that folder first on PATH) log to the one file named by MELODARA_TOOL_LOG,
// their own name first; a set-up program made by the stand-in clang logs the
// single field "setup-program" when it runs.
#include <filesystem>
#include <string>
#include <vector>

namespace melodara::test {

inline constexpr const char* kStandInToolsDir = MELODARA_STAND_IN_TOOLS_DIR;

using ToolCall = std::vector<std::string>;

// The records logged so far, in order; an absent log holds none.
std::vector<ToolCall> read_tool_log(const std::filesystem::path& log);

}  // namespace melodara::test
