#pragma once
// Shared fixtures of the media tests: the temporary folders and environment
// overrides of test support, stand-in tools, files made with the real ffmpeg,
// and a local HTTP server on 127.0.0.1.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

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

// python3 -m http.server serving `root` on a free port of 127.0.0.1.
class LocalHttpServer {
 public:
  explicit LocalHttpServer(const fs::path& root);
  ~LocalHttpServer();
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;
  bool ready() const { return ready_; }
  std::string url(const std::string& name) const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  bool ready_ = false;
};

}  // namespace melodara::test
