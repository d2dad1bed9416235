#pragma once
// The one entry that answers a parsed request: validation against the
// protocol limits, then the operation from the table, under the state lock for
// the operations that hold it.
#include <expected>
#include <string_view>

#include "service/protocol.h"
#include "state/native_state.h"

namespace melodara {

inline constexpr std::size_t kMaxIdBytes = 128;
inline constexpr std::size_t kMaxPayloadBytes = 524'288;

using HandlerResult = std::expected<Json, ResponseError>;

// Handlers of the 36 operations that hold the state lock for their whole run.
// They may take the request as validated.
using LockedHandler = HandlerResult (*)(NativeState& state, const Json& payload);
// Handlers of the nine operations that do slow work without the state lock.
using BriefHandler = HandlerResult (*)(const SharedState& state, const LoadJobTable& jobs,
                                       const Json& payload);

struct OperationEntry {
  std::string_view name;
  LockedHandler locked = nullptr;  // exactly one of the two is set
  BriefHandler brief = nullptr;
};

// The 45 operations, in the order of `SUPPORTED_OPERATIONS`.
const OperationEntry* find_operation(std::string_view name);

// An invalid_request error with a (user-facing) message.
ResponseError invalid_request(std::string message);
// The answer to a request that needs the state after a holder failed: retryable.
ResponseError state_poisoned();

// Fills `response` for `request`. A handler that throws ends the calling thread
// without an answer (and poisons the state lock when it held it).
void dispatch_request(Response& response, const SharedState& state, const LoadJobTable& jobs,
                      Request request);

}  // namespace melodara
