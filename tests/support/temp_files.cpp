#include "temp_files.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>

namespace melodara::test {

TempDir::TempDir() {
  std::random_device rd;
  for (;;) {
    path_ = fs::temp_directory_path() / ("melodara-test-" + std::to_string(rd()));
    if (fs::create_directory(path_)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    ::setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedWorkdir::ScopedWorkdir(const fs::path& path) : old_(fs::current_path()) { fs::current_path(path); }

ScopedWorkdir::~ScopedWorkdir() {
  std::error_code ec;
  fs::current_path(old_, ec);
}

void write_file(const fs::path& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void write_text(const fs::path& path, const std::string& text) {
  write_file(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::vector<std::uint8_t> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string read_text(const fs::path& path) {
  const std::vector<std::uint8_t> bytes = read_bytes(path);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<fs::path> take_next_temp_names(const fs::path& handed_out, int count, const std::string& text) {
  const std::string name = handed_out.string();
  const std::string stem = name.substr(0, name.rfind('-') + 1);
  const unsigned long long next = std::stoull(name.substr(stem.size())) + 1;
  std::vector<fs::path> taken;
  for (int i = 0; i < count; ++i) {
    taken.emplace_back(stem + std::to_string(next + static_cast<unsigned long long>(i)));
    write_text(taken.back(), text);
  }
  return taken;
}

pid_t ended_pid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  if (pid > 0) ::waitpid(pid, nullptr, 0);
  return pid;
}

RunningChild::RunningChild() : pid(::fork()) {
  if (pid == 0) {
    ::pause();
    ::_exit(0);
  }
}

RunningChild::~RunningChild() {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

}  // namespace melodara::test
