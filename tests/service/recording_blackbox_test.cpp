// Recording through the built service on the simulated hardware, as the host
// drives it: a 440 Hz tone on the microphone, takes started and stopped over
// the protocol, the exported files read back from the temporary HOME. No track
// plays, so the beat stem is silent here; the engine's recording tests cover
// the track in it.
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/json_writer.h"
#include "service_process.h"
#include "signal_helpers.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::ServiceProcess;

// A folder of the test's own with a device set whose microphone plays 440 Hz.
struct DeviceFile {
  fs::path dir;
  DeviceFile() {
    std::string tmpl = (fs::temp_directory_path() / "melodara-rec-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
    std::ofstream(dir / "devices.json")
        << R"({"devices":[{"name":"MacBook Pro Microphone","inputChannels":1,"transport":"builtin",)"
        << R"("source":{"type":"sine","frequency":440,"level":0.2}},)"
        << R"({"name":"MacBook Pro Speakers","outputChannels":2,"transport":"builtin"}]})";
  }
  ~DeviceFile() { fs::remove_all(dir); }
  std::string path() const { return (dir / "devices.json").string(); }
};

class Recording : public ::testing::Test {
 protected:
  explicit Recording(std::map<std::string, std::string> env = {}, testing::ServiceOptions options = {}) {
    options.env = std::move(env);
    options.env["MELODARA_SIM_DEVICES"] = devices_.path();
    service_.emplace(options);
  }

  std::string request(const std::string& operation, const Json& payload) {
    return Json{{"protocolVersion", 2},
                {"requestId", "r" + std::to_string(++requests_)},
                {"operation", operation},
                {"payload", payload}}
        .dump();
  }
  // The whole answer line, parsed.
  Json answer(const std::string& operation, const Json& payload = Json::object()) {
    const auto line = service_->ask(request(operation, payload));
    EXPECT_TRUE(line.has_value()) << operation;
    return Json::parse(line.value_or("{}"));
  }
  // The result of an operation that must succeed.
  Json ok(const std::string& operation, const Json& payload = Json::object()) {
    Json a = answer(operation, payload);
    EXPECT_EQ(a.value("ok", false), true) << a.dump();
    return a.value("result", Json::object());
  }

  // Waits until the take of `target` holds `seconds` or more; a busy machine
  // records less than the wall time that passes. durationSec is rounded to
  // hundredths, so it must pass `seconds` by one before the take surely holds them.
  void record_at_least(double seconds, const std::string& target = "diagnostic") {
    for (const auto end = Clock::now() + 60s; Clock::now() < end; std::this_thread::sleep_for(50ms)) {
      const double held = ok("tunewerk.record.status", {{"target", target}})["durationSec"].get<double>();
      if (held >= seconds + 0.01) return;
    }
    ADD_FAILURE() << "the take never reached " << seconds << " s";
  }

  fs::path home() const { return service_->home(); }
  fs::path downloads() const { return home() / "Downloads"; }

  DeviceFile devices_;
  std::optional<ServiceProcess> service_;
  int requests_ = 0;
};

class RecordingWithoutFfmpeg : public Recording {
 protected:
  RecordingWithoutFfmpeg() : Recording({{"MELODARA_FFMPEG_PATH", "/bin/false"}}) {}
};

std::vector<std::uint8_t> file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t u32(const std::uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24; }
std::uint16_t u16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }

// The samples of a 16-bit stereo 48 kHz file after checking its header.
std::vector<float> wav_samples(const fs::path& path) {
  const auto b = file_bytes(path);
  EXPECT_GE(b.size(), 44u) << path;
  if (b.size() < 44) return {};
  const std::uint32_t data = std::uint32_t(b.size() - 44);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
  EXPECT_EQ(u32(&b[4]), data + 36);
  EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(u32(&b[16]), 16u);
  EXPECT_EQ(u16(&b[20]), 1u);
  EXPECT_EQ(u16(&b[22]), 2u);
  EXPECT_EQ(u32(&b[24]), 48000u);
  EXPECT_EQ(u32(&b[28]), 192000u);
  EXPECT_EQ(u16(&b[32]), 4u);
  EXPECT_EQ(u16(&b[34]), 16u);
  EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "data");
  EXPECT_EQ(u32(&b[40]), data);
  std::vector<float> out(data / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    std::int16_t v;
    std::memcpy(&v, &b[44 + 2 * i], 2);
    out[i] = float(v) / 32767.0f;
  }
  return out;
}

