#pragma once
// Shared fixtures of the media tests: the temporary folders and environment
// overrides of test support, stand-in tools, files made with the real ffmpeg,
// and a local HTTP server on 127.0.0.1.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "temp_files.h"

namespace melodara::test {

namespace fs = std::filesystem;

// Writes an executable shell script.
void write_script(const fs::path& path, const std::string& body);

// A stand-in for an external tool (curl, yt-dlp): a script at `path` that logs
// the exact arguments of every run and answers with canned output.
class StandInTool {
 public:
  explicit StandInTool(fs::path path) : path_(std::move(path)) {}
  const fs::path& path() const { return path_; }

  // (Re)writes the script: it prints `out` and exits with `code`; a run with an
  // argument that contains `hang_marker` (when given) never ends instead.
  void answer(const std::string& out, int code = 0, const std::string& hang_marker = "") const;
  // The arguments of each run so far, in order.
  std::vector<std::vector<std::string>> runs() const;
  // The process ids of the runs that hung.
  std::vector<int> hung_pids() const;

 private:
  fs::path path_;
};

// True when a yt-dlp sits in one of the fixed install folders, where tool
// discovery finds it whatever the test's environment.
bool system_ytdlp_present();

// Runs ffmpeg -y <args>; true when it exited with 0.
bool run_ffmpeg(const std::vector<std::string>& args);

// "-f lavfi -i aevalsrc=..." arguments: `channels` tones (440 Hz left, 660 Hz
// right) at amplitude `amplitude`, `rate` Hz, `seconds` long.
std::vector<std::string> tone_input(int rate, int channels, double seconds, double amplitude);

// RMS over frames of interleaved stereo samples, measured like the normaliser.
double stereo_rms(std::span<const float> samples);
// Frequency of one channel from its zero crossings (middle 80% of the track).
double channel_frequency(std::span<const float> stereo, int channel, double rate);

// The tests' HTTP server (http_fixture_server.py) serving `root` on a free
// port of 127.0.0.1: files, a path that never answers ("stall") and an
// endless WAV stream ("endless.wav"); it logs every request's headers.
class LocalHttpServer {
 public:
  explicit LocalHttpServer(const fs::path& root);
  ~LocalHttpServer();
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;
  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }
  std::string url(const std::string& name) const;
  // One object per request so far: {"path", "range", "agent"}.
  std::vector<nlohmann::json> requests() const;

 private:
  TempDir log_dir_;
  pid_t pid_ = -1;
  int port_ = 0;
  bool ready_ = false;
};

// One logged run of a stand-in program: its pid and its arguments. The log is
// the record format of stand_in_tools.h, the pid as the first field.
struct ToolRun {
  pid_t pid = 0;
  std::vector<std::string> args;
};
std::vector<ToolRun> tool_runs(const fs::path& log);

// A stand-in yt-dlp, named by MELODARA_YTDLP_PATH while it lives. It logs each
// run's pid and arguments, then acts on files of its control folder, by mode:
//   "json"     (--dump-single-json): prints search.json
//   "g"        (-g): prints g.txt
//   "stdout"   (-o -): writes stdout.bin to standard output
//   "template" (-o with "%("): for each line "format_id ext fixture" of
//              files.txt copies the fixture to the template's path; then
//              sleeps, then prints those paths and print.txt
//   "video"    (-o path): copies video.mp4 (when present) to the path
// Each mode sleeps "sleep.<mode>" seconds (when present), then, while
// "gate.<mode>" exists, waits for "open.<mode>", and exits with "exit.<mode>"
// (else 0); "pid.<mode>" receives the pid of the run.
class FakeYtdlp {
 public:
  FakeYtdlp();
  const fs::path& control() const { return control_.path(); }
  fs::path script() const { return control_ / "yt-dlp"; }
  void put(const std::string& name, const std::string& text) const;
  void put_file(const std::string& name, const fs::path& from) const;
  std::vector<ToolRun> runs() const { return tool_runs(control_ / "log"); }
  // The mode of a logged run, as above.
  static std::string mode_of(const ToolRun& run);

 private:
  TempDir control_;
  ScopedEnv env_;
};

// A folder for PATH holding an "ffmpeg" that logs its runs and then runs the
// real one (or, with `with_ffmpeg` false, only a link to curl: no ffmpeg).
// While its gate is shut, each run waits at the gate before it goes on.
class ToolBin {
 public:
  explicit ToolBin(bool with_ffmpeg = true);
  const fs::path& path() const { return bin_.path(); }
  std::vector<ToolRun> ffmpeg_runs() const { return tool_runs(bin_ / "ffmpeg.log"); }
  void forget_runs() const { fs::remove(bin_ / "ffmpeg.log"); }
  void shut_gate() const;
  void open_gate() const;

 private:
  TempDir bin_;
};

// Makes an audio file with the real ffmpeg: the stereo tones of tone_input at
// 44.1 kHz, with the codec arguments; empty path on failure.
fs::path make_tone_file(const fs::path& out, const std::vector<std::string>& codec, double seconds,
                        double amplitude);

// A container and codec that the decoders take, as the tone files of
// make_media make them.
struct Format {
  const char* name;
  const char* file;
  std::vector<std::string> codec;  // encoder arguments
  int rate;
  int channels;
  double duration_tolerance;  // seconds: one packet of the codec, with its priming
};
std::ostream& operator<<(std::ostream& os, const Format& f);

// Every container and codec the in-process decoder takes.
const std::vector<Format>& formats();

// Makes the tones of tone_input in that format as `dir` / f.file; empty path on failure.
fs::path make_media(const TempDir& dir, const Format& f, double seconds = 2.0, double amplitude = 0.5);

// An MP4 clip video (small MPEG-4 video with the tones of tone_input as AAC
// audio), larger than the 16 KiB an MP4 must have; empty path on failure.
fs::path make_clip_video(const fs::path& out, double seconds, double amplitude);

// Peak resident sizes say something only without AddressSanitizer, whose
// quarantine keeps freed memory resident.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kPeakMemoryMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kPeakMemoryMeaningful = false;
#else
inline constexpr bool kPeakMemoryMeaningful = true;
#endif
#else
inline constexpr bool kPeakMemoryMeaningful = true;
#endif

// Resets the process's peak resident size, and reads it (bytes).
void reset_peak_memory();
std::uint64_t peak_memory_bytes();
std::uint64_t resident_memory_bytes();

// Live (not zombie) children of this process.
std::vector<pid_t> live_children();
// True when the process is gone or a zombie, waiting up to `timeout`.
bool process_gone(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Waits until `done` holds, up to `timeout`; the final answer of `done`.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout);

}  // namespace melodara::test
