// Virtual device provisioning on the simulated system: its fixed paths lie
// under a temporary root, and stand-in clang, cp and killall on PATH log
// their calls. The simulation shows the bus and microphone once the driver
// folder is installed or a set-up program made by the stand-in clang ran.
#include "engine/virtual_device_provisioning.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>

#include "engine/device_list.h"
#include "engine_test_support.h"
#include "stand_in_tools.h"

namespace melodara {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ToolCall;
using Calls = std::vector<ToolCall>;

const std::string kBus(kVirtualBusName);

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_text(const fs::path& path, const std::string& text, fs::perms perms = fs::perms(0644)) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
  fs::permissions(path, perms);
}

// What one provisioning run did.
struct Outcome {
  std::optional<std::string> result;
  std::vector<std::string> recorded;  // bus names handed to set_bus_name
  std::vector<std::chrono::nanoseconds> sleeps;
  int snapshots = 0;
  std::shared_ptr<sim::Hardware> hw;

  std::vector<std::string> device_names() const {
    std::vector<std::string> names;
    auto p = hw->platform();
    const auto ids = p.system->devices();
    for (DeviceId id : ids.value_or(std::vector<DeviceId>{}))
      names.push_back(p.system->device_name(id).value());
    return names;
  }
  std::string default_output() const {
    auto p = hw->platform();
    return p.system->device_name(p.system->default_output_device().value()).value();
  }
};

// A shell program that logs its run as the stand-ins do.
std::string program_logging(const std::string& name) {
  return "#!/bin/sh\nprintf '%s\\0' 1 " + name + " >>\"$MELODARA_TOOL_LOG\"\n";
}

sim::Config studio() {
  sim::Config c;
  c.devices = {test::input_device("MacBook Pro Microphone"), test::output_device("MacBook Pro Speakers")};
  return c;
}

class Provisioning : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "mld-provision-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    base_ = tmpl;
    use_root("root");
    const char* path = std::getenv("PATH");
    old_path_ = path ? path : "/usr/bin:/bin";
    ::setenv("PATH", (std::string(test::kStandInToolsDir) + ":" + old_path_).c_str(), 1);
    ::setenv("MELODARA_TOOL_LOG", log().c_str(), 1);
  }
  void TearDown() override {
    ::setenv("PATH", old_path_.c_str(), 1);
    ::unsetenv("MELODARA_TOOL_LOG");
    fs::remove_all(base_);
  }

  // A fresh system root (with its /tmp) and an empty tool log.
  void use_root(const std::string& name) {
    root_ = base_ / name;
    fs::create_directories(root_ / "tmp");
    fs::remove(log());
  }
  fs::path log() const { return base_ / "tools.log"; }
  std::string at(std::string_view fixed_path) const { return root_.string() + std::string(fixed_path); }
  Calls calls() const { return test::read_tool_log(log()); }

  void install_loopback() {
    write_text(at(kLoopbackFrameworkFile), "framework");
    fs::create_directories(at(kLoopbackDriverPath));
  }
  // A driver bundle to copy, and the folder it is copied into.
  void ship_driver(const fs::path& bundle) {
    write_text(bundle / "Contents/Info.plist", "driver");
    fs::create_directories(fs::path(at(kDriverInstalledPath)).parent_path());
  }
  ToolCall clang_call() const {
    const std::string frameworks = at(kLoopbackFrameworksFolder);
    return {"clang",
            "-framework",
            "Foundation",
            "-F" + frameworks,
            "-framework",
            "ACE",
            "-Wl,-rpath," + frameworks,
            at(kSetupSourcePath),
            "-o",
            at(kSetupProgramPath)};
  }
  ToolCall cp_call(const std::string& source) const { return {"cp", "-R", source, at(kDriverInstalledPath)}; }

  Outcome provision(sim::Config config = studio(), bool stalled = false,
                    std::optional<fs::path> executable = std::nullopt) {
    Outcome run;
    config.root = root_.string();
    run.hw = sim::Hardware::create(std::move(config), sim::Clocking::manual);
    ProvisioningEnv env;
    env.platform = run.hw->platform();
    env.enumeration_stalled = [stalled] { return stalled; };
    env.device_snapshot = [&run] {
      ++run.snapshots;
      return enumerate_device_names(*run.hw->platform().system);
    };
    env.set_bus_name = [&run](std::string name) { run.recorded.push_back(std::move(name)); };
    env.sleep = [&run](std::chrono::nanoseconds d) { run.sleeps.push_back(d); };
    env.executable = std::move(executable);
    run.result = provision_virtual_devices(env);
    return run;
  }

  fs::path base_, root_;
  std::string old_path_;
};

