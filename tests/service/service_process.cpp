#include "service_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace melodara::testing {
namespace {

std::string make_temp_dir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "melodara-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return tmpl;
}

}  // namespace

ServiceProcess::ServiceProcess(ServiceOptions options, const std::map<std::string, std::string>& files) {
  root_ = make_temp_dir();
  home_ = options.home.empty() ? root_ + "/home" : options.home;
  workdir_ = root_ + "/work";
  std::filesystem::create_directories(home_);
  std::filesystem::create_directories(workdir_);
  for (const auto& [name, content] : files) {
    const std::filesystem::path file = std::filesystem::path(root_) / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
  }

  std::map<std::string, std::string> env = {
      {"HOME", home_},
      {"LANG", "C.UTF-8"},
      {"TMPDIR", root_},
  };
  std::string path;
  for (const auto& d : options.path_dirs) path += d + ":";
  env["PATH"] = path + "/usr/bin:/bin";
  for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* v = std::getenv(keep)) env[keep] = v;
  for (const auto& [k, v] : options.env) env[k] = v;
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  posix_spawn_file_actions_addchdir_np(&actions, workdir_.c_str());
  std::vector<std::string> words = options.wrapper;
  words.push_back(MELODARA_SERVICE_BINARY);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  // An ignored signal stays ignored across the spawn; the test itself has no limit.
  if (options.file_size_limit) signal(SIGXFSZ, SIG_IGN);
  const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc == 0 && options.file_size_limit) {
    // Set before the first request is written, so before any export.
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = *options.file_size_limit;  // the hard limit stays, so a test can lift it
    if (prlimit(pid_, RLIMIT_FSIZE, &limit, nullptr) != 0) throw std::runtime_error("prlimit failed");
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  in_ = in_pipe[1];
  out_ = out_pipe[0];
  err_ = err_pipe[0];
  if (rc != 0) throw std::runtime_error("spawn failed: " + std::string(std::strerror(rc)));
  // Our own writes to a service that is gone must fail, not kill the test.
  signal(SIGPIPE, SIG_IGN);
}

ServiceProcess::~ServiceProcess() {
  close_stdin();
  if (!status_ && !wait_exit(std::chrono::seconds(5))) {
    kill(pid_, SIGKILL);
    wait_exit(std::chrono::seconds(5));
  }
  close_stdout();
  if (err_ >= 0) close(err_);
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

bool ServiceProcess::write_raw(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void ServiceProcess::close_stdin() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void ServiceProcess::close_stdout() {
  if (out_ >= 0) close(out_);
  out_ = -1;
}

std::optional<std::string> ServiceProcess::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    const auto nl = buffered_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffered_.substr(0, nl);
      buffered_.erase(0, nl + 1);
      return line;
    }
    if (out_ < 0) return std::nullopt;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready <= 0) continue;
    char chunk[65536];
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) return std::nullopt;
    buffered_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> ServiceProcess::ask(const std::string& line) {
  if (!write_line(line)) return std::nullopt;
  return read_line();
}

nlohmann::json ServiceProcess::call(const std::string& operation, const nlohmann::json& payload) {
  const nlohmann::json request = {{"protocolVersion", 2},
                                  {"requestId", "r" + std::to_string(++next_id_)},
                                  {"operation", operation},
                                  {"payload", payload}};
  const auto line = ask(request.dump());
  if (!line) {
    ADD_FAILURE() << operation << ": no answer";
    return nlohmann::json::object();
  }
  const nlohmann::json answer = nlohmann::json::parse(*line);
  EXPECT_TRUE(answer["ok"].get<bool>()) << *line;
  return answer.value("result", nlohmann::json::object());
}

std::map<std::string, nlohmann::json> ServiceProcess::exchange(const std::vector<nlohmann::json>& requests,
                                                               std::chrono::milliseconds timeout) {
  std::string lines;
  std::set<std::string> waiting;
  for (const nlohmann::json& request : requests) {
    lines += request.dump() + "\n";
    waiting.insert(request.at("requestId").get<std::string>());
  }
  std::map<std::string, nlohmann::json> answers;
  if (!write_raw(lines)) {
    ADD_FAILURE() << "the service takes no input";
    return answers;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!waiting.empty()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const auto line = left.count() > 0 ? read_line(left) : std::nullopt;
    if (!line) {
      ADD_FAILURE() << waiting.size() << " requests unanswered, the first " << *waiting.begin();
      break;
    }
    nlohmann::json answer = nlohmann::json::parse(*line);
    const std::string id = answer.value("requestId", "");
    if (waiting.erase(id) == 0) {
      ADD_FAILURE() << (answers.contains(id) ? "answered twice: " : "an answer to no request: ") << *line;
      continue;
    }
    answers[id] = std::move(answer);
  }
  return answers;
}

std::optional<int> ServiceProcess::wait_exit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string ServiceProcess::stderr_text() {
  std::string text;
  char chunk[4096];
  while (true) {
    pollfd p{err_, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) break;
    const ssize_t n = ::read(err_, chunk, sizeof chunk);
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace melodara::testing
