// Parse, dispatch and serialise of one request line, as the main thread does it.
#include <benchmark/benchmark.h>

#include "service/dispatch.h"
#include "service/request_loop.h"
#include "service/request_reader.h"
#include "service/startup.h"

namespace melodara {
namespace {

void answer_line(benchmark::State& bench, const std::string& raw) {
  ServiceRecords records = build_service_records();
  for (auto _ : bench) {
    auto line = prepare_line(raw);
    auto request = read_request(*line);
    Response response;
    if (request) {
      dispatch_request(response, records.state, records.jobs, std::move(*request));
    } else {
      response = malformed_line_response(request.error());
    }
    std::string text = serialize_response(response);
    benchmark::DoNotOptimize(text);
  }
}

void BM_Handshake(benchmark::State& bench) {
  answer_line(bench, R"({"protocolVersion":2,"requestId":"bench-1","operation":"system.handshake"})"
                     "\n");
}
BENCHMARK(BM_Handshake);

void BM_MalformedLine(benchmark::State& bench) {
  answer_line(bench, R"({"protocolVersion":2,"requestId":"bench-1","payload":{"a":[1,2,3]}})"
                     "\n");
}
BENCHMARK(BM_MalformedLine);

// The host polls this for its meters: parse, lock, snapshot, serialise.
void BM_AudioStatus(benchmark::State& bench) {
  answer_line(bench, R"({"protocolVersion":2,"requestId":"bench-1","operation":"audio.status"})"
                     "\n");
}
BENCHMARK(BM_AudioStatus);

}  // namespace
}  // namespace melodara
