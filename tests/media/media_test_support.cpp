#include "media_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
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

// The port of the server's start-up line "Serving HTTP on 127.0.0.1 port N (...",
// read from `fd`; 0 when the server ends or the deadline passes first. The
// line is printed once the socket listens, however long a busy machine takes.
int announced_port(int fd, std::chrono::steady_clock::time_point deadline) {
  std::string text;
  char chunk[256];
  while (text.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return 0;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  const std::size_t at = text.find(" port ");
  return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + 6);
}

}  // namespace

LocalHttpServer::LocalHttpServer(const fs::path& root) {
  // Port 0: the server binds a free port itself and says which, so no other
  // test can take it in between.
  const std::string dir = root.string();
  const std::string script = std::string(MELODARA_MEDIA_TEST_DIR) + "/http_fixture_server.py";
  const std::string log = (log_dir_ / "requests.log").string();
  std::vector<char*> argv{const_cast<char*>("python3"),
                          const_cast<char*>("-u"),
                          const_cast<char*>(script.c_str()),
                          const_cast<char*>(dir.c_str()),
                          const_cast<char*>("0"),
                          const_cast<char*>(log.c_str()),
                          nullptr};
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const int rc = ::posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    pid_ = -1;
  } else {
    port_ = announced_port(out[0], std::chrono::steady_clock::now() + std::chrono::seconds(60));
    ready_ = port_ != 0;
  }
  ::close(out[0]);
}

LocalHttpServer::~LocalHttpServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

std::string LocalHttpServer::url(const std::string& name) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
}

std::vector<nlohmann::json> LocalHttpServer::requests() const {
  std::vector<nlohmann::json> out;
  std::ifstream in(log_dir_ / "requests.log");
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) out.push_back(nlohmann::json::parse(line));
  }
  return out;
}

std::vector<ToolRun> tool_runs(const fs::path& log) {
  std::vector<ToolRun> runs;
  for (ToolCall& call : read_tool_log(log)) {
    if (call.empty()) continue;
    ToolRun run;
    run.pid = static_cast<pid_t>(std::stol(call[0]));
    run.args.assign(call.begin() + 1, call.end());
    runs.push_back(std::move(run));
  }
  return runs;
}

namespace {

// The stand-in yt-dlp; CTL is its control folder.
constexpr const char* kFakeYtdlp = R"SH(PATH=/usr/bin:/bin
export PATH
ctl=CTL
printf '%s\0' "$(($# + 1))" "$$" "$@" >> "$ctl/log"
mode=video
out=
prev=
for a in "$@"; do
  [ "$prev" = "-o" ] && out="$a"
  [ "$a" = "--dump-single-json" ] && mode=json
  [ "$a" = "-g" ] && mode=g
  prev="$a"
done
if [ "$mode" = video ]; then
  if [ "$out" = "-" ]; then mode=stdout; fi
  case "$out" in *"%("*) mode=template;; esac
fi
printf '%s' "$$" > "$ctl/pid.$mode"
nap() {
  if [ -f "$ctl/sleep.$mode" ]; then sleep "$(cat "$ctl/sleep.$mode")"; fi
  if [ -f "$ctl/gate.$mode" ]; then while [ ! -f "$ctl/open.$mode" ]; do sleep 0.02; done; fi
}
case "$mode" in
  json) nap; cat "$ctl/search.json" 2>/dev/null;;
  g) nap; cat "$ctl/g.txt" 2>/dev/null;;
  stdout) nap; cat "$ctl/stdout.bin" 2>/dev/null;;
  template)
    printed=
    if [ -f "$ctl/files.txt" ]; then
      while read -r fid ext fixture; do
        p=$(printf '%s' "$out" | sed "s/%(format_id)s/$fid/; s/%(ext)s/$ext/")
        cp "$ctl/$fixture" "$p"
        printed="$printed$p
"
      done < "$ctl/files.txt"
    fi
    nap
    printf '%s' "$printed"
    cat "$ctl/print.txt" 2>/dev/null;;
  video) nap; if [ -f "$ctl/video.mp4" ]; then cp "$ctl/video.mp4" "$out"; fi;;
