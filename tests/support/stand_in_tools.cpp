#include "stand_in_tools.h"

#include <fstream>
#include <iterator>

namespace melodara::test {

std::vector<ToolCall> read_tool_log(const std::filesystem::path& log) {
  std::ifstream in(log, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<std::string> fields;
  for (std::size_t start = 0; start < bytes.size();) {
    std::size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    fields.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  std::vector<ToolCall> calls;
  for (std::size_t i = 0; i < fields.size();) {
    const std::size_t count = std::stoul(fields[i++]);
    const std::size_t end = std::min(i + count, fields.size());
    calls.emplace_back(fields.begin() + static_cast<std::ptrdiff_t>(i),
                       fields.begin() + static_cast<std::ptrdiff_t>(end));
    i = end;
  }
  return calls;
}

}  // namespace melodara::test
