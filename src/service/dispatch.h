#pragma once
// The one entry that answers a parsed request: validation against the
// protocol limits, then the operation from the table, under the state lock for
// the operations that hold it.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "service/operations.h"

namespace melodara {

inline constexpr std::size_t kMaxIdBytes = 128;
inline constexpr std::size_t kMaxPayloadBytes = 524'288;

// An invalid_request error with a (user-facing) message. Thread: any. Allocates: no. Blocks: no.
ResponseError invalid_request(std::string message);
// The answer to a request that needs the state after a holder failed: retryable.
// Thread: any. Allocates: yes. Blocks: no.
ResponseError state_poisoned();

// A request taken as far as the order it was sent in decides: validated and,
// for an operation that claims, its claim made. What is left runs later,
// possibly on another thread.
struct StartedRequest {
  Request request;
  std::uint64_t epoch = 1;  // the state's epoch at validation
  std::optional<ResponseError> refused;
  RequestRest rest;  // a claiming operation's rest; empty for the others
};

// Validates `request` and makes a claiming operation's claim.
// Thread: the reader (or whoever then finishes it), holding no lock.
// Allocates: yes. Blocks: briefly on the state, job-table and media-cache locks.
StartedRequest start_request(const SharedState& state, const LoadJobTable& jobs, Request request);

// Runs what is left of a started request and fills `response`. A handler that
// throws ends the calling thread without an answer (and poisons the state lock
// when it held it).
// Thread: the reader or a request worker, holding no lock. Allocates: yes.
// Blocks: on the state lock; unlocked operations as long as their slow work.
void finish_request(Response& response, const SharedState& state, const LoadJobTable& jobs,
                    StartedRequest started);

// start_request and finish_request on the calling thread.
// Thread, Allocates, Blocks: as finish_request.
void dispatch_request(Response& response, const SharedState& state, const LoadJobTable& jobs,
                      Request request);

}  // namespace melodara
