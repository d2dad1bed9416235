#include "media_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <thread>

#include "core/process_runner.h"
#include "stand_in_tools.h"

extern char** environ;

namespace melodara::test {

void write_script(const fs::path& path, const std::string& body) {
  write_text(path, "#!/bin/sh\n" + body + "\n");
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

namespace {

// A text as one single-quoted shell word.
std::string shell_quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

void StandInTool::answer(const std::string& out, int code, const std::string& hang_marker) const {
  const std::string base = path_.string();
  write_text(base + ".out", out);
  // The record of stand_in_tools.h. Only absolute paths: the tests give the
  // tool a PATH of its stand-ins alone.
  std::string body = "printf '%s\\0' \"$#\" \"$@\" >> " + shell_quoted(base + ".argv") + "\n";
  if (!hang_marker.empty()) {
    body += "case \"$*\" in *" + shell_quoted(hang_marker) + "*) echo $$ >> " + shell_quoted(base + ".pids") +
            "; exec /bin/sleep 600;; esac\n";
  }
  body += "/bin/cat " + shell_quoted(base + ".out") + "\nexit " + std::to_string(code);
  write_script(path_, body);
}

std::vector<std::vector<std::string>> StandInTool::runs() const {
  return read_tool_log(path_.string() + ".argv");
}

std::vector<int> StandInTool::hung_pids() const {
  std::ifstream in(path_.string() + ".pids");
  std::vector<int> pids;
  for (int pid; in >> pid;) pids.push_back(pid);
  return pids;
}

bool system_ytdlp_present() {
  for (const char* p : {"/opt/homebrew/bin/yt-dlp", "/usr/local/bin/yt-dlp", "/usr/bin/yt-dlp"})
    if (fs::exists(p)) return true;
  return false;
}

bool run_ffmpeg(const std::vector<std::string>& args) {
  Command cmd{"ffmpeg", {"-hide_banner", "-loglevel", "error", "-y"}};
  cmd.args.insert(cmd.args.end(), args.begin(), args.end());
  const ProcessResult r = run_process_plain(cmd, {std::nullopt, false, true});
  return r && exited_ok(r->status);
}

std::vector<std::string> tone_input(int rate, int channels, double seconds, double amplitude) {
  const std::string a = std::to_string(amplitude);
  std::string expr = a + "*sin(2*PI*440*t)";
  if (channels == 2) expr += "|" + a + "*sin(2*PI*660*t)";
  return {"-f", "lavfi", "-i",
          "aevalsrc=" + expr + ":s=" + std::to_string(rate) + ":d=" + std::to_string(seconds)};
}

double stereo_rms(std::span<const float> samples) {
  double sum = 0.0;
  std::size_t count = 0;
  for (std::size_t i = 0; i + 1 < samples.size(); i += 2) {
    const auto l = static_cast<double>(samples[i]), r = static_cast<double>(samples[i + 1]);
    const double e = 0.5 * (l * l + r * r);
    if (e > 0.0001) {
      sum += e;
      ++count;
    }
  }
  return count ? std::sqrt(sum / double(count)) : 0.0;
}

double channel_frequency(std::span<const float> stereo, int channel, double rate) {
  const std::size_t frames = stereo.size() / 2;
  const std::size_t begin = frames / 10;
  const std::size_t end = frames - frames / 10;
  std::size_t crossings = 0;
  for (std::size_t i = begin + 1; i < end; ++i) {
    const float a = stereo[2 * (i - 1) + static_cast<std::size_t>(channel)];
    const float b = stereo[2 * i + static_cast<std::size_t>(channel)];
    if ((a < 0.0f) != (b < 0.0f)) ++crossings;
  }
  const double seconds = double(end - begin) / rate;
  return double(crossings) / 2.0 / seconds;
}

namespace {

int free_port() {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(s);
    return 0;
  }
  ::close(s);
  return ntohs(addr.sin_port);
}

bool can_connect(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(s);
  return ok;
}

}  // namespace

LocalHttpServer::LocalHttpServer(const fs::path& root) {
  port_ = free_port();
  if (port_ == 0) return;
  const std::string port = std::to_string(port_);
  const std::string dir = root.string();
  std::vector<char*> argv{
      const_cast<char*>("python3"),     const_cast<char*>("-m"),        const_cast<char*>("http.server"),
      const_cast<char*>(port.c_str()),  const_cast<char*>("--bind"),    const_cast<char*>("127.0.0.1"),
      const_cast<char*>("--directory"), const_cast<char*>(dir.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const int rc = ::posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    return;
  }
  for (int i = 0; i < 200 && !ready_; ++i) {
    ready_ = can_connect(port_);
    if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

LocalHttpServer::~LocalHttpServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

std::string LocalHttpServer::url(const std::string& name) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
}

}  // namespace melodara::test