// True when some 100 ms of the left channel holds the microphone's 440 Hz tone
// cleanly: one window is enough, because a starved machine may drop frames
// elsewhere in the take, and a dropout spreads energy over every frequency.
bool has_tone(const std::vector<float>& stereo) {
  constexpr std::size_t kWindow = 4800;
  std::vector<float> left(kWindow);
  for (std::size_t from = 0; 2 * (from + kWindow) <= stereo.size(); from += kWindow) {
    for (std::size_t f = 0; f < kWindow; ++f) left[f] = stereo[2 * (from + f)];
    const double tone = test::spectrum_at(left, 440.0);
    if (tone > 100.0 * test::spectrum_at(left, 1250.0) && tone > 0.01 * double(kWindow)) return true;
  }
  return false;
}

// The duration of n samples as the answers write it: in 32-bit floats,
// rounded to two decimals, widened.
double rounded(std::uintmax_t n) { return double(std::round(float(n) / 96000.0f * 100.0f) / 100.0f); }
// The samples of a WAV file, from its size.
std::uintmax_t samples_in(const fs::path& wav) { return (fs::file_size(wav) - 44) / 2; }

std::string probe(const fs::path& file, const char* entry) {
  const std::string command = "ffprobe -v error -show_entries " + std::string(entry) +
                              " -of default=nw=1:nk=1 '" + file.string() + "'";
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

TEST_F(Recording, DiagnosticTakeExportsMixStemsAndShareCopy) {
  fs::create_directory(downloads());
  EXPECT_EQ(
      to_json_text(ok("tunewerk.record.status")),
      R"({"beatPath":"","dryPath":"","durationSec":0.0,"ok":true,"recording":false,"savedPath":"","sharePath":"","target":"diagnostic","vocalPath":""})");
  EXPECT_EQ(to_json_text(ok("tunewerk.record.start")),
            R"({"active":true,"durationSec":0.0,"ok":true,"recording":true,"target":"diagnostic"})");
  const auto started = Clock::now();

  // The status grows at one second per second, in hundredths.
  std::this_thread::sleep_for(1s);
  const Json first = ok("tunewerk.record.status");
  std::this_thread::sleep_for(1s);
  const Json second = ok("tunewerk.record.status");
  EXPECT_EQ(second["recording"], true);
  for (const Json* s : {&first, &second}) {
    const double d = s->at("durationSec").get<double>();
    EXPECT_EQ(d, double(std::round(float(d) * 100.0f) / 100.0f));
  }
  const double growth = second["durationSec"].get<double>() - first["durationSec"].get<double>();
  EXPECT_GT(growth, 0.5);
  EXPECT_LT(growth, 1.6);

  std::this_thread::sleep_for(1s);
  const auto stopping = Clock::now();
  const Json stop = ok("tunewerk.record.stop");
  const auto stopped = Clock::now();

  const fs::path mix = downloads() / "Melodara_BanThu_48kHz.wav";
  EXPECT_EQ(stop["savedPath"], mix.string());
  EXPECT_EQ(stop["sharePath"], (downloads() / "Melodara_BanThu_Share.m4a").string());
  EXPECT_EQ(stop["vocalPath"], (downloads() / "Melodara_Vocal_48kHz.wav").string());
  EXPECT_EQ(stop["dryPath"], (downloads() / "Melodara_DryMic_48kHz.wav").string());
  EXPECT_EQ(stop["beatPath"], (downloads() / "Melodara_Beat_48kHz.wav").string());
  EXPECT_EQ(stop["recording"], false);
  EXPECT_EQ(stop["target"], "diagnostic");

  // Four files of one length: 44 + 2N bytes, N about three seconds of stereo.
  const auto size = fs::file_size(mix);
  for (const char* stem :
       {"Melodara_Vocal_48kHz.wav", "Melodara_DryMic_48kHz.wav", "Melodara_Beat_48kHz.wav"})
    EXPECT_EQ(fs::file_size(downloads() / stem), size) << stem;
  const std::size_t n = (size - 44) / 2;
  EXPECT_EQ(n % 2, 0u);
  const double seconds = double(n) / 96000.0;
  EXPECT_LE(seconds, std::chrono::duration<double>(stopped - started).count() + 0.05);
  EXPECT_GE(seconds, std::chrono::duration<double>(stopping - started).count() - 0.5);
  EXPECT_EQ(stop["durationSec"].get<double>(), rounded(n));

  EXPECT_TRUE(has_tone(wav_samples(mix)));
  EXPECT_TRUE(has_tone(wav_samples(downloads() / "Melodara_Vocal_48kHz.wav")));
  EXPECT_TRUE(has_tone(wav_samples(downloads() / "Melodara_DryMic_48kHz.wav")));
  const auto beat = wav_samples(downloads() / "Melodara_Beat_48kHz.wav");
  EXPECT_EQ(test::peak_abs(beat), 0.0);

  // The share copy is AAC of the take's length.
  const fs::path share = downloads() / "Melodara_BanThu_Share.m4a";
  EXPECT_EQ(probe(share, "stream=codec_name"), "aac");
  EXPECT_NEAR(std::stod("0" + probe(share, "format=duration")), seconds, 0.1);

  // A second stop answers the same paths and writes nothing.
  fs::remove(mix);
  const Json again = ok("tunewerk.record.stop");
  EXPECT_EQ(again, stop);
  EXPECT_FALSE(fs::exists(mix));
  EXPECT_EQ(ok("tunewerk.record.status")["savedPath"], mix.string());

  // A stage take writes its mix and share copy and leaves the stems alone.
  const auto stem_time = fs::last_write_time(downloads() / "Melodara_Vocal_48kHz.wav");
  ok("tunewerk.record.start", {{"target", "stage"}});
  std::this_thread::sleep_for(500ms);
  const Json stage = ok("tunewerk.record.stop", {{"target", "stage"}});
  EXPECT_EQ(stage["savedPath"], (downloads() / "Melodara_Stage_Mix_48kHz.wav").string());
  EXPECT_EQ(stage["sharePath"], (downloads() / "Melodara_Stage_Share.m4a").string());
  EXPECT_EQ(stage["vocalPath"], "");
  EXPECT_EQ(probe(downloads() / "Melodara_Stage_Share.m4a", "stream=codec_name"), "aac");
  EXPECT_EQ(fs::last_write_time(downloads() / "Melodara_Vocal_48kHz.wav"), stem_time);
  EXPECT_EQ(ok("tunewerk.record.status")["vocalPath"], stop["vocalPath"]);
}

TEST_F(Recording, BackToBackStopsKeepTheWholeTake) {
  // Without a Downloads folder the files go to the home folder.
  ok("tunewerk.record.start");
  record_at_least(1.1);
  service_->write_line(request("tunewerk.record.stop", Json::object()));
  service_->write_line(request("tunewerk.record.stop", Json::object()));
  Json answers[2];
  for (Json& a : answers) a = Json::parse(service_->read_line(30s).value_or("{}"));
  for (const Json& a : answers) ASSERT_EQ(a.value("ok", false), true) << a.dump();
  EXPECT_EQ(answers[0]["result"], answers[1]["result"]);
  const Json& result = answers[0]["result"];
  EXPECT_EQ(result["savedPath"], (home() / "Melodara_BanThu_48kHz.wav").string());
  const auto n = samples_in(home() / "Melodara_BanThu_48kHz.wav");
  EXPECT_GT(n, 96000u);
  EXPECT_EQ(result["durationSec"].get<double>(), rounded(n));
}

// Guards a retake: the start written right behind the stop ran first, dropped
// the take that was recording, and that stop then ended the new take and
// exported 0.05 s of padding over the take's files; the slot did not record.
TEST_F(Recording, AStopAndAStartInOneWriteKeepTheTakeAndRecordTheNext) {
  fs::create_directory(downloads());
  for (const std::string target : {"diagnostic", "stage"}) {
    SCOPED_TRACE(target);
    const Json payload{{"target", target}};
    const fs::path mix =
        downloads() / (target == "stage" ? "Melodara_Stage_Mix_48kHz.wav" : "Melodara_BanThu_48kHz.wav");
    ok("tunewerk.record.start", payload);
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      record_at_least(0.6, target);
      const double held = ok("tunewerk.record.status", payload)["durationSec"].get<double>();
      const Json stop = Json::parse(request("tunewerk.record.stop", payload));
      const Json start = Json::parse(request("tunewerk.record.start", payload));
      auto answers = service_->exchange({stop, start});
      ASSERT_EQ(answers.size(), 2u);
      const Json& stopped = answers[stop["requestId"]];
      const Json& started = answers[start["requestId"]];
      ASSERT_EQ(stopped["ok"], true) << stopped;
      ASSERT_EQ(started["ok"], true) << started;
      EXPECT_EQ(started["result"]["recording"], true);

      // The stop exported the take that was recording, whole.
      EXPECT_EQ(stopped["result"]["savedPath"], mix.string());
      EXPECT_GE(stopped["result"]["durationSec"].get<double>(), held);
      const auto n = samples_in(mix);
      EXPECT_GE(double(n) / 96000.0, held - 0.01) << "the file holds less than the take";
      EXPECT_EQ(stopped["result"]["durationSec"].get<double>(), rounded(n));
      EXPECT_TRUE(has_tone(wav_samples(mix)));

      // The start's take records.
      EXPECT_EQ(ok("tunewerk.record.status", payload)["recording"], true);
    }
    record_at_least(0.3, target);
    EXPECT_EQ(ok("tunewerk.record.stop", payload)["recording"], false);
  }
}

