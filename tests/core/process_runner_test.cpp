#include "core/process_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace melodara {
namespace {

using Clock = std::chrono::steady_clock;

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

Command sh(const std::string& script) { return Command{"/bin/sh", {"-c", script}}; }

TEST(ProcessRunner, ReturnsStatusAndBothOutputs) {
  const ProcessResult r = run_process_with_timeout(sh("printf out; printf err >&2; exit 3"), 5, 0);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_TRUE(WIFEXITED(r->status));
  EXPECT_EQ(WEXITSTATUS(r->status), 3);
  EXPECT_FALSE(exited_ok(r->status));
  EXPECT_EQ(text(r->stdout), "out");
  EXPECT_EQ(text(r->stderr), "err");

  const ProcessResult ok = run_process_plain(Command{"/bin/echo", {"a b", "c"}});
  ASSERT_TRUE(ok.has_value());
  EXPECT_TRUE(exited_ok(ok->status));
  EXPECT_EQ(text(ok->stdout), "a b c\n");  // arguments reach the program unsplit, no shell
}

TEST(ProcessRunner, LargeOutputOnBothPipesDoesNotStall) {
  // 4 MiB on each stream, written interleaved so a reader of only one pipe would block the child.
  const std::string script =
      "i=0; while [ $i -lt 64 ]; do head -c 65536 /dev/zero; head -c 65536 /dev/zero >&2; i=$((i+1)); done";
  // A stalled run would end at the time limit as "timeout"; a busy machine may
  // need a while for the 128 processes, so the limit is generous.
  const ProcessResult r = run_process_with_timeout(sh(script), 120, 0);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_TRUE(exited_ok(r->status));
  EXPECT_EQ(r->stdout.size(), 64u * 65536u);
  EXPECT_EQ(r->stderr.size(), 64u * 65536u);
}

TEST(ProcessRunner, MissingProgramIsMissingCommand) {
  for (const char* program : {"melodara-no-such-program", "/nonexistent/bin/tool", "/etc/hostname"}) {
    // Reported at once, not at the time limit.
    const auto start = Clock::now();
    const ProcessResult r = run_process_with_timeout(Command{program, {}}, 60, 0);
    ASSERT_FALSE(r.has_value()) << program;
    EXPECT_EQ(r.error(), kMissingCommand) << program;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
    EXPECT_FALSE(run_process_plain(Command{program, {}}).has_value());
    EXPECT_FALSE(probe_command(Command{program, {"--version"}}));
  }
}

TEST(ProcessRunner, TimeoutKillsChildWithinLimit) {
  const auto start = Clock::now();
  const ProcessResult r = run_process_with_timeout(sh("sleep 30"), 1, 0);
  const auto elapsed = Clock::now() - start;
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), kTimeout);
  EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
  EXPECT_LT(elapsed, std::chrono::seconds(15));  // well before the child's 30 s
}

