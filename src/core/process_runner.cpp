#include "core/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/close_range.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <set>
#include <string_view>

#include "core/unique_fd.h"

extern char** environ;

namespace melodara {
namespace {

using Clock = std::chrono::steady_clock;

// How often a cancellable run asks whether it is still wanted.
constexpr int kCancelPollMs = 50;

using Fd = UniqueFd;

bool make_pipe(Fd& read_end, Fd& write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  read_end.reset(fds[0]);
  write_end.reset(fds[1]);
  return true;
}

bool set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Reaps the child, retrying interrupted waits.
void wait_blocking(pid_t pid, int& status) {
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
}

// Blocks SIGPIPE on this thread while we write to a child's standard input, so a
// child that quits early makes the write fail with EPIPE instead of ending us.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigset_t pipe_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_mask_);
  }
  ~SigpipeGuard() {
    if (!was_pending_) {
      sigset_t pipe_set;
      sigemptyset(&pipe_set);
      sigaddset(&pipe_set, SIGPIPE);
      const timespec zero{0, 0};
      while (sigtimedwait(&pipe_set, nullptr, &zero) > 0) {}
    }
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t old_mask_{};
  bool was_pending_ = false;
};

// The children being run right now, so that the service can kill them all
// before it exits. Never destroyed: detached threads run children up to the end.
struct ChildRegistry {
  std::mutex mutex;
  std::set<pid_t> running;
  bool closing = false;
};

ChildRegistry& children() {
  static ChildRegistry* registry = new ChildRegistry;
  return *registry;
}

// Holds a child's entry from its start to the end of its run.
class ChildEntry {
 public:
  explicit ChildEntry(pid_t pid) : pid_(pid) {
    ChildRegistry& r = children();
    std::lock_guard lock(r.mutex);
    if (r.closing) {
      ::kill(-pid, SIGKILL);
      killed_ = true;
    }
    r.running.insert(pid);
  }
  ~ChildEntry() {
    ChildRegistry& r = children();
    std::lock_guard lock(r.mutex);
    r.running.erase(pid_);
  }
  ChildEntry(const ChildEntry&) = delete;
  ChildEntry& operator=(const ChildEntry&) = delete;
  bool killed_at_start() const { return killed_; }

