#include "media/file_io.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

namespace melodara {
namespace {

namespace fs = std::filesystem;

struct PendingWrites {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, int> running;
};

// Never destroyed: detached writer threads may still use it while the process exits.
PendingWrites& pending() {
  static PendingWrites* registry = new PendingWrites;
  return *registry;
}

std::string key_of(const fs::path& path) { return path.lexically_normal().string(); }

}  // namespace

void begin_pending_write(const fs::path& path) {
  PendingWrites& p = pending();
  std::lock_guard lock(p.mutex);
  ++p.running[key_of(path)];
}

void end_pending_write(const fs::path& path) {
  PendingWrites& p = pending();
  {
    std::lock_guard lock(p.mutex);
    const auto it = p.running.find(key_of(path));
    if (it != p.running.end() && --it->second <= 0) p.running.erase(it);
  }
  p.changed.notify_all();
}

void wait_for_pending_writes(const fs::path& path) {
  PendingWrites& p = pending();
  const std::string key = key_of(path);
  std::unique_lock lock(p.mutex);
  p.changed.wait(lock, [&] { return !p.running.contains(key); });
}

}  // namespace melodara