// True when the process is gone or only a zombie.
bool process_gone(pid_t pid) {
  for (int i = 0; i < 50; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const auto close_paren = line.rfind(')');
    if (close_paren != std::string::npos && line.size() > close_paren + 2 && line[close_paren + 2] == 'Z') {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(ProcessRunner, TimeoutWithGrandchildHoldingPipesReturnsInTime) {
  // The shell exits at once, leaving a grandchild that keeps both pipes open.
  const std::string pid_file =
      (std::filesystem::temp_directory_path() / ("melodara-gc-" + std::to_string(::getpid()))).string();
  const auto start = Clock::now();
  const ProcessResult r =
      run_process_with_timeout(sh("sleep 30 & echo $! > " + pid_file + "; exit 0"), 0, 600'000'000);
  const auto elapsed = Clock::now() - start;
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), kTimeout);
  EXPECT_LT(elapsed, std::chrono::seconds(15));  // not the grandchild's 30 s
  std::ifstream in(pid_file);
  pid_t grandchild = 0;
  in >> grandchild;
  std::filesystem::remove(pid_file);
  ASSERT_GT(grandchild, 0);
  EXPECT_TRUE(process_gone(grandchild)) << "the killed group must take the grandchild along";

  // And a child still running with its own grandchild: the whole group goes.
  const auto start2 = Clock::now();
  const ProcessResult r2 = run_process_with_timeout(sh("sleep 30 & sleep 30"), 0, 500'000'000);
  ASSERT_FALSE(r2.has_value());
  EXPECT_EQ(r2.error(), kTimeout);
  EXPECT_LT(Clock::now() - start2, std::chrono::seconds(15));
}

// A caller that stops wanting a run gets it back at once, with the child's
// whole group gone, whether or not the run has a time limit.
TEST(ProcessRunner, CancelledRunKillsTheGroupWithinHalfASecond) {
  const std::string pid_file =
      (std::filesystem::temp_directory_path() / ("melodara-cancel-" + std::to_string(::getpid()))).string();
  for (const bool with_limit : {false, true}) {
    std::atomic<bool> cancelled{false};
    RunOptions options;
    if (with_limit) options.limit = std::chrono::seconds(60);
    int asked = 0;
    options.cancelled = [&] {
      ++asked;
      return cancelled.load();
    };
    std::filesystem::remove(pid_file);
    auto run = std::async(std::launch::async, [&] {
      return run_process(sh("sleep 30 & echo $! > " + pid_file + "; wait"), options);
    });
    while (!std::filesystem::exists(pid_file) || std::filesystem::file_size(pid_file) == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_GT(asked, 1) << "asked while the child runs";
    cancelled = true;
    const auto at = Clock::now();
    const ProcessResult r = run.get();
    EXPECT_LT(Clock::now() - at, std::chrono::milliseconds(500)) << with_limit;
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), kCancelled);
    std::ifstream in(pid_file);
    pid_t grandchild = 0;
    in >> grandchild;
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(process_gone(grandchild)) << with_limit;
  }
  std::filesystem::remove(pid_file);

  // A run that is not cancelled goes to its end as before.
  RunOptions options;
  options.cancelled = [] { return false; };
  const ProcessResult ok = run_process(sh("sleep 0.2; printf done"), options);
  ASSERT_TRUE(ok.has_value()) << ok.error();
  EXPECT_EQ(text(ok->stdout), "done");
}

TEST(ProcessRunner, WaitFailureIsProcessFailed) {
  // With SIGCHLD ignored the system reaps children itself, so waiting fails.
  struct sigaction old_action {};
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &old_action);
  const ProcessResult r = run_process_with_timeout(sh("exit 0"), 5, 0);
  sigaction(SIGCHLD, &old_action, nullptr);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), kProcessFailed);
}

TEST(ProcessRunner, ChildGetsNullStdinDefaultSigpipeAndNoInheritedDescriptors) {
  // A descriptor of ours without close-on-exec, at a known number.
  const int leaked = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 0);
  ASSERT_EQ(::dup2(leaked, 57), 57);
  struct sigaction old_action {};
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old_action);

  const ProcessResult r = run_process_with_timeout(
      sh("readlink /proc/$$/fd/0; [ -e /proc/$$/fd/57 ] && echo leaked || echo clean; "
         "grep SigIgn /proc/$$/status"),
      5, 0);
  sigaction(SIGPIPE, &old_action, nullptr);
  ::close(57);
  ::close(leaked);
  ASSERT_TRUE(r.has_value()) << r.error();
  const std::string out = text(r->stdout);
  EXPECT_NE(out.find("/dev/null\n"), std::string::npos) << out;
  EXPECT_NE(out.find("clean\n"), std::string::npos) << out;
  const auto at = out.find("SigIgn:");
  ASSERT_NE(at, std::string::npos);
  const unsigned long long ignored = std::stoull(out.substr(at + 7), nullptr, 16);
  EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u) << out;
}