 private:
  pid_t pid_;
  bool killed_ = false;
};

// The child is killed with signal 9 when its parent ends, however it ends.
// Linux ties this to the thread that forked: every run waits for its child on
// that thread, so the thread never ends first.
void set_parent_death_kill() {
#if defined(__linux__)
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
}

// Marks every descriptor from 3 up close-on-exec (the exec closes them; the
// failure report pipe stays usable until then).
void close_from_3_on_exec() {
#if defined(__linux__)
  if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
#endif
  for (int fd = 3; fd < 65536; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// The forked child up to the exec: only async-signal-safe calls. An exec
// failure sends errno through `report` (closed by a successful exec).
[[noreturn]] void exec_child(const char* path, char* const* argv, const std::array<int, 3>& fds, pid_t parent,
                             int report) {
  set_parent_death_kill();
  // The parent may have died before the signal was armed.
  if (::getppid() != parent) ::_exit(127);
  ::setpgid(0, 0);
  for (int target = 0; target < 3; ++target) {
    const int fd = fds[static_cast<std::size_t>(target)];
    const int rc = fd == target ? ::fcntl(fd, F_SETFD, 0) : ::dup2(fd, target);
    if (rc < 0) {
      const int e = errno;
      (void)!::write(report, &e, sizeof e);
      ::_exit(127);
    }
  }
  // Our handlers must not run here (the memory is the parent's): every handled
  // signal, and SIGPIPE, back to its default before the mask opens.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction current {};
    if (::sigaction(sig, nullptr, &current) != 0) continue;
    const bool handled = (current.sa_flags & SA_SIGINFO) != 0 ||
                         (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN);
    if (handled || sig == SIGPIPE) ::sigaction(sig, &dfl, nullptr);
  }
  close_from_3_on_exec();
  sigset_t empty;
  sigemptyset(&empty);
  ::sigprocmask(SIG_SETMASK, &empty, nullptr);
  ::execve(path, argv, environ);
  const int e = errno;
  (void)!::write(report, &e, sizeof e);
  ::_exit(127);
}

// The file a program name runs: a name with a slash as it is, else the first
// executable regular file of that name on PATH (the system default without one).
std::optional<std::string> resolve_program(const std::string& program) {
  if (program.empty()) return std::nullopt;
  if (program.find('/') != std::string::npos) return program;
  const char* path_env = std::getenv("PATH");
  std::string_view dirs = path_env != nullptr ? path_env : "/bin:/usr/bin";
  for (;;) {
    const std::size_t colon = dirs.find(':');
    const std::string_view dir = dirs.substr(0, colon);
    std::string candidate = dir.empty() ? std::string(".") : std::string(dir);
    candidate += '/';
    candidate += program;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (colon == std::string_view::npos) return std::nullopt;
    dirs.remove_prefix(colon + 1);
  }
}

struct ChildStart {
  const char* path;
  char* const* argv;
  std::array<int, 3> fds;
  pid_t parent;
  int report;
};

int child_main(void* start) {
  const auto* s = static_cast<const ChildStart*>(start);
  exec_child(s->path, s->argv, s->fds, s->parent, s->report);
}

// AddressSanitizer takes code running on a stack it does not know for an
// overflow: its builds fork instead.
#if defined(__SANITIZE_ADDRESS__)
#define MELODARA_CHILD_FORKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MELODARA_CHILD_FORKS 1
#endif
#endif

// A child that shares our memory until its exec, on a stack of its own, while
// the calling thread waits (as posix_spawn does): no copy of our page tables,
// and no copy-on-write faults afterwards on the engine's memory.
pid_t clone_child(ChildStart& start) {
#if defined(__linux__) && !defined(MELODARA_CHILD_FORKS)
  constexpr std::size_t kStackBytes = 64 * 1024;
  void* stack =
      ::mmap(nullptr, kStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) return -1;
  const pid_t pid =
      ::clone(child_main, static_cast<char*>(stack) + kStackBytes, CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
  ::munmap(stack, kStackBytes);
  return pid;
#else
  const pid_t pid = ::fork();
  if (pid == 0) child_main(&start);
  return pid;
#endif
}

// Starts `path` with `fds` as its standard streams; the child's pid, or -1
// when it could not start (no process, or the exec failed).
pid_t start_child(const std::string& path, char* const* argv, const std::array<int, 3>& fds) {
  Fd report_read, report_write;
  if (!make_pipe(report_read, report_write)) return -1;
  ChildStart start{path.c_str(), argv, fds, ::getpid(), report_write.get()};
  // No signal handler may run in the child before its exec.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t pid = clone_child(start);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) return -1;
  report_write.reset();
  int child_errno = 0;
  ssize_t n = 0;
  do {
    n = ::read(report_read.get(), &child_errno, sizeof child_errno);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    int status = 0;
    wait_blocking(pid, status);
    return -1;
  }
  return pid;
}

Fd open_null() { return Fd(::open("/dev/null", O_RDWR | O_CLOEXEC)); }

enum class Drain { Open, Closed, Failed, Refused };

// Reads what is available into `take`; Closed at end of file, Refused when
// `take` wants no more.
template <class Take>
Drain drain(int fd, Take&& take) {
  alignas(64) std::uint8_t buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      if (!take(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)))) return Drain::Refused;
      continue;
    }
    if (n == 0) return Drain::Closed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Drain::Open;
    return Drain::Failed;
  }
}

