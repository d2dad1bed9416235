#pragma once
// Where answers go: one mutex around standard output, so lines from the main
// thread and from request workers never interleave.
#include <memory>

#include "core/mutex.h"
#include "service/protocol.h"

namespace melodara {

struct OutputTarget {
  int fd = 1;
};

using ResponseOutput = std::shared_ptr<Mutex<OutputTarget>>;

// Thread: start-up. Allocates: yes. Blocks: no.
ResponseOutput make_response_output(int fd);

// Serialises and writes one answer line. Take no other lock while calling this.
// Write errors are ignored; a poisoned output writes nothing.
// Thread: the reader or a request worker. Allocates: yes. Blocks: on the output lock and the write.
void write_response(const ResponseOutput& output, const Response& response);

}  // namespace melodara
