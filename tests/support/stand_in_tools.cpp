#include "stand_in_tools.h"

#include <fstream>

namespace melodara::test {

std::vector<ToolCall> read_tool_log(const std::filesystem::path& log) {
  std::vector<ToolCall> calls;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) {
    ToolCall call;
    std::size_t start = 0;
    for (;;) {
      const std::size_t tab = line.find('\t', start);
      call.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    calls.push_back(std::move(call));
  }
  return calls;
}

}  // namespace melodara::test
