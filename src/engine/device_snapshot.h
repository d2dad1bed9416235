#pragma once
// Device enumeration off the caller's thread: every snapshot request with no
// enumeration running starts a short-lived enumeration thread and waits for
// it at most 450 ms; otherwise (or on time-out) it answers from the cache of
// the last completed enumeration. A timed-out wait raises the
// enumeration-stalled flag, which keeps the engine from touching devices
// until an enumeration completes. Also keeps the virtual bus device's name.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_system.h"

namespace melodara {

struct DeviceSnapshot {
  std::vector<std::string> outputs;
  std::vector<std::string> inputs;
  std::string backend = "CoreAudio";
  friend bool operator==(const DeviceSnapshot&, const DeviceSnapshot&) = default;
};

// The names of the devices with output streams, then with input streams, in
// the system's order; unreadable names become "Output {n}" / "Input {n}".
// Thread: any but realtime callbacks. Blocks: on the system object. Allocates: yes.
DeviceSnapshot enumerate_device_names(AudioSystem& system);

// The enumeration state. The process has one (below); tests make their own.
class DeviceEnumerator {
 public:
  using SystemSource = std::function<std::shared_ptr<AudioSystem>()>;
  explicit DeviceEnumerator(SystemSource system,
                            std::chrono::milliseconds wait = std::chrono::milliseconds(450));

  // Allocates: yes. A thread that cannot be started ends the process.
  // Thread: any but realtime callbacks. Blocks: up to the wait time.
  DeviceSnapshot snapshot();
  // Thread: any. Blocks: no. Allocates: no.
  bool stalled() const;
  bool running() const;
  // Thread: any but realtime callbacks. Blocks: briefly, on the name's mutex.
  // Allocates: yes.
  std::optional<std::string> bus_device_name() const;
  void set_bus_device_name(std::string name);
  // Marks the cache poisoned, as a holder that failed would (tests).
  // Thread: any. Blocks: briefly, on the cache mutex.
  // Allocates: no.
  void poison_cache();

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

// The process-wide enumerator, on platform().system. Thread: any.
DeviceEnumerator& device_enumerator();

// Shorthands for the process-wide enumerator, with its members' contracts.
DeviceSnapshot device_snapshot();
bool enumeration_stalled();
std::optional<std::string> bus_device_name();
void set_bus_device_name(std::string name);

}  // namespace melodara