TEST_F(RecordingWithoutFfmpeg, StageTargetWritesOnlyItsMixAndShareFallsBackToIt) {
  fs::create_directory(downloads());
  EXPECT_EQ(ok("tunewerk.record.start", {{"target", "stage"}})["target"], "stage");
  EXPECT_EQ(ok("tunewerk.record.status", {{"target", "Stage"}})["recording"], false);
  std::this_thread::sleep_for(700ms);
  const Json stop = ok("tunewerk.record.stop", {{"target", "stage"}});
  const fs::path mix = downloads() / "Melodara_Stage_Mix_48kHz.wav";
  EXPECT_EQ(stop["target"], "stage");
  EXPECT_EQ(stop["savedPath"], mix.string());
  EXPECT_EQ(stop["sharePath"], mix.string());  // ffmpeg failed
  EXPECT_EQ(stop["vocalPath"], "");
  EXPECT_EQ(stop["dryPath"], "");
  EXPECT_EQ(stop["beatPath"], "");
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(downloads())) files.push_back(e.path().filename().string());
  EXPECT_EQ(files, std::vector<std::string>{"Melodara_Stage_Mix_48kHz.wav"});
  EXPECT_TRUE(has_tone(wav_samples(mix)));
  EXPECT_EQ(ok("tunewerk.record.status")["savedPath"], "");  // the diagnostic slot is untouched
}