ProcessResult run_child(const Command& command, const RunOptions& spec) {
  const Clock::time_point start = Clock::now();
  std::optional<SigpipeGuard> sigpipe_guard;
  if (spec.stdin_bytes) sigpipe_guard.emplace();

  // Child ends (dup'ed onto 0, 1, 2) and our ends, all close-on-exec.
  Fd child_in, child_out, child_err, our_in, our_out, our_err;
  if (spec.stdin_bytes) {
    if (!make_pipe(child_in, our_in)) return std::unexpected(std::string(kMissingCommand));
  } else {
    child_in = open_null();
  }
  if (spec.capture_stdout) {
    if (!make_pipe(our_out, child_out)) return std::unexpected(std::string(kMissingCommand));
  } else {
    child_out = open_null();
  }
  if (spec.capture_stderr) {
    if (!make_pipe(our_err, child_err)) return std::unexpected(std::string(kMissingCommand));
  } else {
    child_err = open_null();
  }
  if (!child_in.valid() || !child_out.valid() || !child_err.valid()) {
    return std::unexpected(std::string(kMissingCommand));
  }

  const std::optional<std::string> path = resolve_program(command.program);
  if (!path) return std::unexpected(std::string(kMissingCommand));
  std::vector<char*> argv;
  argv.reserve(command.args.size() + 2);
  argv.push_back(const_cast<char*>(command.program.c_str()));
  for (const std::string& a : command.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  const pid_t pid = start_child(*path, argv.data(), {child_in.get(), child_out.get(), child_err.get()});
  if (pid < 0) return std::unexpected(std::string(kMissingCommand));
  const ChildEntry entry(pid);
  child_in.reset();
  child_out.reset();
  child_err.reset();

  // Child exit wakes poll through a pidfd; without one we fall back to ticks.
  Fd exit_fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  for (Fd* fd : {&our_in, &our_out, &our_err}) {
    if (fd->valid()) set_nonblocking(fd->get());
  }

  ProcessOutput output;
  bool read_failed = false;
  bool refused = false;
  bool exited = false;
  auto take_stdout = [&](std::span<const std::uint8_t> bytes) {
    if (spec.stdout_sink) return spec.stdout_sink(bytes);
    if (bytes.size() > spec.max_stdout_bytes - output.stdout.size()) return false;
    output.stdout.insert(output.stdout.end(), bytes.begin(), bytes.end());
    return true;
  };
  auto take_stderr = [&](std::span<const std::uint8_t> bytes) {
    const std::uint64_t room =
        spec.max_stderr_bytes - std::min<std::uint64_t>(spec.max_stderr_bytes, output.stderr.size());
    const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(room, bytes.size()));
    output.stderr.insert(output.stderr.end(), bytes.begin(),
                         bytes.begin() + static_cast<std::ptrdiff_t>(keep));
    return true;
  };
  auto read_pipe = [&](Fd& fd, auto& take) {
    if (!fd.valid()) return;
    switch (drain(fd.get(), take)) {
      case Drain::Open: return;
      case Drain::Failed: read_failed = true; break;
      case Drain::Refused: refused = true; break;
      case Drain::Closed: break;
    }
    fd.reset();
  };
  std::size_t fed = 0;
  const std::span<const std::uint8_t> feed =
      spec.stdin_bytes ? *spec.stdin_bytes : std::span<const std::uint8_t>();
  if (our_in.valid() && feed.empty()) our_in.reset();

  for (;;) {
    if (!exited) {
      const pid_t w = ::waitpid(pid, &output.status, WNOHANG);
      if (w == pid) {
        exited = true;
        exit_fd.reset();
      } else if (w < 0 && errno != EINTR) {
        ::kill(-pid, SIGKILL);
        return std::unexpected(std::string(kProcessFailed));
      }
    }
    if (spec.cancelled && spec.cancelled()) {
      ::kill(-pid, SIGKILL);
      if (!exited) wait_blocking(pid, output.status);
      return std::unexpected(std::string(kCancelled));
    }
    if (refused) {
      // Output past its bound: the child is stopped like one past its limit.
      ::kill(-pid, SIGKILL);
      if (!exited) wait_blocking(pid, output.status);
      return std::unexpected(std::string(kProcessFailed));
    }
    if (exited && !our_out.valid() && !our_err.valid()) break;

    int timeout_ms = -1;
    if (spec.limit) {
      const Clock::duration elapsed = Clock::now() - start;
      if (elapsed >= *spec.limit) {
        ::kill(-pid, SIGKILL);
        if (!exited) wait_blocking(pid, output.status);
        return std::unexpected(std::string(kTimeout));
      }
      const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(*spec.limit - elapsed).count();
      timeout_ms = static_cast<int>(std::min<long long>(remaining, 40));
    }
    if (!exited && !exit_fd.valid()) timeout_ms = timeout_ms < 0 ? 40 : std::min(timeout_ms, 40);
    if (spec.cancelled) timeout_ms = timeout_ms < 0 ? kCancelPollMs : std::min(timeout_ms, kCancelPollMs);

    pollfd fds[4];
    nfds_t n = 0;
    auto add = [&](const Fd& fd, short events) {
      if (fd.valid()) fds[n++] = pollfd{fd.get(), events, 0};
    };
    add(our_in, POLLOUT);
    add(our_out, POLLIN);
    add(our_err, POLLIN);
    if (!exited) add(exit_fd, POLLIN);
    if (::poll(fds, n, timeout_ms) < 0 && errno != EINTR) {
      ::kill(-pid, SIGKILL);
      if (!exited) wait_blocking(pid, output.status);
      return std::unexpected(std::string(kProcessFailed));
    }

    if (our_in.valid()) {
      while (fed < feed.size()) {
        const std::size_t chunk = std::min<std::size_t>(feed.size() - fed, 1 << 20);
        const ssize_t w = ::write(our_in.get(), feed.data() + fed, chunk);
        if (w > 0) {
          fed += static_cast<std::size_t>(w);
        } else if (w < 0 && errno == EINTR) {
          continue;
        } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
          break;
        } else {
          fed = feed.size();  // EPIPE or another error: the child stopped reading
        }
      }
      if (fed >= feed.size()) our_in.reset();
    }
    read_pipe(our_out, take_stdout);
    read_pipe(our_err, take_stderr);
  }
  if (read_failed) return std::unexpected(std::string(kProcessFailed));
  if (entry.killed_at_start()) return std::unexpected(std::string(kMissingCommand));
  return output;
}

}  // namespace