TEST(ProcessRunner, PlainRunFeedsStdinAndSurvivesAnEarlyQuitter) {
  Bytes input(3 * 1024 * 1024);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::uint8_t>(i * 7);
  const ProcessResult echoed = run_process_plain(Command{"cat", {}}, {input, true, false});
  ASSERT_TRUE(echoed.has_value());
  EXPECT_EQ(echoed->stdout, input);

  // head leaves after 10 bytes; our writes then fail instead of raising SIGPIPE on us.
  const ProcessResult head = run_process_plain(Command{"head", {"-c", "10"}}, {input, true, false});
  ASSERT_TRUE(head.has_value());
  EXPECT_EQ(head->stdout.size(), 10u);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST(ProcessRunner, OutputBoundsStopTheChild) {
  // More standard output than allowed: the child is killed at once.
  RunOptions options;
  options.max_stdout_bytes = 1 << 20;
  const auto start = Clock::now();
  ProcessResult r = run_process(sh("cat /dev/zero"), options);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), kProcessFailed);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));

  // Exactly the bound is fine; standard error beyond its bound is dropped.
  options.max_stderr_bytes = 10;
  r = run_process(sh("head -c 1048576 /dev/zero; printf 0123456789abcdef >&2"), options);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->stdout.size(), 1u << 20);
  EXPECT_EQ(text(r->stderr), "0123456789");

  // A sink takes the output in pieces and can stop the child.
  std::size_t seen = 0;
  RunOptions sinking;
  sinking.stdout_sink = [&seen](std::span<const std::uint8_t> bytes) {
    seen += bytes.size();
    return seen < (4u << 20);
  };
  r = run_process(sh("cat /dev/zero"), sinking);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), kProcessFailed);
  sinking.stdout_sink = [&seen](std::span<const std::uint8_t> bytes) {
    seen += bytes.size();
    return true;
  };
  seen = 0;
  r = run_process(sh("head -c 3000000 /dev/zero"), sinking);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(seen, 3000000u);
  EXPECT_TRUE(r->stdout.empty());
}

// Run in a child process of its own: once children are killed, the process
// starts no more.
void kill_children_then_exit() {
  std::promise<ProcessResult> running;
  auto result = running.get_future();
  std::thread([&running] {
    running.set_value(run_process_with_timeout(Command{"sleep", {"30"}}, 60, 0));
  }).detach();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = Clock::now();
  kill_running_children();
  if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) std::_Exit(2);
  const ProcessResult killed = result.get();
  if (!killed || WIFEXITED(killed->status) || WTERMSIG(killed->status) != SIGKILL) std::_Exit(3);
  if (Clock::now() - start > std::chrono::seconds(3)) std::_Exit(4);
  const ProcessResult later = run_process_with_timeout(Command{"sleep", {"30"}}, 60, 0);
  if (later || later.error() != kMissingCommand) std::_Exit(5);
  std::_Exit(0);
}

TEST(ProcessRunnerDeathTest, KillRunningChildrenEndsRunsAndRefusesNewOnes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(kill_children_then_exit(), ::testing::ExitedWithCode(0), "");
}

TEST(ProcessRunner, ArgumentBuildersAppendInOrder) {
  const Command c = curl_download_args(Command{"curl", {"first"}}, {"-4", "-sL", "--max-time", "60", "-A",
                                                                    "ua", "-H", "Range: bytes=0-", "D"});
  EXPECT_EQ(c.program, "curl");
  const std::vector<std::string> expected{"first", "-4", "-sL", "--max-time",      "60",
                                          "-A",    "ua", "-H",  "Range: bytes=0-", "D"};
  EXPECT_EQ(c.args, expected);
  EXPECT_EQ(
      ytdlp_stdout_args(Command{"y", {}}, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}).args.back(),
      "10");
}

}  // namespace
}  // namespace melodara
