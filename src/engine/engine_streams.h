#pragma once
// The engine's device streams: resolution of the requested input and output
// ids to the system's devices; open_engine_streams, which builds the capture
// and monitor rings with their callback counters, opens and starts a capture
// stream and a monitor output stream, and tops the rings up to their working
// fill; and the virtual bus's output unit, which plays the bus ring on the
// service's own bus device. Nothing here reports an error: what cannot be
// resolved or opened is simply absent, and the engine runs silent on that side.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/frame_ring.h"
#include "platform/platform.h"

namespace melodara {

inline constexpr std::size_t kCaptureRingStartFill = 1024;
inline constexpr std::size_t kMonitorRingStartFill = 1536;
inline constexpr std::size_t kBusRingStartFill = 1792;

struct ResolvedDevice {
  DeviceId id = 0;
  std::string name;
  bool loopback = false;   // capture of what an output device plays
  bool has_input = false;  // a loopback target without input streams is tapped
};

struct ResolvedDevices {
  std::optional<ResolvedDevice> input;
  std::optional<ResolvedDevice> output;
};

// Ids are device names as the system lists them, "default", empty, or
// "loopback:" and an output's name. The service's own virtual devices are
// never chosen; a loopback target is never the monitor output itself (by id
// text or by the resolved output's name); an unknown loopback target gives no
// input at all. Thread: engine. Blocks: on the system object. Allocates: yes.
ResolvedDevices resolve_engine_devices(AudioSystem& system, std::string_view input_id,
                                       std::string_view output_id);

struct EngineStreams {
  std::shared_ptr<FrameRing> capture_ring;
  std::shared_ptr<FrameRing> monitor_ring;
  std::shared_ptr<CallbackCounter> capture_counter;
  std::shared_ptr<CallbackCounter> playback_counter;
  std::unique_ptr<AudioStream> capture_stream;  // dropping a stream stops it
  std::unique_ptr<AudioStream> monitor_stream;
  std::string input_name;  // resolved device names, empty when none
  std::string output_name;
};

using EngineSleep = std::function<void(std::chrono::nanoseconds)>;

// With `enumeration_stalled` no device is touched: rings and counters only.
// Thread: engine, holding no ring lock. Blocks: the platform and 55 ms of
// `sleep`. Allocates: yes.
EngineStreams open_engine_streams(const Platform& platform, bool enumeration_stalled,
                                  std::string_view input_id, std::string_view output_id,
                                  const EngineSleep& sleep);

struct BusOutput {
  std::string name;  // the bus device's name ("Melodara_Virtual_Bus_48kHz" when unreadable)
  std::shared_ptr<FrameRing> ring;
  std::shared_ptr<CallbackCounter> counter;
  std::unique_ptr<OutputUnit> unit;  // none when the device's format is unusable; dropping it stops it
};

// Looks the virtual bus up among the output devices that pass
// is_virtual_loopback_device against the engine's resolved output and input
// (the first named like "melodara_virtual_bus", else like "melodara" or
// "tunewerk", else the first), and opens a stopped output unit on it playing
// a fresh bus ring of 1,792 silent frames. None when no device qualifies.
// Thread: engine. Blocks: on the platform. Allocates: yes.
std::optional<BusOutput> open_bus_output(const Platform& platform, std::string_view output_name,
                                         std::string_view input_name);

}  // namespace melodara