TEST_F(Recording, StopOnAFreshServiceLeavesEarlierExportsAlone) {
  fs::create_directory(downloads());
  const std::string earlier = "the user's take from yesterday";
  for (const char* name : {"Melodara_BanThu_48kHz.wav", "Melodara_Stage_Mix_48kHz.wav"})
    std::ofstream(downloads() / name) << earlier;
  for (const char* target : {"diagnostic", "stage"}) {
    EXPECT_EQ(
        to_json_text(ok("tunewerk.record.stop", {{"target", target}})),
        R"({"beatPath":"","dryPath":"","durationSec":0.0,"ok":true,"recording":false,"savedPath":"","sharePath":"","target":")" +
            std::string(target) + R"(","vocalPath":""})");
  }
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(downloads())) {
    files.push_back(e.path().filename().string());
    std::ifstream in(e.path());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), earlier);
  }
  EXPECT_EQ(files.size(), 2u);
}

TEST_F(RecordingWithoutFfmpeg, UnwritableMixKeepsTheTakeForTheNextStop) {
  // A folder in the mix file's place: no one can write the file, root included.
  const fs::path mix = downloads() / "Melodara_BanThu_48kHz.wav";
  fs::create_directories(mix);
  ok("tunewerk.record.start");
  record_at_least(0.75);
  const Json failed = answer("tunewerk.record.stop");
  EXPECT_EQ(failed["ok"], false);
  EXPECT_EQ(failed["error"]["code"], "internal_error");
  EXPECT_EQ(failed["error"]["message"], "Không thể tạo file WAV " + mix.string() + ": Is a directory");
  EXPECT_EQ(failed["error"]["retryable"], true);
  const Json status = ok("tunewerk.record.status");
  EXPECT_EQ(status["recording"], false);
  EXPECT_EQ(status["savedPath"], "");

  fs::remove(mix);
  const Json stop = ok("tunewerk.record.stop");
  EXPECT_EQ(stop["savedPath"], mix.string());
  EXPECT_EQ(stop["sharePath"], mix.string());
  const auto n = samples_in(mix);
  EXPECT_GT(n, 67200u);  // the take itself (0.7 s and more), not 0.05 s of padding
  EXPECT_EQ(stop["durationSec"].get<double>(), rounded(n));
  EXPECT_TRUE(has_tone(wav_samples(mix)));
}

