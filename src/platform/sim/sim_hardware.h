#pragma once
// Simulated audio hardware behind the platform interfaces.
//
// Every device runs on its own clock: nominal rate times (1 + drift). Input
// devices play their signal source; output devices mix what every stream
// plays on them into a sink (kept in memory, and written as WAV when a sink
// folder is configured); captures of an output device and inputs whose source
// is an output device receive that device's mix.
//
// Clocking::realtime: each started stream runs its callbacks on a thread of
// its own, sleeping to absolute deadlines on the monotonic clock.
// Clocking::manual: no threads; advance(frames) runs the callbacks that fall
// due, in time order, on the caller's thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_config.h"

namespace melodara::sim {

enum class Clocking { realtime, manual };

class Hardware {
 public:
  struct State;  // shared with the streams and the interface adapters

  static std::shared_ptr<Hardware> create(Config config, Clocking clocking);
  ~Hardware();

  // The four interfaces, all backed by this hardware.
  Platform platform();

  std::optional<DeviceId> find(std::string_view name) const;
  DeviceId add_device(DeviceSpec spec);
  // The device disappears from every list; its streams get their error
  // callback and run no further callback.
  void remove_device(DeviceId id);
  void set_source(DeviceId id, SignalSource source);
  // A stalled device keeps its streams alive but runs none of their
  // callbacks, as a hung USB interface does; a USB reset of it ends the stall.
  void set_stalled(DeviceId id, bool stalled);
  // Runs inside every device-list read, after the configured delay (tests
  // use it to hold an enumeration).
  void set_enumeration_hook(std::function<void()> hook);

  // Manual clocking: moves time by `frames` at 48 kHz and runs what fell due.
  void advance(std::uint64_t frames);

  // Committed mix of an output device (its last 30 s), interleaved.
  std::vector<float> sink(DeviceId id) const;
  void clear_sink(DeviceId id);

  std::uint64_t usb_resets(std::string_view registry_name) const;
  // Number of streams currently running their callbacks.
  std::size_t running_streams() const;

 private:
  explicit Hardware(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace melodara::sim
