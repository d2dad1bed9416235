#include "engine/device_snapshot.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "engine/device_records.h"
#include "platform/platform.h"

namespace melodara {

struct DeviceEnumerator::Shared {
  SystemSource system;
  std::chrono::milliseconds wait;
  std::mutex cache_mutex;
  std::condition_variable done;
  DeviceSnapshot cache;
  bool cache_poisoned = false;
  std::atomic<std::uint8_t> running{0};
  std::atomic<std::uint8_t> stalled{0};
  mutable std::mutex bus_mutex;
  std::optional<std::string> bus_name;
};

namespace {

// One enumeration's hand-over to its waiter; guarded by the cache mutex.
struct Run {
  bool ended = false;
  std::optional<DeviceSnapshot> result;
};

void append_names(AudioSystem& system, bool outputs, std::vector<std::string>& names) {
  auto records = read_device_records(system);
  if (!records) return;
  for (DeviceRecord& r : *records) {
    if (!(outputs ? r.has_output : r.has_input)) continue;
    names.push_back(r.name ? std::move(*r.name)
                           : (outputs ? "Output " : "Input ") + std::to_string(names.size() + 1));
  }
}

void enumeration_thread(std::shared_ptr<DeviceEnumerator::Shared> s, std::shared_ptr<Run> run) {
  std::optional<DeviceSnapshot> snap;
  try {
    auto system = s->system();
    snap.emplace();
    if (system) snap.emplace(enumerate_device_names(*system));
  } catch (...) {
    snap.reset();
  }
  {
    // Completion and a waiter's time-out decision are taken under the same
    // lock, so a waiter can never raise the stalled flag after it was cleared.
    std::lock_guard lk(s->cache_mutex);
    if (snap) {
      if (!s->cache_poisoned) s->cache = *snap;
      s->stalled.store(0);
    }
    s->running.exchange(0);
    run->ended = true;
    run->result = std::move(snap);
  }
  s->done.notify_all();
}

DeviceSnapshot cached(const DeviceEnumerator::Shared& s) {
  return s.cache_poisoned ? DeviceSnapshot{} : s.cache;
}

}  // namespace

DeviceSnapshot enumerate_device_names(AudioSystem& system) {
  DeviceSnapshot snap;
  // One pass for the outputs, a second for the inputs.
  append_names(system, true, snap.outputs);
  append_names(system, false, snap.inputs);
  snap.backend = "CoreAudio";
  return snap;
}

DeviceEnumerator::DeviceEnumerator(SystemSource system, std::chrono::milliseconds wait)
    : shared_(std::make_shared<Shared>()) {
  shared_->system = std::move(system);
  shared_->wait = wait;
}

DeviceSnapshot DeviceEnumerator::snapshot() {
  std::uint8_t idle = 0;
  if (!shared_->running.compare_exchange_strong(idle, 1)) {
    std::lock_guard lk(shared_->cache_mutex);
    return cached(*shared_);
  }
  auto run = std::make_shared<Run>();
  const auto deadline = std::chrono::steady_clock::now() + shared_->wait;
  try {
    std::thread(enumeration_thread, shared_, run).detach();
  } catch (const std::system_error&) {
    std::fputs("failed to spawn thread\n", stderr);
    std::abort();
  }
  std::unique_lock lk(shared_->cache_mutex);
  shared_->done.wait_until(lk, deadline, [&] { return run->ended; });
  if (run->ended && run->result) return *run->result;
  // Timed out with the enumeration still going, or it ended without a result.
  shared_->stalled.store(1);
  return cached(*shared_);
}

bool DeviceEnumerator::stalled() const { return shared_->stalled.load() != 0; }
bool DeviceEnumerator::running() const { return shared_->running.load() != 0; }

std::optional<std::string> DeviceEnumerator::bus_device_name() const {
  std::lock_guard lk(shared_->bus_mutex);
  return shared_->bus_name;
}

void DeviceEnumerator::set_bus_device_name(std::string name) {
  std::lock_guard lk(shared_->bus_mutex);
  shared_->bus_name = std::move(name);
}

void DeviceEnumerator::poison_cache() {
  std::lock_guard lk(shared_->cache_mutex);
  shared_->cache_poisoned = true;
}

DeviceEnumerator& device_enumerator() {
  static DeviceEnumerator* e = new DeviceEnumerator([] { return platform().system; });
  return *e;
}

DeviceSnapshot device_snapshot() { return device_enumerator().snapshot(); }
bool enumeration_stalled() { return device_enumerator().stalled(); }
std::optional<std::string> bus_device_name() { return device_enumerator().bus_device_name(); }
void set_bus_device_name(std::string name) { device_enumerator().set_bus_device_name(std::move(name)); }

}  // namespace melodara
