#include "media/media_limits.h"

namespace melodara {

RunOptions tool_run_options(std::chrono::milliseconds limit, std::uint64_t max_stdout,
                            const MediaLimits& limits) {
  RunOptions options;
  options.limit = limit;
  options.max_stdout_bytes = max_stdout;
  options.max_stderr_bytes = limits.max_tool_text_bytes;
  options.cancelled = limits.cancelled;
  return options;
}

bool load_cancelled(const MediaLimits& limits) { return limits.cancelled && limits.cancelled(); }

}  // namespace melodara
