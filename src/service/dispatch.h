#pragma once
// The one entry that answers a parsed request: validation against the
// protocol limits, then the operation from the table, under the state lock for
// the operations that hold it.
#include <cstddef>

#include "service/operations.h"

namespace melodara {

inline constexpr std::size_t kMaxIdBytes = 128;
inline constexpr std::size_t kMaxPayloadBytes = 524'288;

// An invalid_request error with a (user-facing) message. Thread: any. Allocates: no. Blocks: no.
ResponseError invalid_request(std::string message);
// The answer to a request that needs the state after a holder failed: retryable.
// Thread: any. Allocates: yes. Blocks: no.
ResponseError state_poisoned();

// Fills `response` for `request`. A handler that throws ends the calling thread
// without an answer (and poisons the state lock when it held it).
// Thread: the reader or a request worker, holding no lock. Allocates: yes.
// Blocks: on the state lock; unlocked operations as long as their slow work.
void dispatch_request(Response& response, const SharedState& state, const LoadJobTable& jobs,
                      Request request);

}  // namespace melodara
