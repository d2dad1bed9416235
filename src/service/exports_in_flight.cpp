#include "service/exports_in_flight.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace melodara {
namespace {

struct Count {
  std::mutex mutex;
  std::condition_variable idle;
  std::size_t running = 0;
};

Count& count() {
  static Count c;
  return c;
}

}  // namespace

ExportInFlight::ExportInFlight() {
  std::lock_guard lock(count().mutex);
  ++count().running;
}

ExportInFlight::~ExportInFlight() {
  Count& c = count();
  std::lock_guard lock(c.mutex);
  if (--c.running == 0) c.idle.notify_all();
}

bool wait_for_exports(std::chrono::milliseconds limit) {
  Count& c = count();
  std::unique_lock lock(c.mutex);
  return c.idle.wait_for(lock, limit, [&c] { return c.running == 0; });
}

}  // namespace melodara
