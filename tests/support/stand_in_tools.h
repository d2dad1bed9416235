#pragma once
// The stand-in clang, cp and killall of stand_in_tools/, for tests that put
// that folder first on PATH. Each logs every call to the file named by
// MELODARA_TOOL_LOG, one line per call: the tool's name, then its arguments,
// separated by tabs. A set-up program made by the stand-in clang logs its run
// as the line "setup-program".
#include <filesystem>
#include <string>
#include <vector>

namespace melodara::test {

inline constexpr const char* kStandInToolsDir = MELODARA_STAND_IN_TOOLS_DIR;

using ToolCall = std::vector<std::string>;

// The calls logged so far; an absent log holds none.
std::vector<ToolCall> read_tool_log(const std::filesystem::path& log);

}  // namespace melodara::test
