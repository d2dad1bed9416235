#include "platform/platform.h"

#include <cstdio>
#include <mutex>

#include "platform/sim/sim_hardware.h"

namespace melodara {
namespace {

std::mutex g_mutex;
Platform* g_platform = nullptr;  // never freed: detached threads may still use it at exit

Platform make_default() {
  auto config = sim::config_from_environment();
  if (!config) {
    std::fprintf(stderr, "simulated audio: %s\n", config.error().c_str());
    config = sim::Config{};
  }
  static std::shared_ptr<sim::Hardware> hardware;
  hardware = sim::Hardware::create(std::move(*config), sim::Clocking::realtime);
  return hardware->platform();
}

}  // namespace

Platform platform() {
  std::lock_guard lk(g_mutex);
  if (!g_platform) g_platform = new Platform(make_default());
  return *g_platform;
}

void install_platform(Platform p) {
  std::lock_guard lk(g_mutex);
  if (!g_platform)
    g_platform = new Platform(std::move(p));
  else
    *g_platform = std::move(p);
}

}  // namespace melodara
