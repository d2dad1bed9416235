#include "media/media_limits.h"

namespace melodara {

RunOptions tool_run_options(std::chrono::milliseconds limit, std::uint64_t max_stdout,
                            const MediaLimits& limits) {
  RunOptions options;
  options.limit = limit;
  options.max_stdout_bytes = max_stdout;
  options.max_stderr_bytes = limits.max_tool_text_bytes;
  return options;
}

}  // namespace melodara
