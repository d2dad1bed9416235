#pragma once
// Runs requests through the dispatcher against freshly built service records,
// with an empty temporary home and working folder.
#include <gtest/gtest.h>

#include <stdexcept>

#include "service/dispatch.h"
#include "service/startup.h"
#include "temp_files.h"

namespace melodara {

class DispatchFixture : public ::testing::Test {
 protected:
  // Start-up reads the saved voice profile: from empty folders, never the user's.
  test::TempHomeAndWorkdir folders;
  ServiceRecords records = build_service_records();

  Response run(Request request) {
    Response response;
    dispatch_request(response, records.state, records.jobs, std::move(request));
    return response;
  }
  // A request started (validated and claimed) here, to be finished later.
  StartedRequest start(const std::string& op, Json payload = nullptr) {
    return start_request(records.state, records.jobs, Request{2, "t", op, std::move(payload), 0});
  }
  Response finish(StartedRequest started) {
    Response response;
    finish_request(response, records.state, records.jobs, std::move(started));
    return response;
  }
  Response run(const std::string& id, const std::string& op, Json payload = nullptr,
               std::uint64_t epoch = 0) {
    return run(Request{2, id, op, std::move(payload), epoch});
  }
  // The result of a request that must succeed.
  Json ok(const std::string& op, Json payload = nullptr) {
    Response r = run("t", op, std::move(payload));
    EXPECT_TRUE(r.ok) << op << ": " << (r.error ? r.error->message : "");
    return r.result.value_or(Json());
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
    } catch (const std::runtime_error&) {}
    ASSERT_TRUE(records.state->is_poisoned());
  }
  template <class F>
  void with_state(F&& f) {
    auto guard = records.state->lock();
    f(*guard);
  }
};

}  // namespace melodara