bool exited_ok(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

ProcessResult run_process_with_timeout(const Command& command, std::uint64_t limit_seconds,
                                       std::uint32_t limit_nanos) {
  // Limits beyond a century are as good as none; keeps the clock arithmetic in range.
  const std::uint64_t seconds = std::min<std::uint64_t>(limit_seconds, 3'153'600'000ULL);
  RunOptions options;
  options.limit = std::chrono::seconds(seconds) + std::chrono::nanoseconds(limit_nanos);
  return run_child(command, options);
}

ProcessResult run_process(const Command& command, const RunOptions& options) {
  return run_child(command, options);
}

ProcessResult run_process_plain(const Command& command, const PlainRunIo& io) {
  RunOptions options;
  options.stdin_bytes = io.stdin_bytes;
  options.capture_stdout = io.capture_stdout;
  options.capture_stderr = io.capture_stderr;
  return run_child(command, options);
}

bool probe_command(const Command& command) {
  const ProcessResult r = run_process_plain(command, {std::nullopt, false, false});
  return r && exited_ok(r->status);
}

void kill_running_children() {
  ChildRegistry& r = children();
  std::lock_guard lock(r.mutex);
  r.closing = true;
  for (const pid_t pid : r.running) ::kill(-pid, SIGKILL);
}

Command command_args16(Command command, const std::array<std::string_view, 16>& args) {
  return append_args(std::move(command), args);
}
Command curl_download_args(Command command, const std::array<std::string_view, 9>& args) {
  return append_args(std::move(command), args);
}
Command ytdlp_stdout_args(Command command, const std::array<std::string_view, 10>& args) {
  return append_args(std::move(command), args);
}
Command ytdlp_download_args(Command command, const std::array<std::string_view, 15>& args) {
  return append_args(std::move(command), args);
}

}  // namespace melodara