// Every file of the folder by name, with its bytes.
using Snapshot = std::map<std::string, std::vector<std::uint8_t>>;
Snapshot snapshot(const fs::path& dir) {
  Snapshot files;
  for (const auto& e : fs::directory_iterator(dir))
    files[e.path().filename().string()] = file_bytes(e.path());
  return files;
}

std::vector<std::string> temporaries_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().find(".tmp-") != std::string::npos)
      names.push_back(e.path().filename().string());
  return names;
}

// The samples of a WAV whose header agrees with its size, else none.
std::optional<std::uintmax_t> whole_wav_samples(const std::vector<std::uint8_t>& b) {
  if (b.size() < 44 || std::string(b.begin(), b.begin() + 4) != "RIFF" || u32(&b[40]) != b.size() - 44 ||
      u32(&b[4]) != b.size() - 8)
    return std::nullopt;
  return (b.size() - 44) / 2;
}

double probe_seconds(const fs::path& file) { return std::stod("0" + probe(file, "format=duration")); }

// A service on the simulated microphone with the given HOME.
testing::ServiceOptions on_home(const DeviceFile& devices, const std::string& home) {
  testing::ServiceOptions options;
  options.env["MELODARA_SIM_DEVICES"] = devices.path();
  options.home = home;
  return options;
}

const char* const kDiagnosticFiles[] = {"Melodara_BanThu_48kHz.wav", "Melodara_Vocal_48kHz.wav",
                                        "Melodara_DryMic_48kHz.wav", "Melodara_Beat_48kHz.wav",
                                        "Melodara_BanThu_Share.m4a"};

// Guards the take a host loses when it quits right after stopping: the
// export's ffmpeg was killed and the process ended under the writers.
TEST_F(Recording, StopJustBeforeTheHostQuitsIsExportedWhole) {
  fs::create_directory(downloads());
  ok("tunewerk.record.start");
  record_at_least(2.0);
  ASSERT_TRUE(service_->write_line(request("tunewerk.record.stop", Json::object())));
  service_->close_stdin();
  const Json stop = Json::parse(service_->read_line(70s).value_or("{}"));
  EXPECT_EQ(service_->wait_exit(70s), 0);
  ASSERT_EQ(stop.value("ok", false), true) << stop.dump();
  const fs::path mix = downloads() / "Melodara_BanThu_48kHz.wav";
  const fs::path share = downloads() / "Melodara_BanThu_Share.m4a";
  EXPECT_EQ(stop["result"]["sharePath"], share.string());
  const auto n = whole_wav_samples(file_bytes(mix));
  ASSERT_TRUE(n.has_value());
  EXPECT_GE(*n, 2u * 96000u);
  EXPECT_EQ(probe(share, "stream=codec_name"), "aac");
  EXPECT_NEAR(probe_seconds(share), double(*n) / 96000.0, 0.1);
  EXPECT_TRUE(temporaries_in(downloads()).empty());
}

