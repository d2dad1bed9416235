#pragma once
// Runs the built service binary as the host does: a fresh empty HOME and
// working folder, a controlled PATH and environment, lines written to its
// stdin, answer lines read from its stdout with a time-out.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace melodara::testing {

struct ServiceOptions {
  std::map<std::string, std::string> env;  // added to (or replacing) the base environment
  std::vector<std::string> path_dirs;      // put before /usr/bin:/bin on PATH
  std::string home = {};                   // an existing HOME, left in place; empty: a fresh one
  // A full disk: the service's RLIMIT_FSIZE (its children inherit it), with
  // SIGXFSZ ignored so that writes past it fail instead of killing.
  std::optional<std::uint64_t> file_size_limit = {};
  // A program (by path) and its arguments that start the service, e.g. in a
  // namespace of its own; pid() is then the wrapper's.
  std::vector<std::string> wrapper = {};
};

class ServiceProcess {
 public:
  // `files` are written before the start, by path under the test's folder
  // ("home/..." or "work/..."), with the folders they need.
  explicit ServiceProcess(ServiceOptions options = {}, const std::map<std::string, std::string>& files = {});
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  const std::string& home() const { return home_; }
  pid_t pid() const { return pid_; }
  const std::string& workdir() const { return workdir_; }

  // Writes the bytes as they are (add "\n" yourself) or a line with "\n".
  bool write_raw(const std::string& bytes);
  bool write_line(const std::string& line) { return write_raw(line + "\n"); }
  void close_stdin();
  void close_stdout();

  // The next answer line without its "\n", or nothing on time-out or end.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Sends a line and reads one answer.
  std::optional<std::string> ask(const std::string& line);
  // Sends `operation` with `payload` under a fresh request id and returns the
  // answer's "result"; no answer or an answer that is not ok fails the test.
  nlohmann::json call(const std::string& operation, const nlohmann::json& payload = nullptr);
  // Writes the requests (objects with their own "requestId"s) in one write, as
  // a host that pipelines does, and reads until each has its answer or
  // `timeout` has passed: answers by request id. A request answered twice, an
  // answer to no request and one missing at the time-out fail the test.
  std::map<std::string, nlohmann::json> exchange(
      const std::vector<nlohmann::json>& requests,
      std::chrono::milliseconds timeout = std::chrono::seconds(30));

  // Exit status once the process ends (-signal when killed), or nothing on time-out.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::string stderr_text();

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string buffered_;
  std::string home_, workdir_, root_;
  std::optional<int> status_;
  int next_id_ = 0;
};

}  // namespace melodara::testing
