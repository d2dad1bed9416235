// One input line through the whole answer path: decode, read, dispatch, write.
// The answer must always read back as JSON.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "service/dispatch.h"
#include "service/request_loop.h"
#include "service/request_reader.h"
#include "service/startup.h"

using namespace melodara;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ServiceRecords records = build_service_records();
  std::string_view raw(reinterpret_cast<const char*>(data), size);
  if (const auto nl = raw.find('\n'); nl != std::string_view::npos) raw = raw.substr(0, nl + 1);
  const auto line = prepare_line(raw);
  if (!line) return 0;

  Response response;
  auto request = read_request(*line);
  if (!request) {
    response = malformed_line_response(request.error());
  } else {
    const Operation* op = find_operation(request->operation);
    // Operations that run tools, threads or device scans are left to their own tests.
    if (op != nullptr && op->lock == LockClass::UnlockedSlowWork) return 0;
    dispatch_request(response, records.state, records.jobs, std::move(*request));
  }
  const std::string text = serialize_response(response);
  if (!read_json_value(text)) std::abort();
  return 0;
}
