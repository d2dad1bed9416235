#pragma once
// The line protocol's records: one `Request` per input line, one `Response` per
// answer line, and the error codes.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/error_code.h"
#include "core/json_writer.h"

namespace melodara {

struct Request {
  std::uint32_t protocolVersion = 0;
  std::string requestId;
  std::string operation;
  Json payload;  // null when absent
  std::uint64_t sessionEpoch = 0;
};

// "invalid_request" and so on. Thread: any. Allocates: no. Blocks: no.
std::string_view error_code_text(ErrorCode code);

struct ResponseError {
  ErrorCode code = ErrorCode::InternalError;
  std::string message;
  bool retryable = false;
  std::optional<Json> details;
};

struct Response {
  std::uint32_t protocolVersion = 2;
  std::uint64_t sessionEpoch = 1;
  std::string requestId;
  bool ok = false;
  std::optional<Json> result;
  std::optional<ResponseError> error;
};

// The compact line, without the line end. Thread: any. Allocates: yes. Blocks: no.
std::string serialize_response(const Response& response);

// The answer to a line that does not read as a `Request`.
// Thread: any. Allocates: yes. Blocks: no.
Response malformed_line_response(std::string_view reader_message);

// A JSON string holding a copy of `text`. Thread: any. Allocates: yes. Blocks: no.
Json json_string_from_str(std::string_view text);

}  // namespace melodara