class RecordingOnAFullDisk : public Recording {
 protected:
  static constexpr std::uint64_t kLimit = 400 * 1024;  // a 1 s take fits, a 3 s one does not
  RecordingOnAFullDisk() : Recording({}, limited(kLimit)) {}
  static testing::ServiceOptions limited(std::uint64_t bytes) {
    testing::ServiceOptions options;
    options.file_size_limit = bytes;
    return options;
  }
};

// Guards the previous take on a full disk: it was truncated in place, and a
// file cut short was still answered.
TEST_F(RecordingOnAFullDisk, AnswersNoFileItCouldNotWriteAndKeepsThePreviousTake) {
  fs::create_directory(downloads());
  ok("tunewerk.record.start");
  record_at_least(0.5);
  const Json first = ok("tunewerk.record.stop");
  ASSERT_EQ(first["sharePath"], (downloads() / "Melodara_BanThu_Share.m4a").string());
  ASSERT_EQ(first["beatPath"], (downloads() / "Melodara_Beat_48kHz.wav").string());
  const Snapshot previous = snapshot(downloads());
  ASSERT_EQ(previous.size(), 5u);

  ok("tunewerk.record.start");
  record_at_least(3.0);
  const Json failed = answer("tunewerk.record.stop");
  EXPECT_EQ(failed["ok"], false) << failed.dump();
  EXPECT_EQ(failed["error"]["code"], "internal_error");
  EXPECT_EQ(failed["error"]["message"], "Lỗi ghi dữ liệu WAV: File too large");
  EXPECT_EQ(failed["error"]["retryable"], true);
  EXPECT_EQ(snapshot(downloads()), previous);
  EXPECT_EQ(ok("tunewerk.record.status")["savedPath"], first["savedPath"]);

  // With room again, the next stop exports the take that was kept.
  rlimit room{};
  getrlimit(RLIMIT_FSIZE, &room);
  ASSERT_EQ(prlimit(service_->pid(), RLIMIT_FSIZE, &room, nullptr), 0);
  const Json stop = ok("tunewerk.record.stop");
  const auto n = whole_wav_samples(file_bytes(downloads() / "Melodara_BanThu_48kHz.wav"));
  ASSERT_TRUE(n.has_value());
  EXPECT_GE(*n, 3u * 96000u);
  EXPECT_EQ(stop["durationSec"].get<double>(), rounded(*n));
  EXPECT_TRUE(temporaries_in(downloads()).empty());
}

// A stand-in ffmpeg that runs the real one and, once `half` exists beside
// it, cuts its output to half and still exits with 0.
struct HalfWritingFfmpeg {
  DeviceFile folder;  // a fresh folder of the test's own
  fs::path script = folder.dir / "ffmpeg", half = folder.dir / "half";
  HalfWritingFfmpeg() {
    std::ofstream(script) << "#!/bin/sh\n/usr/bin/ffmpeg \"$@\" || exit $?\nfor last; do :; done\n"
                          << "if [ -e '" << half.string() << "' ]; then\n"
                          << "  truncate -s $(( $(stat -c %s \"$last\") / 2 )) \"$last\"\nfi\nexit 0\n";
    fs::permissions(script, fs::perms::owner_all);
  }
};

// The stand-in is a base so that it exists before the service starts.
class RecordingWithAHalfShareCopy : protected HalfWritingFfmpeg, public Recording {
 protected:
  RecordingWithAHalfShareCopy() : Recording({{"MELODARA_FFMPEG_PATH", script.string()}}) {}
};