esac
if [ -f "$ctl/exit.$mode" ]; then exit "$(cat "$ctl/exit.$mode")"; fi
exit 0)SH";

std::string real_ffmpeg() {
  for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
    const fs::path p = fs::path(dir) / "ffmpeg";
    if (fs::exists(p)) return p.string();
  }
  return "ffmpeg";
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::uint64_t status_field_kib(const char* field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field, 0) == 0) return std::stoull(line.substr(std::strlen(field)));
  }
  return 0;
}

}  // namespace

FakeYtdlp::FakeYtdlp() : env_("MELODARA_YTDLP_PATH", (control_ / "yt-dlp").string()) {
  write_script(control_ / "yt-dlp", replace_all(kFakeYtdlp, "CTL", "'" + control_.path().string() + "'"));
}

void FakeYtdlp::put(const std::string& name, const std::string& text) const {
  write_text(control_ / name, text);
}

void FakeYtdlp::put_file(const std::string& name, const fs::path& from) const {
  fs::copy_file(from, control_ / name, fs::copy_options::overwrite_existing);
}

std::string FakeYtdlp::mode_of(const ToolRun& run) {
  std::string out;
  for (std::size_t i = 0; i < run.args.size(); ++i) {
    if (run.args[i] == "--dump-single-json") return "json";
    if (run.args[i] == "-g") return "g";
    if (run.args[i] == "-o" && i + 1 < run.args.size()) out = run.args[i + 1];
  }
  if (out == "-") return "stdout";
  return out.find("%(") != std::string::npos ? "template" : "video";
}

ToolBin::ToolBin(bool with_ffmpeg) {
  fs::create_symlink("/usr/bin/curl", bin_ / "curl");
  if (!with_ffmpeg) return;
  const std::string log = (bin_ / "ffmpeg.log").string();
  // The record of stand_in_tools.h with the pid first, then the real ffmpeg.
  const std::string gate = shell_quoted((bin_ / "gate").string());
  write_script(bin_ / "ffmpeg", "printf '%s\\0' \"$(($# + 1))\" \"$$\" \"$@\" >> " + shell_quoted(log) +
                                    "\nwhile [ -f " + gate + " ]; do sleep 0.02; done\nexec " +
                                    shell_quoted(real_ffmpeg()) + " \"$@\"");
}

void ToolBin::shut_gate() const { std::ofstream(bin_ / "gate").flush(); }
void ToolBin::open_gate() const { fs::remove(bin_ / "gate"); }

fs::path make_tone_file(const fs::path& out, const std::vector<std::string>& codec, double seconds,
                        double amplitude) {
  std::vector<std::string> args = tone_input(44100, 2, seconds, amplitude);
  args.insert(args.end(), codec.begin(), codec.end());
  args.push_back(out.string());
  return run_ffmpeg(args) ? out : fs::path();
}

std::ostream& operator<<(std::ostream& os, const Format& f) { return os << f.name; }

