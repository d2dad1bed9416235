// Device enumeration on its own thread, the 450 ms guard, the cache and the
// stalled flag.
#include "engine/device_snapshot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/sim/sim_hardware.h"

namespace melodara {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

sim::DeviceSpec device(std::string name, std::uint16_t in, std::uint16_t out, bool readable = true) {
  sim::DeviceSpec d;
  d.name = std::move(name);
  d.input_channels = in;
  d.output_channels = out;
  d.name_readable = readable;
  return d;
}

std::shared_ptr<sim::Hardware> hardware(std::vector<sim::DeviceSpec> devices) {
  sim::Config c;
  c.devices = std::move(devices);
  return sim::Hardware::create(c, sim::Clocking::manual);
}

// Holds every device-list read while closed.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool open = true;
  int reads = 0;
  void pass() {
    std::unique_lock lk(m);
    ++reads;
    cv.wait(lk, [&] { return open; });
  }
  void set(bool o) {
    {
      std::lock_guard lk(m);
      open = o;
    }
    cv.notify_all();
  }
};

void wait_until_idle(const DeviceEnumerator& e) {
  const auto until = SteadyClock::now() + 5s;
  while (e.running() && SteadyClock::now() < until) std::this_thread::sleep_for(1ms);
  ASSERT_FALSE(e.running());
}

TEST(DeviceSnapshot, ListsOutputsThenInputsNamingUnreadableOnes) {
  auto hw = hardware({device("Mic", 1, 0), device("Speakers", 0, 2), device("?", 2, 2, false),
                      device("Interface", 2, 2), device("??", 1, 0, false)});
  const DeviceSnapshot snap = enumerate_device_names(*hw->platform().system);
  EXPECT_EQ(snap.outputs, (std::vector<std::string>{"Speakers", "Output 2", "Interface"}));
  EXPECT_EQ(snap.inputs, (std::vector<std::string>{"Mic", "Input 2", "Interface", "Input 4"}));
  EXPECT_EQ(snap.backend, "CoreAudio");
}

TEST(DeviceSnapshot, EveryIdleCallEnumeratesAfresh) {
  auto hw = hardware({device("Mic", 1, 0), device("Speakers", 0, 2)});
  Gate gate;
  hw->set_enumeration_hook([&] { gate.pass(); });
  DeviceEnumerator e([hw] { return hw->platform().system; });
  const DeviceSnapshot first = e.snapshot();
  EXPECT_EQ(first.inputs, std::vector<std::string>{"Mic"});
  EXPECT_EQ(first.outputs, std::vector<std::string>{"Speakers"});
  wait_until_idle(e);
  const int reads = gate.reads;
  hw->add_device(device("USB Audio CODEC", 2, 2));
  const DeviceSnapshot second = e.snapshot();
  EXPECT_GT(gate.reads, reads);
  EXPECT_EQ(second.inputs, (std::vector<std::string>{"Mic", "USB Audio CODEC"}));
  EXPECT_FALSE(e.stalled());
}

TEST(DeviceSnapshot, SlowEnumerationAnswersFromTheCacheThenCatchesUp) {
  auto hw = hardware({device("Mic", 1, 0), device("Speakers", 0, 2)});
  Gate gate;
  hw->set_enumeration_hook([&] { gate.pass(); });
  DeviceEnumerator e([hw] { return hw->platform().system; });

  // Nothing cached yet: a hung layer gives the empty start value.
  gate.set(false);
  auto t0 = SteadyClock::now();
  const DeviceSnapshot hung = e.snapshot();
  const auto waited = SteadyClock::now() - t0;
  EXPECT_GE(waited, 440ms);
  EXPECT_LT(waited, 1500ms);
  EXPECT_EQ(hung, DeviceSnapshot{});
  EXPECT_TRUE(e.stalled());
  // While that enumeration runs, calls answer at once from the cache.
  t0 = SteadyClock::now();
  EXPECT_EQ(e.snapshot(), DeviceSnapshot{});
  EXPECT_LT(SteadyClock::now() - t0, 400ms);  // not the 450 ms wait
  gate.set(true);
  wait_until_idle(e);
  EXPECT_FALSE(e.stalled());

  // With a cache: the stale lists come back, then the new ones.
  const DeviceSnapshot cached = e.snapshot();
  wait_until_idle(e);
  ASSERT_EQ(cached.inputs, std::vector<std::string>{"Mic"});
  hw->add_device(device("Webcam C920", 1, 0));
  gate.set(false);
  EXPECT_EQ(e.snapshot(), cached);
  EXPECT_TRUE(e.stalled());
  gate.set(true);
  wait_until_idle(e);
  EXPECT_FALSE(e.stalled());
  EXPECT_EQ(e.snapshot().inputs, (std::vector<std::string>{"Mic", "Webcam C920"}));
}

TEST(DeviceSnapshot, TimeOutRacingCompletionNeverLeavesTheFlagUp) {
  auto hw = hardware({device("Mic", 1, 0), device("Speakers", 0, 2)});
  // Enumerations that end around the 2 ms wait, so that time-outs and
  // completions fall together in some of the runs.
  std::atomic<int> hold_us{0};
  hw->set_enumeration_hook([&] { std::this_thread::sleep_for(std::chrono::microseconds(hold_us.load())); });
  DeviceEnumerator e([hw] { return hw->platform().system; }, 2ms);
  int timed_out = 0;
  for (int i = 0; i < 200; ++i) {
    hold_us = 700 + (i % 40) * 15;  // two reads: 1.4 to 2.6 ms
    const auto t0 = SteadyClock::now();
    e.snapshot();
    if (SteadyClock::now() - t0 >= 2ms) ++timed_out;
    wait_until_idle(e);
    ASSERT_FALSE(e.stalled()) << "iteration " << i;
  }
  EXPECT_GT(timed_out, 0);
}

TEST(DeviceSnapshot, PoisonedCacheGivesEmptyLists) {
  auto hw = hardware({device("Mic", 1, 0)});
  Gate gate;
  hw->set_enumeration_hook([&] { gate.pass(); });
  // A wait long enough for any enumeration that is not held at the gate.
  DeviceEnumerator e([hw] { return hw->platform().system; }, 2s);
  EXPECT_EQ(e.snapshot().inputs, std::vector<std::string>{"Mic"});
  wait_until_idle(e);
  e.poison_cache();
  gate.set(false);
  EXPECT_EQ(e.snapshot(), DeviceSnapshot{});
  gate.set(true);
  wait_until_idle(e);
  // A completed enumeration still answers its own caller with fresh lists.
  EXPECT_EQ(e.snapshot().inputs, std::vector<std::string>{"Mic"});
}

TEST(DeviceSnapshot, BusDeviceName) {
  DeviceEnumerator e([] { return std::shared_ptr<AudioSystem>(); });
  EXPECT_EQ(e.bus_device_name(), std::nullopt);
  e.set_bus_device_name("Melodara_Virtual_Bus_48kHz");
  EXPECT_EQ(e.bus_device_name(), "Melodara_Virtual_Bus_48kHz");
}

}  // namespace
}  // namespace melodara
