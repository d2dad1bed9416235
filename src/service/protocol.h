#pragma once
// The line protocol's records: one `Request` per input line, one `Response` per
// answer line, the error codes and the table of supported operations.
#include <array>
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

inline constexpr std::array<std::string_view, 45> SUPPORTED_OPERATIONS = {
    "system.handshake",
    "player.remote-load",
    "player.load-status",
    "player.load-cancel",
    "player.search-youtube",
    "player.search-bilibili",
    "player.resolve-source",
    "player.resolve-video",
    "player.play",
    "player.pause",
    "player.seek",
    "player.recalculate-key",
    "player.status",
    "player.unload",
    "devices.list",
    "audio.configure",
    "audio.start",
    "audio.stop",
    "audio.status",
    "audio.session.get",
    "audio.program-stream.open",
    "audio.program-stream.close",
    "audio.program-stream.status",
    "audio.publish-output.open",
    "audio.publish-output.close",
    "audio.publish-output.status",
    "audio.set-mixer",
    "audio.mute",
    "audio.soundboard.trigger",
    "audio.soundboard.stop",
    "tunewerk.dsp.get",
    "tunewerk.dsp.set",
    "tunewerk.dsp.preset",
    "tunewerk.dsp.reverb-mode",
    "tunewerk.dsp.audio-chain",
    "tunewerk.dsp.voice-profile",
    "tunewerk.dsp.routing",
    "tunewerk.dsp.telemetry",
    "tunewerk.voice-cal.start",
    "tunewerk.voice-cal.status",
    "tunewerk.voice-cal.finish",
    "tunewerk.voice-cal.cancel",
    "tunewerk.record.start",
    "tunewerk.record.stop",
    "tunewerk.record.status",
};

inline constexpr std::array<std::string_view, 6> WORKER_OPERATIONS = {
    "player.remote-load",    "player.resolve-video",  "tunewerk.record.stop",
    "player.search-youtube", "player.resolve-source", "player.search-bilibili",
};

bool is_worker_operation(std::string_view operation);

// The compact line, without the line end.
std::string serialize_response(const Response& response);

// The answer to a line that does not read as a `Request`.
Response malformed_line_response(std::string_view reader_message);

Json supported_operations_json();
Json json_string_from_str(std::string_view text);

}  // namespace melodara
