#pragma once
// Runs external programs (yt-dlp, curl, ffmpeg, afconvert...) as child processes
// with piped output: under a time limit (run_process_with_timeout) or to the end
// (plain runs). Arguments go to the program directly, never through a shell.
//
// Every child gets: the null device on standard input unless bytes are fed to it,
// pipes or the null device for its output, the default SIGPIPE disposition, an
// empty signal mask, a process group of its own, no descriptor of ours beyond
// 0, 1 and 2, and signal 9 when the service dies, however it dies (Linux's
// parent-death signal, armed before the exec; it fires when the thread that
// started the child ends, so every run waits for its child on the calling
// thread). macOS has no parent-death signal: a build there must watch the
// service from outside the child instead (a kqueue EVFILT_PROC / NOTE_EXIT
// watch on the service's pid that kills the child's group). Every run is
// registered until it ends, so the service can kill what still runs when it
// exits.
#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace melodara {

using Bytes = std::vector<std::uint8_t>;

// A program name (looked up on PATH) or path, and its arguments.
struct Command {
  std::string program;
  std::vector<std::string> args;
};

struct ProcessOutput {
  int status = 0;  // wait status as reported by waitpid
  Bytes stdout;
  Bytes stderr;
};

// The error kinds of a run.
inline constexpr std::string_view kMissingCommand = "missing-command";
inline constexpr std::string_view kProcessFailed = "process-failed";
inline constexpr std::string_view kTimeout = "timeout";
// The run's caller stopped wanting it (RunOptions::cancelled).
inline constexpr std::string_view kCancelled = "cancelled";

using ProcessResult = std::expected<ProcessOutput, std::string>;

// True when the wait status says "exited with code 0". Thread: any. Allocates: no. Blocks: no.
bool exited_ok(int status);

// Starts the child with standard input on the null device and both outputs
// piped, collects them, and kills the child's whole process group with signal 9
// once the limit has passed (also while output is still being drained after the
// child itself exited, so a grandchild holding the pipes cannot stretch the call).
// A non-zero exit is a successful run: callers test `status`.
// Thread: any. Blocks: up to the limit. Holds no lock.
// Allocates: yes (the argument vector and the collected output).
ProcessResult run_process_with_timeout(const Command& command, std::uint64_t limit_seconds,
                                       std::uint32_t limit_nanos);

// How a run connects the child's streams and how far it lets the child go.
struct RunOptions {
  std::optional<std::span<const std::uint8_t>> stdin_bytes;  // none: null device
  bool capture_stdout = true;                                // false: null device
  bool capture_stderr = true;                                // false: null device
  std::optional<std::chrono::nanoseconds> limit{};           // none: runs to its end
  // More standard output than this kills the child's group: "process-failed".
  std::uint64_t max_stdout_bytes = std::numeric_limits<std::uint64_t>::max();
  // Standard error beyond this is read and dropped.
  std::uint64_t max_stderr_bytes = std::numeric_limits<std::uint64_t>::max();
  // Takes standard output piece by piece instead of `ProcessOutput::stdout`;
  // returning false kills the child's group and fails the run ("process-failed").
  std::function<bool(std::span<const std::uint8_t>)> stdout_sink{};
  // Asked every 50 ms or sooner while the child runs; true kills the child's
  // group with signal 9 and ends the run with "cancelled". Called on the
  // run's thread.
  std::function<bool()> cancelled{};
};

// Runs the child as the options say; with a limit, exactly as
// run_process_with_timeout at its end.
// Thread: any. Blocks: until the child exits and its pipes close, or the limit.
// Allocates: yes (the argument vector and the collected output).
ProcessResult run_process(const Command& command, const RunOptions& options);

// How a plain run connects the child's streams.
struct PlainRunIo {
  std::optional<std::span<const std::uint8_t>> stdin_bytes;  // none: null device
  bool capture_stdout = true;                                // false: null device
  bool capture_stderr = true;                                // false: null device
};

// Runs the child to its end without a time limit; never kills it.
// Thread: any. Blocks: until the child exits and its pipes close.
// Allocates: yes (the argument vector).
ProcessResult run_process_plain(const Command& command, const PlainRunIo& io = {});

// Runs with all three streams on the null device; true when it started and exited
// with code 0 (the tool probes). Thread: any. Allocates: yes. Blocks: until the child exits.
bool probe_command(const Command& command);

// Kills the process group of every child still running and refuses to start
// new ones (a child started meanwhile is killed at once): no child outlives
// the service. Its runs end with "timeout" or "missing-command".
// Thread: any (the main thread at end of input). Allocates: no. Blocks: briefly on the registry.
void kill_running_children();

// Appends a fixed list of arguments in order and returns the command; so do the
// named builders below. Thread: any. Allocates: yes. Blocks: no.
template <std::size_t N>
Command append_args(Command command, const std::array<std::string_view, N>& args) {
  command.args.reserve(command.args.size() + N);
  for (std::string_view a : args) command.args.emplace_back(a);
  return command;
}

// The ffmpeg f32le decode list and the Bilibili search curl list.
Command command_args16(Command command, const std::array<std::string_view, 16>& args);
// The ranged curl download of a direct media address.
Command curl_download_args(Command command, const std::array<std::string_view, 9>& args);
// yt-dlp download to standard output.
Command ytdlp_stdout_args(Command command, const std::array<std::string_view, 10>& args);
// yt-dlp audio-and-video download into the cache.
Command ytdlp_download_args(Command command, const std::array<std::string_view, 15>& args);

}  // namespace melodara
