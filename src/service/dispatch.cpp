#include "service/dispatch.h"

#include <utility>

namespace melodara {

ResponseError invalid_request(std::string message) {
  return ResponseError{ErrorCode::InvalidRequest, std::move(message), false, {}};
}

ResponseError state_poisoned() {
  return ResponseError{ErrorCode::InternalError, "Native state mutex poisoned", true, {}};
}

namespace {

std::optional<ResponseError> validate(const Request& request) {
  if (request.requestId.empty() || request.requestId.size() > kMaxIdBytes)
    return invalid_request("requestId must be 1-128 bytes");
  if (request.operation.empty() || request.operation.size() > kMaxIdBytes)
    return invalid_request("operation is missing or too long");
  if (find_operation(request.operation) == nullptr)
    return ResponseError{
        ErrorCode::UnsupportedOperation, "Unsupported native operation: " + request.operation, false, {}};
  std::string text;
  text.reserve(128);
  write_json(text, request.payload);
  if (text.size() > kMaxPayloadBytes) return invalid_request("payload exceeds the request limit");
  return std::nullopt;
}

void fill(Response& response, std::uint64_t epoch, HandlerResult result) {
  response.sessionEpoch = epoch;
  response.ok = result.has_value();
  if (result) {
    response.result = std::move(*result);
  } else {
    response.error = std::move(result.error());
  }
}

}  // namespace

StartedRequest start_request(const SharedState& state, const LoadJobTable& jobs, Request request) {
  StartedRequest started;
  {
    auto guard = state->lock();
    if (!guard.poisoned()) started.epoch = guard->sessionEpoch;
  }
  started.refused = validate(request);
  if (!started.refused) {
    const Operation* op = find_operation(request.operation);
    if (const auto* claim = std::get_if<ClaimingHandler>(&op->handler)) {
      started.rest = (*claim)(state, jobs, request);
    }
  }
  started.request = std::move(request);
  return started;
}

void finish_request(Response& response, const SharedState& state, const LoadJobTable& jobs,
                    StartedRequest started) {
  response.protocolVersion = 2;
  Request& request = started.request;
  response.requestId = std::move(request.requestId);
  if (started.refused) {
    fill(response, started.epoch, std::unexpected(std::move(*started.refused)));
    return;
  }
  if (started.rest) {
    fill(response, started.epoch, started.rest());
    return;
  }

  const Operation* op = find_operation(request.operation);
  if (op->lock == LockClass::UnlockedSlowWork) {
    fill(response, started.epoch, std::get<UnlockedHandler>(op->handler)(state, jobs, request));
    return;
  }

  auto guard = state->lock();
  if (guard.poisoned()) {
    fill(response, request.sessionEpoch, std::unexpected(state_poisoned()));
    return;
  }
  HandlerResult result = std::get<LockedHandler>(op->handler)(*guard, request.payload);
  const std::uint64_t state_epoch = guard->sessionEpoch;
  guard.release();
  fill(response, state_epoch, std::move(result));
}

void dispatch_request(Response& response, const SharedState& state, const LoadJobTable& jobs,
                      Request request) {
  finish_request(response, state, jobs, start_request(state, jobs, std::move(request)));
}

}  // namespace melodara
