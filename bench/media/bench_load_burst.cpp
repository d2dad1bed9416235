// Fifty asynchronous loads of different local files sent to the built service
// at once, as a user clicking through a list does: only the last one can be
// installed. Reports the service's peak child processes, peak threads and
// peak resident memory (VmHWM), the time until the player holds a track and
// loads nothing more, and in how many rounds that track was the last one sent.
//
// Two binaries side by side, run alternately: "after" is the service built
// beside this benchmark; "before" is the one named by MELODARA_BENCH_BEFORE
// (for example one built from a worktree of an older commit), skipped when unset.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/process_runner.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kLoads = 50;
constexpr int kTrackSeconds = 30;

const fs::path& bench_dir() {
  static const fs::path dir = [] {
    const fs::path d = fs::temp_directory_path() / ("melodara-bench-burst-" + std::to_string(::getpid()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

// One 30 s MP3 made with ffmpeg, copied under fifty names: each load is a
// source of its own.
const std::vector<fs::path>& tracks() {
  static const std::vector<fs::path> files = [] {
    std::vector<fs::path> out;
    const fs::path first = bench_dir() / "track-0.mp3";
    const melodara::Command make{
        "ffmpeg",
        {"-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
         "aevalsrc=0.3*sin(2*PI*220*t)+0.05*(random(0)-0.5)|0.3*sin(2*PI*330*t):s=44100:d=" +
             std::to_string(kTrackSeconds),
         "-c:a", "libmp3lame", "-b:a", "192k", first.string()}};
    const auto made = melodara::run_process_plain(make);
    if (!made || !melodara::exited_ok(made->status)) return out;
    out.push_back(first);
    for (int i = 1; i < kLoads; ++i) {
      const fs::path copy = bench_dir() / ("track-" + std::to_string(i) + ".mp3");
      fs::copy_file(first, copy, fs::copy_options::overwrite_existing);
      out.push_back(copy);
    }
    return out;
  }();
  return files;
}

fs::path after_binary() {
  return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "src/service/melodara-native";
}

std::optional<fs::path> before_binary() {
  const char* path = std::getenv("MELODARA_BENCH_BEFORE");
  if (path == nullptr || *path == '\0') return std::nullopt;
  return fs::path(path);
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Live descendants of `root` (not zombies), from /proc.
int live_descendants(pid_t root) {
  std::vector<std::pair<pid_t, pid_t>> parent_of;  // pid, ppid
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc", ec)) {
    const std::string name = e.path().filename().string();
    if (name.empty() || name[0] < '0' || name[0] > '9') continue;
    const std::string stat = read_file(e.path() / "stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos || stat.size() < close + 4 || stat[close + 2] == 'Z') continue;
    std::istringstream rest(stat.substr(close + 4));
    pid_t ppid = 0;
    rest >> ppid;
    parent_of.emplace_back(std::stoi(name), ppid);
  }
  std::set<pid_t> inside{root};
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& [pid, ppid] : parent_of) {
      if (inside.contains(ppid) && !inside.contains(pid)) grew = inside.insert(pid).second;
    }
  }
  return static_cast<int>(inside.size()) - 1;
}

int thread_count(pid_t pid) {
  std::error_code ec;
  int n = 0;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return n;
}

long vm_hwm_kib(pid_t pid) {
  std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  }
  return 0;
}

// The service in a fresh HOME and working folder, its standard streams piped.
class Service {
 public:
  explicit Service(const fs::path& binary) {
    root_ = bench_dir() / ("run-" + std::to_string(++runs_));
    fs::remove_all(root_);
    fs::create_directories(root_ / "home");
    fs::create_directories(root_ / "work");
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, (root_ / "work").c_str());
    std::vector<std::string> env{"HOME=" + (root_ / "home").string(), "TMPDIR=" + root_.string(),
                                 "LANG=C.UTF-8", "PATH=/usr/bin:/bin"};
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = binary.string();
    char* argv[] = {program.data(), nullptr};
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }
  ~Service() {
    if (in_ >= 0) ::close(in_);
    if (pid_ > 0) {
      int status = 0;
      const auto deadline = Clock::now() + 10s;
      while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
          ::kill(pid_, SIGKILL);
          ::waitpid(pid_, &status, 0);
          break;
        }
        std::this_thread::sleep_for(10ms);
      }
    }
    if (out_ >= 0) ::close(out_);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  pid_t pid() const { return pid_; }
  bool send(const std::string& id, const std::string& operation, const std::string& payload) {
    const std::string line = R"({"protocolVersion":2,"requestId":")" + id + R"(","operation":")" + operation +
                             R"(","payload":)" + payload + "}\n";
    return ::write(in_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  }
  // Answer lines that arrived within `wait`.
  std::vector<std::string> read_lines(std::chrono::milliseconds wait) {
    pollfd p{out_, POLLIN, 0};
    std::vector<std::string> lines;
    if (::poll(&p, 1, static_cast<int>(wait.count())) > 0) {
      char buf[65536];
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n > 0) buffered_.append(buf, static_cast<std::size_t>(n));
    }
    for (std::size_t nl; (nl = buffered_.find('\n')) != std::string::npos;) {
      lines.push_back(buffered_.substr(0, nl));
      buffered_.erase(0, nl + 1);
    }
    return lines;
  }

 private:
  static inline int runs_ = 0;
  fs::path root_;
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string buffered_;
};

