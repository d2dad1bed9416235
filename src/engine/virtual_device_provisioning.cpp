#include "engine/virtual_device_provisioning.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>
#include <vector>

#include "core/process_runner.h"
#include "engine/device_list.h"
#include "engine/system_defaults.h"
#include "engine/virtual_mic_setup_source.h"

namespace melodara {
namespace {

using namespace std::chrono_literals;

constexpr PlainRunIo kQuiet{std::nullopt, false, false};

std::string under_root(const ProvisioningEnv& env, std::string_view path) {
  return env.platform.system_root + std::string(path);
}

bool exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

// A link counts as present, even a dangling one.
bool present(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Anyone may write into /tmp: only a program nobody else can have put there
// or changed is run. A second link could make some other program of ours run.
bool trusted_program(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == ::geteuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

void pause_for(const ProvisioningEnv& env, std::chrono::nanoseconds d) {
  if (env.sleep)
    env.sleep(d);
  else
    std::this_thread::sleep_for(d);
}

std::optional<std::string> find_bus(const ProvisioningEnv& env) {
  if (!env.device_snapshot) return std::nullopt;
  return find_virtual_bus_in(env.device_snapshot());
}

// Never writes through a file or link someone else left at the path.
bool write_setup_source(const std::string& path) {
  ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::string_view rest = kVirtualMicSetupSource;
  bool ok = true;
  while (ok && !rest.empty()) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    if (n > 0) rest.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::close(fd) != 0) ok = false;
  if (!ok) ::unlink(path.c_str());
  return ok;
}

void build_setup_program(const ProvisioningEnv& env) {
  const std::string source = under_root(env, kSetupSourcePath);
  if (!write_setup_source(source)) return;
  const std::string frameworks = under_root(env, kLoopbackFrameworksFolder);
  const Command clang{"clang",
                      {"-framework", "Foundation", "-F" + frameworks, "-framework", "ACE",
                       "-Wl,-rpath," + frameworks, source, "-o", under_root(env, kSetupProgramPath)}};
  (void)run_process_with_timeout(clang, 4, 0);
  ::unlink(source.c_str());
}

// Builds the set-up program when there is none we may run, then runs it.
void run_setup_program(const ProvisioningEnv& env) {
  const std::string program = under_root(env, kSetupProgramPath);
  if (present(program) && !trusted_program(program)) ::unlink(program.c_str());
  if (!present(program)) build_setup_program(env);
  if (!present(program)) return;
  if (!trusted_program(program)) {
    ::unlink(program.c_str());
    return;
  }
  (void)run_process_with_timeout(Command{program, {}}, 0, 800'000'000);
  pause_for(env, 120ms);
}

void install_driver(const ProvisioningEnv& env) {
  const std::string installed = under_root(env, kDriverInstalledPath);
  if (exists(installed)) return;
  std::vector<std::string> candidates;
  if (env.executable) {
    const std::filesystem::path folder = env.executable->parent_path();
    for (const std::filesystem::path& base : {folder, folder.parent_path()})
      candidates.push_back((base / "macos-virtual-mic" / "MelodaraVirtualMic.driver").string());
  }
  candidates.push_back(under_root(env, kDriverAppSourcePath));
  for (const std::string& source : candidates) {
    if (!exists(source)) continue;
    const ProcessResult copied = run_process_plain(Command{"cp", {"-R", source, installed}}, kQuiet);
    if (!copied || !exited_ok(copied->status)) return;
    (void)run_process_plain(Command{"killall", {"coreaudiod"}}, kQuiet);
    pause_for(env, 350ms);
    return;
  }
}

std::optional<std::string> record_bus(const ProvisioningEnv& env, std::optional<std::string> bus) {
  if (!bus) return std::nullopt;
  if (env.platform.system) ensure_system_default_devices(*env.platform.system, "", "");
  if (env.set_bus_name) env.set_bus_name(*bus);
  return bus;
}

}  // namespace

std::optional<std::filesystem::path> running_executable() {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || path.empty()) return std::nullopt;
  return path;
}

std::optional<std::string> provision_virtual_devices(const ProvisioningEnv& env) {
  if (env.enumeration_stalled && env.enumeration_stalled()) {
    std::string bus(kVirtualBusName);
    if (env.set_bus_name) env.set_bus_name(bus);
    return bus;
  }
  std::optional<std::string> bus;
  if (exists(under_root(env, kLoopbackFrameworkFile)) && exists(under_root(env, kLoopbackDriverPath))) {
    bus = find_bus(env);
    if (bus == kVirtualBusName) return record_bus(env, std::move(bus));
    run_setup_program(env);
    bus = find_bus(env);
    if (!bus) bus = find_bus(env);
  }
  if (!bus) install_driver(env);
  return record_bus(env, find_bus(env));
}

}  // namespace melodara
