// Temporary folders, environment overrides and whole-file helpers for tests
// that touch the file system.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace melodara::test {

namespace fs = std::filesystem;

// A fresh folder under the temporary folder, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

// Sets (or with no value unsets) a variable and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Makes `path` the working folder and restores the previous one afterwards.
class ScopedWorkdir {
 public:
  explicit ScopedWorkdir(const fs::path& path);
  ~ScopedWorkdir();
  ScopedWorkdir(const ScopedWorkdir&) = delete;
  ScopedWorkdir& operator=(const ScopedWorkdir&) = delete;

 private:
  fs::path old_;
};

// A temporary home folder (HOME, with USERPROFILE unset) and working folder,
// both empty, for the life of the object.
struct TempHomeAndWorkdir {
  TempDir root;
  fs::path home = root / "home";
  fs::path work = root / "work";
  bool made = fs::create_directory(home) && fs::create_directory(work);
  ScopedEnv home_env{"HOME", home.string()};
  ScopedEnv userprofile_env{"USERPROFILE", std::nullopt};
  ScopedWorkdir workdir{work};
};

void write_file(const fs::path& path, std::span<const std::uint8_t> bytes);
void write_text(const fs::path& path, const std::string& text);
std::vector<std::uint8_t> read_bytes(const fs::path& path);
// The whole file as text; empty when it cannot be read.
std::string read_text(const fs::path& path);

// Writes `text` under the `count` temporary names that follow `handed_out`, a
// name "<path>.tmp-<pid>-<n>" temp_path_beside (core) has just handed out: the
// names the next writers of that path in this process are given, taken by
// someone else (a former process with our pid). Returns them.
std::vector<fs::path> take_next_temp_names(const fs::path& handed_out, int count, const std::string& text);

// A pid that no process has any more: the writer of a temporary that is gone.
pid_t ended_pid();

// A child that sleeps until the object kills and reaps it: a writer that still runs.
struct RunningChild {
  RunningChild();
  ~RunningChild();
  RunningChild(const RunningChild&) = delete;
  RunningChild& operator=(const RunningChild&) = delete;
  pid_t pid = -1;
};

}  // namespace melodara::test