struct BurstFigures {
  int peak_children = 0;
  int peak_threads = 0;
  long peak_rss_kib = 0;
  double seconds_to_last = 0.0;
  bool completed = false;
  int last_sent_loaded = 0;  // rounds whose installed track was the last one sent
};

BurstFigures run_burst(const fs::path& binary) {
  BurstFigures f;
  Service service(binary);
  if (service.pid() <= 0) return f;
  const auto sample = [&] {
    f.peak_children = std::max(f.peak_children, live_descendants(service.pid()));
    f.peak_threads = std::max(f.peak_threads, thread_count(service.pid()));
  };
  const auto start = Clock::now();
  for (int i = 0; i < kLoads; ++i) {
    service.send("l" + std::to_string(i), "player.remote-load",
                 R"({"async":true,"url":")" + tracks()[static_cast<std::size_t>(i)].string() + R"("})");
  }
  // Done once the player holds a track and loads nothing more: whichever load
  // that was, and whether it was the last one sent.
  const std::string last_url = "\"url\":\"" + tracks().back().string() + "\"";
  int asked = 0;
  const auto deadline = start + 300s;
  while (Clock::now() < deadline && !f.completed) {
    sample();
    const std::string id = "s" + std::to_string(++asked);
    service.send(id, "player.status", "null");
    for (bool answered = false; !answered && Clock::now() < deadline;) {
      for (const std::string& line : service.read_lines(20ms)) {
        if (line.find("\"requestId\":\"" + id + "\"") == std::string::npos) continue;
        answered = true;
        if (line.find("\"loading\":false") != std::string::npos &&
            line.find("\"loaded\":true") != std::string::npos) {
          f.completed = true;
          f.last_sent_loaded = line.find(last_url) != std::string::npos ? 1 : 0;
          f.seconds_to_last = std::chrono::duration<double>(Clock::now() - start).count();
        }
      }
      sample();
    }
    std::this_thread::sleep_for(20ms);
  }
  // Until the superseded loads have finished or stopped: the peaks include them.
  const auto settle = Clock::now() + 120s;
  while (Clock::now() < settle && live_descendants(service.pid()) > 0) {
    sample();
    std::this_thread::sleep_for(20ms);
  }
  std::this_thread::sleep_for(500ms);
  sample();
  f.peak_rss_kib = vm_hwm_kib(service.pid());
  return f;
}

// The highest of each peak over the rounds, and the slowest last load.
void merge(BurstFigures& into, const BurstFigures& f) {
  into.peak_children = std::max(into.peak_children, f.peak_children);
  into.peak_threads = std::max(into.peak_threads, f.peak_threads);
  into.peak_rss_kib = std::max(into.peak_rss_kib, f.peak_rss_kib);
  into.seconds_to_last = std::max(into.seconds_to_last, f.seconds_to_last);
  into.completed = f.completed;
  into.last_sent_loaded += f.last_sent_loaded;
}

void report(benchmark::State& state, const std::string& side, const BurstFigures& f) {
  state.counters[side + "_peak_children"] = f.peak_children;
  state.counters[side + "_peak_threads"] = f.peak_threads;
  state.counters[side + "_peak_rss_MB"] = static_cast<double>(f.peak_rss_kib) / 1024.0;
  state.counters[side + "_s_to_last_load"] = f.seconds_to_last;
  state.counters[side + "_last_completed"] = f.completed ? 1 : 0;
  state.counters[side + "_rounds_last_sent_loaded"] = f.last_sent_loaded;
}

// Both binaries, alternately, three rounds: a busy machine weighs on both alike.
void BM_FiftyLoadsAtOnce(benchmark::State& state) {
  if (tracks().size() != kLoads) {
    state.SkipWithError("ffmpeg could not make the tracks");
    return;
  }
  const std::optional<fs::path> before = before_binary();
  BurstFigures before_worst, after_worst;
  for (auto _ : state) {
    for (int round = 0; round < 3; ++round) {
      if (before) merge(before_worst, run_burst(*before));
      merge(after_worst, run_burst(after_binary()));
    }
  }
  if (before) report(state, "before", before_worst);
  report(state, "after", after_worst);
}
BENCHMARK(BM_FiftyLoadsAtOnce)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