TEST_F(Provisioning, WithoutLoopbackTheDriverIsInstalledAndTheBusAppears) {
  const std::string shipped = at(kDriverAppSourcePath);
  ship_driver(shipped);
  const Outcome run = provision();
  EXPECT_EQ(calls(), (Calls{cp_call(shipped), {"killall", "coreaudiod"}}));
  EXPECT_EQ(read_text(at(kDriverInstalledPath) + "/Contents/Info.plist"), "driver");
  EXPECT_EQ(run.sleeps, (std::vector<std::chrono::nanoseconds>{350ms}));
  EXPECT_EQ(run.result, kBus);
  EXPECT_EQ(run.recorded, std::vector<std::string>{kBus});
  EXPECT_EQ(run.device_names(), (std::vector<std::string>{"MacBook Pro Microphone", "MacBook Pro Speakers",
                                                          kBus, "Melodara_Virtual_Mic_48kHz"}));
  EXPECT_FALSE(fs::exists(at(kSetupSourcePath)) || fs::exists(at(kSetupProgramPath)));
}

TEST_F(Provisioning, DriverSourceIsTheFirstCandidateThatExists) {
  // Beside the executable, beside its folder, inside the installed app.
  struct Case {
    bool executable_known;
    std::vector<int> shipped;
    std::optional<int> copied;
  } cases[] = {
      {true, {0, 1, 2}, 0},          {true, {1, 2}, 1},  {true, {2}, 2}, {true, {}, std::nullopt},
      {false, {0, 1}, std::nullopt}, {false, {0, 2}, 2},
  };
  int n = 0;
  for (const Case& c : cases) {
    use_root("case" + std::to_string(n++));
    const fs::path executable = root_ / "opt/melodara/bin/melodara-native";
    const std::string candidates[] = {
        (executable.parent_path() / "macos-virtual-mic/MelodaraVirtualMic.driver").string(),
        (root_ / "opt/melodara/macos-virtual-mic/MelodaraVirtualMic.driver").string(),
        at(kDriverAppSourcePath)};
    for (int i : c.shipped) ship_driver(candidates[i]);
    fs::create_directories(fs::path(at(kDriverInstalledPath)).parent_path());
    const Outcome run =
        provision(studio(), false, c.executable_known ? std::optional(executable) : std::nullopt);
    if (c.copied) {
      EXPECT_EQ(calls(), (Calls{cp_call(candidates[*c.copied]), {"killall", "coreaudiod"}})) << n;
      EXPECT_EQ(run.result, kBus) << n;
    } else {
      EXPECT_EQ(calls(), Calls{}) << n;
      EXPECT_EQ(run.result, std::nullopt) << n;
      EXPECT_EQ(run.recorded, std::vector<std::string>{}) << n;
    }
  }
}

TEST_F(Provisioning, AnInstalledDriverIsNeitherCopiedNorRestarted) {
  ship_driver(at(kDriverAppSourcePath));
  fs::create_directories(at(kDriverInstalledPath));
  const Outcome run = provision();
  EXPECT_EQ(calls(), Calls{});
  EXPECT_EQ(run.sleeps, std::vector<std::chrono::nanoseconds>{});
  EXPECT_EQ(run.result, kBus);  // the installed driver provides it
  EXPECT_EQ(run.recorded, std::vector<std::string>{kBus});
}

TEST_F(Provisioning, AFailedCopyRestartsNothing) {
  const std::string shipped = at(kDriverAppSourcePath);
  write_text(shipped + "/Contents/Info.plist", "driver");  // and no HAL folder to copy into
  const Outcome run = provision();
  EXPECT_EQ(calls(), Calls{cp_call(shipped)});
  EXPECT_EQ(run.sleeps, std::vector<std::chrono::nanoseconds>{});
  EXPECT_EQ(run.result, std::nullopt);
  EXPECT_EQ(run.recorded, std::vector<std::string>{});
}

TEST_F(Provisioning, LoopbackBuildsTheSetUpProgramOnceAndRunsIt) {
  install_loopback();
  const Outcome first = provision();
  EXPECT_EQ(calls(), (Calls{clang_call(), {"setup-program"}}));
  EXPECT_EQ(first.sleeps, (std::vector<std::chrono::nanoseconds>{120ms}));
  EXPECT_EQ(first.result, kBus);
  EXPECT_EQ(first.recorded, std::vector<std::string>{kBus});
  // clang was given the source as kept in the tree, readable by us alone; it is gone now.
  const fs::path given = log().string() + ".m";
  EXPECT_EQ(read_text(given), read_text(fs::path(MELODARA_SOURCE_DIR) / "src/engine/virtual_mic_setup.m"));
  EXPECT_EQ(fs::status(given).permissions() & fs::perms::all, fs::perms(0600));
  EXPECT_FALSE(fs::exists(at(kSetupSourcePath)));
  EXPECT_TRUE(fs::exists(at(kSetupProgramPath)));

  // A later start with the devices gone runs the program left in /tmp without building it.
  fs::remove_all(root_ / "sim");
  fs::remove(log());
  const Outcome second = provision();
  EXPECT_EQ(calls(), (Calls{{"setup-program"}}));
  EXPECT_EQ(second.result, kBus);
}

