#pragma once
// The request loop: reads request lines from a descriptor, answers each on the
// response output; six slow operations run on a detached worker each.
#include <optional>
#include <string>
#include <string_view>

#include "service/response_output.h"
#include "state/native_state.h"

namespace melodara {

// Decodes (lossy UTF-8), trims Unicode white space and strips leading
// byte-order marks; nothing when the line gets no answer.
// Thread: any. Allocates: yes. Blocks: no.
std::optional<std::string> prepare_line(std::string_view raw);

// Answers one prepared line on the calling thread, or hands it to a worker.
// Returns false when a worker could not be started.
// Thread: the reader. Allocates: yes. Blocks: as dispatch_request, then on the output lock.
bool serve_line(std::string_view line, const SharedState& state, const LoadJobTable& jobs,
                const ResponseOutput& output, bool allow_workers = true);

// Reads `fd` until end of input (or a read error) and serves every line.
// Thread: the reader (the main thread). Allocates: yes. Blocks: reading `fd`, and as serve_line.
void run_request_loop(int fd, const SharedState& state, const LoadJobTable& jobs,
                      const ResponseOutput& output);

}  // namespace melodara
