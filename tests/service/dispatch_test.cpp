#include "dispatch_fixture.h"

#include <set>
#include <string_view>

#include "service/request_reader.h"

namespace melodara {
namespace {

using Dispatch = DispatchFixture;

TEST_F(Dispatch, HandshakeLine) {
  const Response r = run("h1", "system.handshake");
  ASSERT_TRUE(r.ok);
  const std::string ops = to_json_text(supported_operations_json());
  EXPECT_EQ(
      serialize_response(r),
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

TEST(OperationTable, NineUnlockedOperationsOfWhichSixRunOnWorkers) {
  const std::set<std::string_view> unlocked = {
      "devices.list",          "player.remote-load",    "player.load-status",
      "player.load-cancel",    "player.resolve-video",  "tunewerk.record.stop",
      "player.search-youtube", "player.resolve-source", "player.search-bilibili"};
  const std::set<std::string_view> workers = {"player.remote-load",    "player.resolve-video",
                                              "tunewerk.record.stop",  "player.search-youtube",
                                              "player.resolve-source", "player.search-bilibili"};
  for (const auto name : SUPPORTED_OPERATIONS) {
    const Operation* op = find_operation(name);
    ASSERT_NE(op, nullptr) << name;
    EXPECT_EQ(op->lock == LockClass::UnlockedSlowWork, unlocked.contains(name)) << name;
    EXPECT_EQ(is_worker_operation(name), workers.contains(name)) << name;
  }
  EXPECT_FALSE(is_worker_operation("Player.remote-load"));
  EXPECT_FALSE(is_worker_operation(""));
}

TEST_F(Dispatch, PayloadLimitMeasuresCompactText) {
  // A string payload is its length plus two quotes as compact text.
  EXPECT_TRUE(run("r", "system.handshake", Json(std::string(kMaxPayloadBytes - 2, 'x'))).ok);
  expect_error(run("r", "system.handshake", Json(std::string(kMaxPayloadBytes - 1, 'x'))),
               ErrorCode::InvalidRequest, "payload exceeds the request limit");
  // Blanks in the request line do not count: only the compact rewrite is measured.
  std::string spaced =
      R"({"protocolVersion":2,"requestId":"r","operation":"system.handshake","payload":[ ")" +
      std::string(kMaxPayloadBytes - 6, 'y') + R"(" ,   1 ]})";
  auto request = read_request(spaced);
  ASSERT_TRUE(request.has_value());
  EXPECT_TRUE(run(std::move(*request)).ok);
}

TEST_F(Dispatch, SoundboardAcknowledgesPads) {
  struct Case {
    Json payload;
    const char* pad;
  } cases[] = {{nullptr, "sfx_01"},
               {Json{{"padId", "pad-7"}}, "pad-7"},
               {Json{{"padId", 7}}, "sfx_01"},
               {Json::array({"padId"}), "sfx_01"}};
  for (const auto& c : cases) {
    const Response r = run("s", "audio.soundboard.trigger", c.payload);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(to_json_text(*r.result), std::string(R"({"padId":")") + c.pad +
                                           R"(","queued":true,"routes":["monitor","program-stream"]})");
  }
  EXPECT_EQ(to_json_text(*run("s", "audio.soundboard.stop").result), R"({"queued":true,"stopped":true})");
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
  EXPECT_EQ(
      serialize_response(malformed_line_response("missing field `operation` at line 1 column 37")),
      R"({"protocolVersion":2,"sessionEpoch":1,"requestId":"","ok":false,"error":{"code":"invalid_request","message":"Malformed JSON request: missing field `operation` at line 1 column 37","retryable":false}})");
  Response withDetails = malformed_line_response("x");
  withDetails.error->details = Json{{"k", 1}};
  EXPECT_TRUE(serialize_response(withDetails).ends_with(R"("retryable":false,"details":{"k":1}}})"));
}

}  // namespace
}  // namespace melodara