TEST_F(Provisioning, AProgramLeftInTmpRunsOnlyWhenOnlyWeCouldHaveMadeIt) {
  const std::string planted = program_logging("planted-program");
  struct Case {
    const char* name;
    std::function<void(const std::string& program, const fs::path& elsewhere)> plant;
  } cases[] = {
      {"owned by another user",
       [&](const std::string& program, const fs::path&) {
         write_text(program, planted, fs::perms(0755));
         ASSERT_EQ(::chown(program.c_str(), 4242, 4242), 0);
       }},
      {"group-writable",
       [&](const std::string& program, const fs::path&) { write_text(program, planted, fs::perms(0775)); }},
      {"writable by others",
       [&](const std::string& program, const fs::path&) { write_text(program, planted, fs::perms(0757)); }},
      {"a link to a program",
       [&](const std::string& program, const fs::path& elsewhere) {
         write_text(elsewhere, planted, fs::perms(0755));
         fs::create_symlink(elsewhere, program);
       }},
      {"a second name of a program",
       [&](const std::string& program, const fs::path& elsewhere) {
         write_text(elsewhere, planted, fs::perms(0755));
         fs::create_hard_link(elsewhere, program);
       }},
  };
  int n = 0;
  for (const Case& c : cases) {
    if (std::string(c.name) == "owned by another user" && ::geteuid() != 0) continue;  // chown needs root
    use_root("case" + std::to_string(n++));
    install_loopback();
    c.plant(at(kSetupProgramPath), root_ / "home/mallory/program");
    const Outcome run = provision();
    EXPECT_EQ(calls(), (Calls{clang_call(), {"setup-program"}})) << c.name;
    EXPECT_EQ(run.result, kBus) << c.name;
    struct stat st {};
    ASSERT_EQ(::lstat(at(kSetupProgramPath).c_str(), &st), 0) << c.name;
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_nlink == 1) << c.name;
    EXPECT_EQ(read_text(root_ / "home/mallory/program").find("setup-program"), std::string::npos) << c.name;
  }
}

TEST_F(Provisioning, TheSetUpSourceIsNeverWrittenThroughALink) {
  install_loopback();
  write_text(root_ / "etc/victim", "precious");
  fs::create_symlink(root_ / "etc/victim", at(kSetupSourcePath));
  const Outcome run = provision();
  EXPECT_EQ(read_text(root_ / "etc/victim"), "precious");
  EXPECT_EQ(calls(), (Calls{clang_call(), {"setup-program"}}));
  EXPECT_EQ(read_text(log().string() + ".m"),
            read_text(fs::path(MELODARA_SOURCE_DIR) / "src/engine/virtual_mic_setup.m"));
  EXPECT_EQ(run.result, kBus);
}

TEST_F(Provisioning, ASetUpProgramThatHangsWithoutABusIsCutOffAndTheDriverFollows) {
  install_loopback();
  write_text(at(kSetupProgramPath), program_logging("hanging-program") + "sleep 30\n", fs::perms(0755));
  const std::string shipped = at(kDriverAppSourcePath);
  ship_driver(shipped);
  const auto start = std::chrono::steady_clock::now();
  const Outcome run = provision();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  EXPECT_EQ(calls(), (Calls{{"hanging-program"}, cp_call(shipped), {"killall", "coreaudiod"}}));
  EXPECT_EQ(run.sleeps, (std::vector<std::chrono::nanoseconds>{120ms, 350ms}));
  EXPECT_EQ(run.result, kBus);
}

TEST_F(Provisioning, LoopbackWithTheBusThereRunsNothingAndMovesTheDefaultsOff) {
  install_loopback();
  ship_driver(at(kDriverAppSourcePath));
  sim::Config config = studio();
  config.devices.push_back(test::output_device(kBus));
  config.devices.push_back(test::input_device("Melodara_Virtual_Mic_48kHz", 2));
  config.default_output = kBus;
  const Outcome run = provision(config);
  EXPECT_EQ(calls(), Calls{});
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
  EXPECT_EQ(run.result, kBus);
  EXPECT_EQ(run.recorded, std::vector<std::string>{kBus});
  EXPECT_EQ(run.default_output(), "MacBook Pro Speakers");
}

TEST_F(Provisioning, AStalledEnumerationTouchesNothingAndTakesTheBusAsThere) {
  install_loopback();
  ship_driver(at(kDriverAppSourcePath));
  sim::Config config = studio();
  config.devices.push_back(test::output_device(kBus));
  config.default_output = kBus;
  const Outcome run = provision(config, /*stalled=*/true);
  EXPECT_EQ(calls(), Calls{});
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
  EXPECT_FALSE(fs::exists(at(kDriverInstalledPath)));
  EXPECT_EQ(run.snapshots, 0);
  EXPECT_EQ(run.result, kBus);
  EXPECT_EQ(run.recorded, std::vector<std::string>{kBus});
  EXPECT_EQ(run.default_output(), kBus);
}

}  // namespace
}  // namespace melodara
