#include "service/protocol.h"

namespace melodara {

std::string_view error_code_text(ErrorCode code) {
  switch (code) {
    case ErrorCode::InvalidRequest: return "invalid_request";
    case ErrorCode::UnsupportedOperation: return "unsupported_operation";
    case ErrorCode::InternalError: return "internal_error";
    case ErrorCode::EngineUnavailable: return "engine_unavailable";
  }
  return "internal_error";
}

std::string serialize_response(const Response& r) {
  // The envelope keeps its own key order; only `result` objects are sorted.
  std::string out;
  out.reserve(128);
  out += "{\"protocolVersion\":";
  out += std::to_string(r.protocolVersion);
  out += ",\"sessionEpoch\":";
  out += std::to_string(r.sessionEpoch);
  out += ",\"requestId\":";
  write_json_string(out, r.requestId);
  out += ",\"ok\":";
  out += r.ok ? "true" : "false";
  if (r.result) {
    out += ",\"result\":";
    write_json(out, *r.result);
  }
  if (r.error) {
    out += ",\"error\":{\"code\":";
    write_json_string(out, error_code_text(r.error->code));
    out += ",\"message\":";
    write_json_string(out, r.error->message);
    out += ",\"retryable\":";
    out += r.error->retryable ? "true" : "false";
    if (r.error->details) {
      out += ",\"details\":";
      write_json(out, *r.error->details);
    }
    out += '}';
  }
  out += '}';
  return out;
}

Response malformed_line_response(std::string_view reader_message) {
  Response r;
  r.sessionEpoch = 1;
  r.ok = false;
  r.error = ResponseError{
      ErrorCode::InvalidRequest, "Malformed JSON request: " + std::string(reader_message), false, {}};
  return r;
}

Json json_string_from_str(std::string_view text) { return Json(std::string(text)); }

}  // namespace melodara
