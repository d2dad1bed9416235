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

void dispatch_request(Response& response, const SharedState& state, const LoadJobTable& jobs,
                      Request request) {
  response.protocolVersion = 2;

  std::uint64_t validation_epoch = 1;
  {
    auto guard = state->lock();
    if (!guard.poisoned()) validation_epoch = guard->sessionEpoch;
  }

  auto error = validate(request);
  response.requestId = std::move(request.requestId);
  if (error) {
    fill(response, validation_epoch, std::unexpected(std::move(*error)));
    return;
  }

  const Operation* op = find_operation(request.operation);
  if (op->lock == LockClass::UnlockedSlowWork) {
    fill(response, validation_epoch, std::get<UnlockedHandler>(op->handler)(state, jobs, request));
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

}  // namespace melodara
