#include "service/request_loop.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "core/threads.h"
#include "core/utf8.h"
#include "service/dispatch.h"
#include "service/exports_in_flight.h"
#include "service/request_reader.h"

namespace melodara {

std::optional<std::string> prepare_line(std::string_view raw) {
  const std::string decoded = utf8_lossy(raw);
  const std::string_view text = strip_leading_boms(trim_unicode(decoded));
  if (text.empty()) return std::nullopt;
  return std::string(text);
}

namespace {

// `in_flight` (an export's count, or null) ends only once the answer is out.
void request_worker(StartedRequest started, SharedState state, LoadJobTable jobs, ResponseOutput output,
                    std::shared_ptr<const ExportInFlight> in_flight) {
  Response response;
  finish_request(response, state, jobs, std::move(started));
  write_response(output, response);
  in_flight.reset();
}

}  // namespace

bool serve_line(std::string_view line, const SharedState& state, const LoadJobTable& jobs,
                const ResponseOutput& output, bool allow_workers) {
  auto request = read_request(line);
  if (!request) {
    write_response(output, malformed_line_response(request.error()));
    return true;
  }
  if (!allow_workers || !is_worker_operation(request->operation)) {
    Response response;
    dispatch_request(response, state, jobs, std::move(*request));
    write_response(output, response);
    return true;
  }
  // Counted before the claim, so an end of input read right after the stop
  // cannot miss it.
  std::shared_ptr<const ExportInFlight> in_flight;
  if (request->operation == "tunewerk.record.stop") in_flight = std::make_shared<const ExportInFlight>();
  // Here, in the order read: what a worker operation claims (the player, a
  // take) is what the requests before it left, and those after it find it claimed.
  // Shared: the thread body must be copyable, the rest of a claim is not.
  auto started = std::make_shared<StartedRequest>(start_request(state, jobs, std::move(*request)));
  return spawn_detached("", [started, state, jobs, output, in_flight]() mutable {
    request_worker(std::move(*started), state, jobs, output, std::move(in_flight));
  });
}

void run_request_loop(int fd, const SharedState& state, const LoadJobTable& jobs,
                      const ResponseOutput& output) {
  std::vector<char> buffer(64 * 1024);
  std::size_t begin = 0, end = 0;  // unread bytes of `buffer`
  std::string line;
  line.reserve(4096);
  bool input_open = true;
  while (input_open) {
    line.clear();
    bool have_line = false;
    while (!have_line) {
      if (begin == end) {
        ssize_t n;
        do {
          n = ::read(fd, buffer.data(), buffer.size());
        } while (n < 0 && errno == EINTR);
        if (n == 0 || (n < 0 && errno == EBADF)) {
          input_open = false;
          break;
        }
        if (n < 0) return;  // any other read error drops the partial line
        begin = 0;
        end = static_cast<std::size_t>(n);
      }
      const char* start = buffer.data() + begin;
      const auto* nl = static_cast<const char*>(std::memchr(start, '\n', end - begin));
      const std::size_t take = nl ? static_cast<std::size_t>(nl - start) + 1 : end - begin;
      line.append(start, take);
      begin += take;
      have_line = nl != nullptr;
    }
    if (line.empty()) break;
    if (auto text = prepare_line(line)) {
      if (!serve_line(*text, state, jobs, output)) die("failed to spawn thread");
    }
  }
}

}  // namespace melodara