// Guards the share copy that no player opens: ffmpeg's exit status was all
// that counted.
TEST_F(RecordingWithAHalfShareCopy, IsNotAnsweredAndThePreviousCopyStays) {
  fs::create_directory(downloads());
  const fs::path mix = downloads() / "Melodara_BanThu_48kHz.wav";
  const fs::path share = downloads() / "Melodara_BanThu_Share.m4a";
  ok("tunewerk.record.start");
  record_at_least(1.0);
  ASSERT_EQ(ok("tunewerk.record.stop")["sharePath"], share.string());
  const auto previous_share = file_bytes(share);
  const auto previous_mix = file_bytes(mix);

  std::ofstream(half) << "";
  ok("tunewerk.record.start");
  record_at_least(3.0);
  const Json stop = ok("tunewerk.record.stop");
  EXPECT_EQ(stop["savedPath"], mix.string());
  EXPECT_EQ(stop["sharePath"], mix.string());
  EXPECT_EQ(file_bytes(share), previous_share);
  EXPECT_NE(file_bytes(mix), previous_mix);
  EXPECT_GE(whole_wav_samples(file_bytes(mix)).value_or(0), 3u * 96000u);
  EXPECT_TRUE(temporaries_in(downloads()).empty());
}

// Guards against torn exports: a service killed while it exports a 25 s take
// left headers without data and data under a header that claimed more. Five
// services record at once, each killed at its own moment of the export.
TEST(RecordingKilled, MidExportEveryFileIsThePreviousTakeOrTheWholeNewOne) {
  constexpr double kTakeSeconds = 25.0;
  const std::chrono::milliseconds delays[] = {5ms, 20ms, 40ms, 150ms, 600ms};
  DeviceFile devices;
  struct Trial {
    DeviceFile home;  // a folder that outlives the killed service
    std::optional<ServiceProcess> service;
    Snapshot previous;
  };
  std::vector<Trial> trials(std::size(delays));
  auto status = [](ServiceProcess& s) { return s.call("tunewerk.record.status"); };
  for (Trial& t : trials) {
    fs::create_directory(t.home.dir / "Downloads");
    t.service.emplace(on_home(devices, t.home.dir.string()));
    t.service->call("tunewerk.record.start");
  }
  std::this_thread::sleep_for(500ms);
  for (Trial& t : trials) {
    t.service->call("tunewerk.record.stop");
    t.previous = snapshot(t.home.dir / "Downloads");
    ASSERT_EQ(t.previous.size(), 5u);
    t.service->call("tunewerk.record.start");
  }
  for (Trial& t : trials) {
    for (const auto end = Clock::now() + 90s;
         Clock::now() < end && status(*t.service)["durationSec"].get<double>() < kTakeSeconds;)
      std::this_thread::sleep_for(100ms);
  }
  for (std::size_t i = 0; i < trials.size(); ++i) {
    ServiceProcess& s = *trials[i].service;
    ASSERT_TRUE(
        s.write_line(R"({"protocolVersion":2,"requestId":"stop","operation":"tunewerk.record.stop"})"));
    std::this_thread::sleep_for(delays[i]);
    kill(s.pid(), SIGKILL);
    EXPECT_EQ(s.wait_exit(), -SIGKILL);
  }

  for (std::size_t i = 0; i < trials.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "killed " << delays[i].count() << " ms into the export");
    const fs::path dir = trials[i].home.dir / "Downloads";
    for (const char* name : kDiagnosticFiles) {
      const auto now = file_bytes(dir / name);
      if (now == trials[i].previous.at(name)) continue;
      if (std::string(name).ends_with(".wav")) {
        EXPECT_GE(whole_wav_samples(now).value_or(0), std::uintmax_t(kTakeSeconds * 96000.0)) << name;
      } else {
        EXPECT_EQ(probe(dir / name, "stream=codec_name"), "aac");
        const auto mix = whole_wav_samples(file_bytes(dir / "Melodara_BanThu_48kHz.wav")).value_or(0);
        EXPECT_NEAR(probe_seconds(dir / name), double(mix) / 96000.0, 0.1);
      }
    }
    // A new service on the same HOME clears what the killed one left.
    ServiceProcess next(on_home(devices, trials[i].home.dir.string()));
    for (const auto end = Clock::now() + 5s; Clock::now() < end && !temporaries_in(dir).empty();)
      std::this_thread::sleep_for(50ms);
    EXPECT_EQ(temporaries_in(dir), std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace melodara