const std::vector<Format>& formats() {
  static const std::vector<Format> all{
      {"wav_s16_44k_stereo", "t.wav", {"-c:a", "pcm_s16le"}, 44100, 2, 0.001},
      {"wav_f32_48k_mono", "t.wav", {"-c:a", "pcm_f32le"}, 48000, 1, 0.001},
      {"wav_u8_48k_stereo", "t.wav", {"-c:a", "pcm_u8"}, 48000, 2, 0.001},
      {"wav_adpcm_ms_44k_stereo", "t.wav", {"-c:a", "adpcm_ms"}, 44100, 2, 0.03},
      {"wav_adpcm_ima_48k_mono", "t.wav", {"-c:a", "adpcm_ima_wav"}, 48000, 1, 0.045},
      {"aiff_s16_44k_stereo", "t.aiff", {"-c:a", "pcm_s16be"}, 44100, 2, 0.001},
      {"caf_alac_48k_stereo", "t.caf", {"-c:a", "alac"}, 48000, 2, 0.001},
      {"caf_s24_44k_mono", "t.caf", {"-c:a", "pcm_s24le"}, 44100, 1, 0.001},
      {"flac_44k_stereo", "t.flac", {"-c:a", "flac"}, 44100, 2, 0.001},
      {"flac_48k_mono", "t.flac", {"-c:a", "flac"}, 48000, 1, 0.001},
      {"mp3_44k_stereo", "t.mp3", {"-c:a", "libmp3lame", "-b:a", "192k"}, 44100, 2, 0.03},
      {"mp3_48k_mono", "t.mp3", {"-c:a", "libmp3lame", "-b:a", "128k"}, 48000, 1, 0.03},
      {"mp2_48k_stereo", "t.mp2", {"-c:a", "mp2", "-b:a", "256k"}, 48000, 2, 0.03},
      {"aac_m4a_44k_stereo", "t.m4a", {"-c:a", "aac", "-b:a", "160k"}, 44100, 2, 0.03},
      {"aac_m4a_48k_mono", "t.m4a", {"-c:a", "aac", "-b:a", "96k"}, 48000, 1, 0.03},
      {"aac_adts_48k_stereo", "t.aac", {"-c:a", "aac", "-b:a", "160k"}, 48000, 2, 0.05},
      {"aac_adts_44k_mono", "t.aac", {"-c:a", "aac", "-b:a", "96k"}, 44100, 1, 0.05},
      {"alac_mov_44k_stereo", "t.mov", {"-c:a", "alac"}, 44100, 2, 0.001},
      {"vorbis_ogg_44k_stereo", "t.ogg", {"-c:a", "libvorbis", "-q:a", "5"}, 44100, 2, 0.05},
      {"vorbis_ogg_48k_mono", "t.ogg", {"-c:a", "libvorbis", "-q:a", "4"}, 48000, 1, 0.05},
      {"flac_ogg_48k_stereo", "t.oga", {"-c:a", "flac"}, 48000, 2, 0.001},
      {"flac_mka_48k_stereo", "t.mka", {"-c:a", "flac"}, 48000, 2, 0.001},
      {"vorbis_webm_48k_stereo", "t.webm", {"-c:a", "libvorbis"}, 48000, 2, 0.05},
  };
  return all;
}

fs::path make_media(const TempDir& dir, const Format& f, double seconds, double amplitude) {
  const fs::path out = dir / f.file;
  std::vector<std::string> args = tone_input(f.rate, f.channels, seconds, amplitude);
  args.insert(args.end(), f.codec.begin(), f.codec.end());
  if (std::string(f.file).ends_with(".aac")) args.insert(args.end(), {"-f", "adts"});
  args.push_back(out.string());
  return run_ffmpeg(args) ? out : fs::path();
}

fs::path make_clip_video(const fs::path& out, double seconds, double amplitude) {
  std::vector<std::string> args{"-f", "lavfi", "-i",
                                "testsrc=size=96x64:rate=10:d=" + std::to_string(seconds)};
  const std::vector<std::string> tones = tone_input(44100, 2, seconds, amplitude);
  args.insert(args.end(), tones.begin(), tones.end());
  args.insert(args.end(), {"-c:v", "mpeg4", "-q:v", "2", "-c:a", "aac", "-shortest", out.string()});
  return run_ffmpeg(args) && fs::file_size(out) > 16384 ? out : fs::path();
}

void reset_peak_memory() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

std::uint64_t peak_memory_bytes() { return status_field_kib("VmHWM:") * 1024; }
std::uint64_t resident_memory_bytes() { return status_field_kib("VmRSS:") * 1024; }

std::vector<pid_t> live_children() {
  std::vector<pid_t> out;
  const pid_t self = ::getpid();
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc", ec)) {
    const std::string name = e.path().filename().string();
    if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0]))) continue;
    std::ifstream stat(e.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    pid_t ppid = 0;
    rest >> state >> ppid;
    if (ppid == self && state != 'Z') out.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return out;
}

bool process_gone(pid_t pid, std::chrono::milliseconds timeout) {
  return wait_until(
      [pid] {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) return true;
        const auto close = line.rfind(')');
        return close != std::string::npos && line.size() > close + 2 && line[close + 2] == 'Z';
      },
      timeout);
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

}  // namespace melodara::test
