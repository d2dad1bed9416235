#include "service/dispatch.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "service/request_reader.h"
#include "service/startup.h"

namespace melodara {
namespace {

class Dispatch : public ::testing::Test {
 protected:
  ServiceRecords records = build_service_records();

  Response run(Request request) {
    Response response;
    dispatch_request(response, records.state, records.jobs, std::move(request));
    return response;
  }
  Response run(const std::string& id, const std::string& op, Json payload = nullptr,
               std::uint64_t epoch = 0) {
    return run(Request{2, id, op, std::move(payload), epoch});
  }
  static void expect_error(const Response& r, ErrorCode code, const std::string& message) {
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.result.has_value());
    ASSERT_TRUE(r.error.has_value());
    EXPECT_EQ(r.error->code, code);
    EXPECT_EQ(r.error->message, message);
    EXPECT_FALSE(r.error->details.has_value());
  }
  void poison_state() {
    try {
      auto guard = records.state->lock();
      throw std::runtime_error("handler failed");
    } catch (const std::runtime_error&) {
    }
    ASSERT_TRUE(records.state->is_poisoned());
  }
};

TEST_F(Dispatch, HandshakeLine) {
  const Response r = run("h1", "system.handshake");
  ASSERT_TRUE(r.ok);
  const std::string ops = to_json_text(supported_operations_json());
  EXPECT_EQ(serialize_response(r),
            R"({"protocolVersion":2,"sessionEpoch":1,"requestId":"h1","ok":true,"result":{"buildId":"tunewerk-dsp-10-10","capabilities":["audio","devices","camera","player"],"nativeProtocolVersion":2,"protocolVersion":2,"sessionEpoch":1,"supportedOperations":)" +
                ops + "}}");
  ASSERT_EQ(r.result->at("supportedOperations").size(), 45u);
  EXPECT_EQ(r.result->at("supportedOperations")[44], "tunewerk.record.status");
}

TEST_F(Dispatch, IdLimitsCountBytes) {
  const std::string e2 = "\xC3\xA9";  // two bytes
  std::string id64x2;
  for (int i = 0; i < 64; ++i) id64x2 += e2;
  struct Case {
    std::string id, op;
    bool ok;
    const char* message;
  } cases[] = {
      {std::string(128, 'a'), "system.handshake", true, ""},
      {id64x2, "system.handshake", true, ""},
      {std::string(129, 'a'), "system.handshake", false, "requestId must be 1-128 bytes"},
      {id64x2 + "a", "system.handshake", false, "requestId must be 1-128 bytes"},
      {"", "system.handshake", false, "requestId must be 1-128 bytes"},
      {"r", "", false, "operation is missing or too long"},
      {"r", std::string(129, 'x'), false, "operation is missing or too long"},
      {"", "", false, "requestId must be 1-128 bytes"},
  };
  for (const auto& c : cases) {
    const Response r = run(c.id, c.op);
    EXPECT_EQ(r.ok, c.ok) << c.id.size() << " " << c.op.size();
    EXPECT_EQ(r.requestId, c.id);
    EXPECT_EQ(r.sessionEpoch, 1u);
    if (!c.ok) expect_error(r, ErrorCode::InvalidRequest, c.message);
  }
}

TEST_F(Dispatch, OperationNamesMatchExactly) {
  expect_error(run("r", "Player.play"), ErrorCode::UnsupportedOperation,
               "Unsupported native operation: Player.play");
  expect_error(run("r", "system.handshake "), ErrorCode::UnsupportedOperation,
               "Unsupported native operation: system.handshake ");
  for (const auto name : SUPPORTED_OPERATIONS) EXPECT_NE(find_operation(name), nullptr) << name;
}

TEST_F(Dispatch, PayloadLimitMeasuresCompactText) {
  // A string payload is its length plus two quotes as compact text.
  EXPECT_TRUE(run("r", "system.handshake", Json(std::string(kMaxPayloadBytes - 2, 'x'))).ok);
  expect_error(run("r", "system.handshake", Json(std::string(kMaxPayloadBytes - 1, 'x'))),
               ErrorCode::InvalidRequest, "payload exceeds the request limit");
  // Blanks in the request line do not count: only the compact rewrite is measured.
  std::string spaced = R"({"protocolVersion":2,"requestId":"r","operation":"system.handshake","payload":[ ")" +
                       std::string(kMaxPayloadBytes - 6, 'y') + R"(" ,   1 ]})";
  auto request = read_request(spaced);
  ASSERT_TRUE(request.has_value());
  EXPECT_TRUE(run(std::move(*request)).ok);
}

TEST_F(Dispatch, SoundboardAcknowledgesPads) {
  struct Case {
    Json payload;
    const char* pad;
  } cases[] = {{nullptr, "sfx_01"}, {Json{{"padId", "pad-7"}}, "pad-7"}, {Json{{"padId", 7}}, "sfx_01"},
               {Json::array({"padId"}), "sfx_01"}};
  for (const auto& c : cases) {
    const Response r = run("s", "audio.soundboard.trigger", c.payload);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(to_json_text(*r.result),
              std::string(R"({"padId":")") + c.pad + R"(","queued":true,"routes":["monitor","program-stream"]})");
  }
  EXPECT_EQ(to_json_text(*run("s", "audio.soundboard.stop").result), R"({"queued":true,"stopped":true})");
}

TEST_F(Dispatch, OperationsOfLaterSubsystemsSayNotAvailable) {
  const Response r = run("r", "audio.status");
  expect_error(r, ErrorCode::InternalError, "operation not available in this build");
  EXPECT_FALSE(r.error->retryable);
}

TEST_F(Dispatch, PoisonedStateAnswersRetryableInternalError) {
  poison_state();
  const Response locked = run("r", "audio.status", nullptr, 42);
  expect_error(locked, ErrorCode::InternalError, "Native state mutex poisoned");
  EXPECT_TRUE(locked.error->retryable);
  EXPECT_EQ(locked.sessionEpoch, 42u);
  EXPECT_EQ(run("r", "system.handshake").sessionEpoch, 0u);  // no epoch in the request: 0 echoed

  // Validation still reads through the poisoned lock, with epoch 1.
  const Response invalid = run("", "audio.status", nullptr, 42);
  expect_error(invalid, ErrorCode::InvalidRequest, "requestId must be 1-128 bytes");
  EXPECT_EQ(invalid.sessionEpoch, 1u);

  // Operations that do not hold the lock still run their handler.
  const Response brief = run("r", "devices.list", nullptr, 42);
  if (brief.error) {
    EXPECT_NE(brief.error->message, "Native state mutex poisoned");
  }
  EXPECT_EQ(brief.sessionEpoch, 1u);
}

TEST(ResponseLine, MalformedLineAnswer) {
  EXPECT_EQ(serialize_response(malformed_line_response("missing field `operation` at line 1 column 37")),
            R"({"protocolVersion":2,"sessionEpoch":1,"requestId":"","ok":false,"error":{"code":"invalid_request","message":"Malformed JSON request: missing field `operation` at line 1 column 37","retryable":false}})");
  Response withDetails = malformed_line_response("x");
  withDetails.error->details = Json{{"k", 1}};
  EXPECT_TRUE(serialize_response(withDetails).ends_with(R"("retryable":false,"details":{"k":1}}})"));
}

}  // namespace
}  // namespace melodara
