// What the built service does at start with the temporaries a killed run left:
// in the recordings folder, the player cache and the voice profile's folders.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service_process.h"
#include "temp_files.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ServiceOptions;
using testing::ServiceProcess;

const std::vector<std::string> kOwnPidNamespace = {"/usr/bin/unshare", "--pid", "--fork", "--mount-proc",
                                                   "--kill-child"};

// The pid a program started under kOwnPidNamespace has there, or none where
// such a namespace cannot be made (no privilege, no unshare).
std::optional<pid_t> pid_in_own_namespace() {
  std::string command;
  for (const std::string& word : kOwnPidNamespace) command += word + " ";
  command += "/bin/sh -c 'echo $$' 2>/dev/null";
  FILE* out = ::popen(command.c_str(), "r");
  if (out == nullptr) return std::nullopt;
  char line[32] = {};
  const bool read = std::fgets(line, sizeof line, out) != nullptr;
  if (::pclose(out) != 0 || !read) return std::nullopt;
  const int pid = std::atoi(line);
  if (pid <= 0) return std::nullopt;
  return pid;
}

const std::string kCache = "home/.cache/melodara/player-cache/";

// Loss guarded against: a sandboxed service (the same pid at every start)
// kept the mix temporary a kill left under its own pid, and every later stop
// failed with "File exists", so no take could be saved again.
TEST(TemporariesService, OwnPidTemporariesOfAKilledRunGoAndTheNextTakeIsSaved) {
  const std::optional<pid_t> pid = pid_in_own_namespace();
  if (!pid) GTEST_SKIP() << "no pid namespace of our own can be made here (unshare needs privileges)";
  const std::string p = std::to_string(*pid);
  const std::vector<std::string> stale = {
      "home/Downloads/Melodara_BanThu_48kHz.wav.tmp-" + p + "-0",
      "home/Downloads/Melodara_BanThu_48kHz.wav.tmp-" + p + "-1",
      "home/Downloads/Melodara_BanThu_Share.m4a.tmp-" + p + "-2",
      kCache + "clip-yt-aaaaaaaaaaa.pcm48k.tmp-" + p + "-0",
      kCache + "clip-yt-aaaaaaaaaaa.part." + p + ".77.mp4",
      "home/.config/Melodara/Tunewerk_Saved_VoiceProfile.json.tmp-" + p + "-0",
      "work/recordings/Tunewerk_Saved_VoiceProfile.json.tmp-" + p + "-1",
  };
  std::map<std::string, std::string> files;
  for (const std::string& name : stale) files[name] = "left by a killed run";
  ServiceOptions options;
  options.wrapper = kOwnPidNamespace;
  ServiceProcess service(options, files);
  service.call("player.status");  // answered only after the start-up sweeps
  const fs::path root = fs::path(service.home()).parent_path();
  for (const std::string& name : stale) EXPECT_FALSE(fs::exists(root / name)) << name;

  service.call("tunewerk.record.start");
  std::this_thread::sleep_for(300ms);
  const auto stop = service.call("tunewerk.record.stop");
  const fs::path mix = fs::path(service.home()) / "Downloads/Melodara_BanThu_48kHz.wav";
  EXPECT_EQ(stop["savedPath"], mix.string());
  EXPECT_TRUE(fs::is_regular_file(mix));
  EXPECT_GT(fs::file_size(mix), 44u);
}

// Loss guarded against: clip-video partials of killed downloads (tens of MB
// each) stayed in the player cache for ever.
TEST(TemporariesService, ClipVideoPartialsOfEndedProcessesGoAtStartUp) {
  const pid_t dead = test::ended_pid();
  ASSERT_GT(dead, 0);
  const std::string alive = std::to_string(::getpid());  // running, and not the service
  const std::vector<std::string> stale = {
      "clip-yt-aaaaaaaaaaa.part." + std::to_string(dead) + ".123.mp4",
      "clip-0123456789abcdef.part." + std::to_string(dead) + ".4.mp4",
  };
  const std::vector<std::string> kept = {
      "clip-yt-bbbbbbbbbbb.part." + alive + ".123.mp4",  // a running download's
      "clip-yt-aaaaaaaaaaa.mp4",                         // a finished clip video
      "clip-0123456789abcdef.mp4",
      "clip-yt-aaaaaaaaaaa.part." + std::to_string(dead) + ".mp4",  // not a name we write
  };
  std::map<std::string, std::string> files;
  for (const auto& n : stale) files[kCache + n] = "partial";
  for (const auto& n : kept) files[kCache + n] = "kept";
  ServiceProcess service({}, files);
  service.call("player.status");
  const fs::path dir = fs::path(service.home()) / ".cache/melodara/player-cache";
  for (const auto& n : stale) EXPECT_FALSE(fs::exists(dir / n)) << n;
  for (const auto& n : kept) EXPECT_TRUE(fs::exists(dir / n)) << n;
}

}  // namespace
}  // namespace melodara
